#pragma once
// The disk cache of wave-form summaries: one file per stream folder in the
// program home's "waveforms" folder (never in the stream folder, whose files
// other parts scan), so that a view opens without reading every ".dat".
//
// File layout (integers little-endian):
//   "WKWAVE1\n"
//   records, each: u32 payload length, payload, u64 FNV-1a of the payload
//   payload: u16 name length, name (the ".dat" file name), i64 size and
//            i64 modification time (ns) of the ".dat" the summary was built
//            from, u32 cell count, cells (i8 minimum, i8 maximum each)
// Records are appended as chunks are summarised; a later record of a name
// replaces an earlier one. Reading stops at the first record that is cut
// short or fails its checksum: it and everything after it are ignored (and
// rebuilt by the caller). A summary is only valid for the name, size and
// time it names, so a renamed, deleted or growing chunk is never mistaken
// for its old self.
//
// Several processes may share a file: each append is one write with
// O_APPEND, and a rewrite goes to a new file renamed over the old one.
//
// Threading: none inside; one thread uses an instance.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace wk {

// The ".dat" bytes one summary cell covers: one second of audio.
inline constexpr int kDatBytesPerCell = 100;

struct WaveCell {
    int8_t min = 0;
    int8_t max = 0;
};
static_assert(sizeof(WaveCell) == 2, "cells are stored as two bytes");

// One chunk's summary: the cells and the file state they were built from.
struct ChunkSummary {
    std::string_view name;
    int64_t datSize = 0;
    int64_t mtimeNs = 0;
    std::span<const WaveCell> cells;
};

// The cells a ".dat" of `datSize` bytes has.
inline int64_t CellCountFor(int64_t datSize) {
    return (datSize + kDatBytesPerCell - 1) / kDatBytesPerCell;
}

// Where the summaries of `streamFolder` are cached: the home's "waveforms"
// folder, a file named after the folder's last part and a hash of its
// absolute path.
std::string WaveCachePathFor(const std::string& streamFolder);

class WaveSummaryCache {
public:
    explicit WaveSummaryCache(std::string path) : m_path(std::move(path)) {}

    const std::string& Path() const { return m_path; }

    // Reads the file afresh; a missing file is an empty cache.
    void Load();
    // The summary of `name` when it was built from a ".dat" of exactly this
    // size and time; valid until the next Load or Rewrite.
    const ChunkSummary* Find(std::string_view name, int64_t datSize, int64_t mtimeNs) const;

    // Records in the file that no longer count: replaced by a later record,
    // or beyond a bad one. `live` of the loaded records are still in use.
    bool WantsRewrite(size_t live) const;

    // Appends the summaries (one write). False when there is no file to
    // append to (Rewrite makes one), or, with a trace line, when it cannot
    // be written; the cache is only an aid, so callers go on.
    bool Append(std::span<const ChunkSummary> summaries);
    // Replaces the file by one holding exactly these summaries.
    bool Rewrite(std::span<const ChunkSummary> summaries);

private:
    std::string m_path;
    std::string m_bytes;            // the file as read; the names point into it
    std::vector<WaveCell> m_cells;  // the cells read; the summaries point into it
    // The records in file order, which is the order callers ask in; the
    // index (the latest record of each name) is made on the first miss.
    std::vector<ChunkSummary> m_records;
    mutable std::unordered_map<std::string_view, size_t> m_index;
    mutable size_t m_next = 0;
    size_t m_recordCount = 0;  // records in the file
    bool m_badTail = false;
};

}  // namespace wk
