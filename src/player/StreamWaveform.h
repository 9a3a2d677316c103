#pragma once
// The wave form of a stream for the time line, drawn from summaries rather
// than from every ".dat" byte (one signed byte per 10 ms of audio, SideFileCalculator.h).
//
// Levels, finest first: the ".dat" bytes themselves (10 ms) and tenths of a
// second, both read only for the chunks in view when zoomed in closely; one
// second per chunk (the summary kept in memory and in the disk cache,
// WaveSummaryCache.h); and stream-wide bins of 10 s, 1 min, 10 min, 1 h,
// 6 h and 1 day built from the seconds. A column reads the coarsest level
// that still gives it at least two values, so a paint reads a few values a
// column at any zoom.
//
// A column's minimum and maximum are those of every value of that level
// whose stretch overlaps the column (ColumnOf decides which column a time
// falls into, as TimeToX does).
//
// Sync and Prepare read files (stat, ".dat", the cache); Columns only reads
// memory. Threading: none inside; one thread uses an instance.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/DateTime.h"
#include "player/WaveSummaryCache.h"

namespace wk {

// A chunk as the wave form needs it.
struct WaveChunk {
    std::string datName;    // the ".dat" file name in the stream folder
    StreamTime start = 0;   // stream time of the first ".dat" byte
    StreamTime length = 0;  // the chunk length its name gives
    bool growing = false;   // being recorded: never written to the cache
    // The side file's size and modification time when the caller has them
    // from its own scan (ChunkSpan); -1: Sync looks.
    int64_t datBytes = -1;
    int64_t datModifiedNs = 0;
};

struct WaveColumn {
    int8_t min = 0;
    int8_t max = 0;
    bool present = false;  // some value falls into the column
    bool operator==(const WaveColumn&) const = default;
};

class StreamWaveform {
public:
    // The step of each level in milliseconds, finest first.
    static constexpr StreamTime kRawStep = 10;
    static constexpr StreamTime kTenthStep = 100;
    static constexpr StreamTime kSecondStep = 1000;
    // Raw bytes held in memory at most, over all chunks in view.
    static constexpr size_t kRawBudgetBytes = 16u << 20;

    // `cachePath` names the disk cache (WaveCachePathFor); empty: none.
    explicit StreamWaveform(std::string cachePath = {});
    ~StreamWaveform();
    StreamWaveform(const StreamWaveform&) = delete;
    StreamWaveform& operator=(const StreamWaveform&) = delete;

    // Takes the chunks of `folder` (any order) and looks at their ".dat"
    // files (where the chunk does not say); summaries whose chunk kept its name, size and time stay, the
    // others are built by the next Prepare that needs them.
    void Sync(const std::string& folder, std::vector<WaveChunk> chunks);

    // Updates after the recorder completed a chunk, cheaper than a Sync of
    // every chunk: `closed` joins (in place of its growing self), and the
    // chunk being written is `growing` (none: no chunk is written).
    void Add(WaveChunk closed);
    void SetGrowing(std::optional<WaveChunk> growing);

    // Reads what drawing [start, end) across `columns` needs: the summaries
    // of the chunks it touches not built yet (appended to the disk cache),
    // and when zoomed in closely the ".dat" bytes of the chunks in view.
    void Prepare(StreamTime start, StreamTime end, int columns);

    // Minimum and maximum per column of [start, end) across `columns`
    // columns, from what Prepare (or an earlier one) read.
    void Columns(StreamTime start, StreamTime end, int columns, std::vector<WaveColumn>& out) const;

    // The step of the level Columns reads for this scale.
    static StreamTime LevelStep(StreamTime width, int columns);

    struct Counters {
        size_t built = 0;      // summaries built from ".dat" files
        size_t fromCache = 0;  // summaries taken from the disk cache
        size_t rawLoads = 0;   // ".dat" files read for a close zoom
        size_t binRebuilds = 0;  // the stream-wide bins rebuilt from every chunk
    };
    const Counters& Count() const { return m_count; }
    // Changes whenever what Columns gives may have changed.
    uint64_t Generation() const { return m_generation; }
    size_t ChunkCount() const;

private:
    struct Chunk;
    struct Bin;

    // Takes the side file's state from the chunk or from a stat.
    static void Look(Chunk& chunk, const std::string& folder, int& dirFd);
    void Insert(WaveChunk file);
    void BuildSummary(Chunk& chunk);
    void LoadRaw(Chunk& chunk);
    void RebuildBins();
    // Rebuilds only the bins of every level that hold a second of
    // [from, to): after a chunk joined or left.
    void UpdateBins(StreamTime from, StreamTime to);
    // The chunk's seconds are to be (re)binned.
    void Touch(const Chunk& chunk);
    void SaveSummaries(const std::vector<ChunkSummary>& fresh);
    // [first, last) of the chunks whose values overlap [start, end).
    std::pair<size_t, size_t> ChunksIn(StreamTime start, StreamTime end) const;

    std::string m_folder;
    WaveSummaryCache m_cache;
    bool m_cacheLoaded = false;
    std::vector<Chunk> m_chunks;  // ascending start
    std::vector<WaveCell> m_pool;  // every chunk's second cells
    StreamTime m_longestChunk = 0;
    std::vector<std::vector<Bin>> m_bins;  // per bin level, ascending index
    // Every chunk with a side file is summarised (the last whole-stream
    // Prepare found none left to build).
    bool m_allBuilt = false;
    uint64_t m_generation = 1;
    bool m_binsStale = true;  // every bin is rebuilt by the next Prepare
    // Seconds [m_dirtyFrom, m_dirtyTo) whose bins are out of date.
    StreamTime m_dirtyFrom = 0;
    StreamTime m_dirtyTo = 0;
    size_t m_rawBytes = 0;
    uint64_t m_useClock = 0;
    Counters m_count;
};

}  // namespace wk
