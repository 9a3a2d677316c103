#pragma once
// A description file and its records in memory.
//
// File: three header lines ("# " + header; the reader drops the first two
// characters of each of the first three lines, whatever they are), then one
// line per record (Description::ToLine), CR LF written, LF read too. Header 1
// is the format version ("0.9" for a new store and for a file that names
// none); header 3 containing "_WAVKEEP_STAFF_" marks a trusted file.
//
// Records are kept in insertion order by Add: each goes after every record
// whose start is not later than its own end. Two records with the same
// start, end, artist and title are the same record (SameRecord).
//
// Loading and merging take O(n log n) for n records (DescriptionOrder.h);
// a single Add, AddIfFree or AddReplacing walks the list.
//
// Not thread-safe: each user makes its own store or guards it.

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "descriptions/Description.h"

namespace wk {

struct StreamInfo;

inline constexpr const char* kTrustedMarker = "_WAVKEEP_STAFF_";
inline constexpr int kSnippetBytes = 400;
inline constexpr const char* kDescriptionFormatVersion = "0.9";
// Merge takes at most this many records from one file (weeks of songs from
// one channel); a longer file is cut there with an event line.
inline constexpr size_t kMaxMergedRecords = 20000;

// Same start, end, artist and title: one description, whatever else differs.
bool SameRecord(const Description& a, const Description& b);

struct MergeResult {
    size_t held = 0;      // records this store held before the merge
    size_t added = 0;     // records of the other store now in this one
    size_t replaced = 0;  // records of this store the other's replaced
    size_t same = 0;      // records this store held already (SameRecord)
    size_t refused = 0;   // overlapping without the replace rule, or past the limit
};

class DescriptionStore {
public:
    // `folder` gets a trailing '/', `name` the extension ".des".
    explicit DescriptionStore(const std::string& folder = {}, const std::string& name = {});
    virtual ~DescriptionStore() = default;

    void SetFolder(const std::string& folder);
    void SetName(const std::string& name);
    std::string FilePath() const;

    // Replaces headers and records with the file's; a missing or unreadable
    // file gives an empty store with a new store's headers (false).
    bool Load();
    // The same from the file at `path`, whatever the store's name (the
    // store's name would spell "LIST.DES" as "LIST.des").
    bool LoadFrom(const std::string& path);
    // The same from a description file's bytes.
    void LoadText(std::string_view text);
    // AttachFingerprints, then writes the file (to a temporary file renamed
    // over it); an empty header 1 is written as the format version. False
    // when it could not be written; the old file then stays.
    bool Save();

    // The read-modify-write of a description file that other processes and
    // threads change too: under the file's lock (FileLock.h) the file is
    // read afresh, `change` works on this store, and when it returns true
    // the store is saved; the lock is held from the read to the end of the
    // write, so `change` must not wait for the network. False, with the
    // reason in `why`, when the lock cannot be had (another writer holds it
    // past the time-out) or the file exists but cannot be read or cannot be
    // written; the file then stays as it was.
    bool Update(const std::function<bool(DescriptionStore&)>& change, std::string* why = nullptr);

    // The stream whose fingerprint files AttachFingerprints reads; none:
    // fingerprints are left as they are.
    void SetStreamInfo(const StreamInfo* info) { m_streamInfo = info; }
    void AttachFingerprints();

    void Add(const Description& record);
    // Adds when the record overlaps no record (bounds inclusive).
    bool AddIfFree(const Description& record);
    // Removes the records that start or end strictly inside the new one, then
    // adds it; nothing when the store holds the same record already.
    void AddReplacing(const Description& record);
    // Adds the other store's records (its first kMaxMergedRecords) as
    // AddReplacing (`replace`) or AddIfFree would, except that only records
    // this store held before the merge are replaced or refuse a record:
    // records of one file never remove each other (songs that crossfade
    // overlap). Records this store holds already are left as they are. Then
    // RemoveDuplicates.
    MergeResult Merge(const DescriptionStore& other, bool replace);
    // Drops every record that is the same record (SameRecord) as an earlier
    // one in list order; traces "%d duplicate entrie(s) removed from desc
    // file".
    int RemoveDuplicates();
    int RemoveByTitle(const std::string& title);
    Description* FindAt(StreamTime t, bool exact);
    void ShiftAll(int64_t startShift, int64_t endShift);
    // Ranges ascending by start; sets each record's coverage state.
    void MarkCoverage(const std::vector<std::pair<StreamTime, StreamTime>>& ranges);

    struct Arrays {
        std::vector<std::pair<StreamTime, StreamTime>> times;
        std::vector<int> states;
        std::vector<const Description*> records;
    };
    void ExportArrays(Arrays& arrays) const;

    void Clear();  // records only
    const std::vector<std::unique_ptr<Description>>& Records() const { return m_records; }
    std::vector<std::unique_ptr<Description>>& Records() { return m_records; }
    size_t Size() const { return m_records.size(); }

    std::string header[3] = {kDescriptionFormatVersion, "", ""};
    bool IsTrusted() const;

private:
    std::string m_folder;
    std::string m_name;
    const StreamInfo* m_streamInfo = nullptr;
    std::vector<std::unique_ptr<Description>> m_records;
};

}  // namespace wk
