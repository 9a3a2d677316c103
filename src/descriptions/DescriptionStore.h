#pragma once
// A description file and its records in memory.
//
// File: three header lines ("# " + header; the reader drops the first two
// characters of each of the first three lines, whatever they are), then one
// line per record (Description::ToLine), CR LF written, LF read too. Header 1
// is the format version ("0.9" for a new store); header 3 containing
// "_WAVKEEP_STAFF_" marks a trusted file.
//
// Records are kept in insertion order by Add: each goes after every record
// whose start is not later than its own end.
//
// Not thread-safe: each user makes its own store or guards it.

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "descriptions/Description.h"

namespace wk {

struct StreamInfo;

inline constexpr const char* kTrustedMarker = "_WAVKEEP_STAFF_";
inline constexpr int kSnippetBytes = 400;

class DescriptionStore {
public:
    // `folder` gets a trailing '/', `name` the extension ".des".
    explicit DescriptionStore(const std::string& folder = {}, const std::string& name = {});
    virtual ~DescriptionStore() = default;

    void SetFolder(const std::string& folder);
    void SetName(const std::string& name);
    std::string FilePath() const;

    // Replaces headers and records with the file's; a missing or unreadable
    // file gives an empty store with empty headers (false).
    bool Load();
    // AttachFingerprints, then writes the file (to a temporary file renamed
    // over it). False when it could not be written; the old file then stays.
    bool Save();

    // The stream whose fingerprint files AttachFingerprints reads; none:
    // fingerprints are left as they are.
    void SetStreamInfo(const StreamInfo* info) { m_streamInfo = info; }
    void AttachFingerprints();

    void Add(const Description& record);
    bool AddIfFree(const Description& record);
    void AddReplacing(const Description& record);
    void Merge(const DescriptionStore& other, bool replace);
    int RemoveDuplicates();  // traces "%d duplicate entrie(s) removed from desc file"
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

    std::string header[3] = {"0.9", "", ""};
    bool IsTrusted() const;

private:
    std::string m_folder;
    std::string m_name;
    const StreamInfo* m_streamInfo = nullptr;
    std::vector<std::unique_ptr<Description>> m_records;
};

}  // namespace wk
