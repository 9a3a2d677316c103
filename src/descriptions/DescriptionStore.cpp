#include "descriptions/DescriptionStore.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <numeric>
#include <tuple>

#include "core/FileUtil.h"
#include "core/Trace.h"
#include "streamstore/StreamInfo.h"

namespace wk {
namespace {

constexpr const char* kExtension = ".des";
constexpr const char* kDefaultName = "desc";
constexpr size_t kHeaderLines = 3;
constexpr size_t kHeaderPrefixLength = 2;
// A snippet is taken a little before the record's start so that matching
// still works when the start was set slightly late; near the end of the
// recording it is pulled back so that all its bytes exist.
constexpr StreamTime kSnippetLead = 1000;
constexpr StreamTime kSnippetSpan = 4000;

StreamTime WrappingAdd(StreamTime a, int64_t b) {
    return static_cast<StreamTime>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}

void StripCarriageReturn(std::string& line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
}

// Orders by every field SameContent compares, so equal records sort together.
auto ContentKey(const Description& d) {
    return std::tie(d.start, d.end, d.title, d.artist, d.album, d.year, d.comment, d.genre,
                    d.fingerprintTime, d.fingerprint, d.notIdentified);
}

}  // namespace

DescriptionStore::DescriptionStore(const std::string& folder, const std::string& name) {
    SetFolder(folder);
    SetName(name);
}

void DescriptionStore::SetFolder(const std::string& folder) {
    m_folder = folder;
    if (!m_folder.empty() && m_folder.back() != '/') m_folder += '/';
}

void DescriptionStore::SetName(const std::string& name) {
    m_name = name.empty() ? std::string(kDefaultName) : name;
    const size_t dot = m_name.rfind('.');
    const size_t slash = m_name.rfind('/');
    // A leading dot starts a hidden name, not an extension.
    const bool hasExtension = dot != std::string::npos && dot > 0 &&
                              (slash == std::string::npos || dot > slash + 1);
    if (hasExtension) m_name.erase(dot);
    m_name += kExtension;
}

std::string DescriptionStore::FilePath() const { return m_folder + m_name; }

bool DescriptionStore::Load() {
    m_records.clear();
    for (std::string& h : header) h.clear();

    std::ifstream in(FilePath(), std::ios::binary);
    if (!in) return false;

    std::string line;
    for (size_t i = 0; i < kHeaderLines; ++i) {
        if (!std::getline(in, line)) return true;
        StripCarriageReturn(line);
        header[i] = line.size() > kHeaderPrefixLength ? line.substr(kHeaderPrefixLength)
                                                      : std::string();
    }
    // Files are normally in order: while no loaded record starts after the
    // new one's end, Add would append, so the scan can be skipped.
    Description record;
    StreamTime latestStart = INT64_MIN;
    while (std::getline(in, line)) {
        record.FromLine(line);
        if (record.end >= latestStart) {
            m_records.push_back(std::make_unique<Description>(record));
        } else {
            Add(record);
        }
        latestStart = std::max(latestStart, record.start);
    }
    return true;
}

bool DescriptionStore::Save() {
    AttachFingerprints();

    std::string text;
    for (const std::string& h : header) {
        text += "# ";
        text += h;
        text += "\r\n";
    }
    for (const auto& record : m_records) {
        text += record->ToLine();
        text += "\r\n";
    }

    return ReplaceFileContents(FilePath(), text);
}

void DescriptionStore::AttachFingerprints() {
    if (m_streamInfo == nullptr) return;
    uint8_t buffer[kSnippetBytes];
    for (const auto& record : m_records) {
        const StreamTime t = record->start;
        const MP3SingleSaving* session = FindSession(*m_streamInfo, t);
        if (session == nullptr || session->spans.empty()) continue;
        const StreamTime lastEnd = session->spans.back().end;
        if (lastEnd - session->start < kSnippetSpan) continue;
        StreamTime from = t;
        if (lastEnd - t < kSnippetSpan) {
            from = lastEnd - kSnippetSpan;
        } else if (t - kSnippetLead >= session->start) {
            from = t - kSnippetLead;
        }
        if (ReadSideBytes(*m_streamInfo, from, buffer, kSnippetBytes) != kSnippetBytes) continue;
        record->fingerprintTime = from;
        record->fingerprint = Base64Encode(buffer);
    }
}

void DescriptionStore::Add(const Description& record) {
    const auto later = std::find_if(m_records.begin(), m_records.end(), [&](const auto& e) {
        return e->start > record.end;
    });
    m_records.insert(later, std::make_unique<Description>(record));
}

bool DescriptionStore::AddIfFree(const Description& record) {
    const auto within = [](StreamTime v, StreamTime lo, StreamTime hi) {
        return lo <= v && v <= hi;
    };
    for (const auto& e : m_records) {
        if (within(e->start, record.start, record.end) || within(e->end, record.start, record.end) ||
            within(record.start, e->start, e->end) || within(record.end, e->start, e->end)) {
            return false;
        }
    }
    Add(record);
    return true;
}

void DescriptionStore::AddReplacing(const Description& record) {
    const auto inside = [&](StreamTime v) { return record.start < v && v < record.end; };
    std::erase_if(m_records, [&](const auto& e) { return inside(e->start) || inside(e->end); });
    Add(record);
}

void DescriptionStore::Merge(const DescriptionStore& other, bool replace) {
    // A copy, so that merging a store into itself does not walk a list it changes.
    std::vector<Description> incoming;
    incoming.reserve(other.m_records.size());
    for (const auto& record : other.m_records) incoming.push_back(*record);
    for (const Description& record : incoming) {
        if (replace) {
            AddReplacing(record);
        } else {
            AddIfFree(record);
        }
    }
    RemoveDuplicates();
}

int DescriptionStore::RemoveDuplicates() {
    std::vector<size_t> order(m_records.size());
    std::iota(order.begin(), order.end(), size_t{0});
    // Stable, so within a run of equal records the first in the list leads.
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return ContentKey(*m_records[a]) < ContentKey(*m_records[b]);
    });
    std::vector<bool> duplicate(m_records.size(), false);
    int count = 0;
    for (size_t i = 1; i < order.size(); ++i) {
        if (m_records[order[i]]->SameContent(*m_records[order[i - 1]])) {
            duplicate[order[i]] = true;
            ++count;
        }
    }
    if (count > 0) {
        size_t kept = 0;
        for (size_t i = 0; i < m_records.size(); ++i) {
            if (!duplicate[i]) m_records[kept++] = std::move(m_records[i]);
        }
        m_records.resize(kept);
    }
    Trace(kTraceDebug, "%d duplicate entrie(s) removed from desc file", count);
    return count;
}

int DescriptionStore::RemoveByTitle(const std::string& title) {
    return static_cast<int>(
        std::erase_if(m_records, [&](const auto& e) { return e->title == title; }));
}

Description* DescriptionStore::FindAt(StreamTime t, bool exact) {
    for (const auto& e : m_records) {
        if (exact ? e->start == t : (e->start <= t && t <= e->end)) return e.get();
    }
    return nullptr;
}

void DescriptionStore::ShiftAll(int64_t startShift, int64_t endShift) {
    for (const auto& e : m_records) {
        e->start = WrappingAdd(e->start, startShift);
        e->end = WrappingAdd(e->end, endShift);
    }
}

void DescriptionStore::MarkCoverage(const std::vector<std::pair<StreamTime, StreamTime>>& ranges) {
    size_t i = 0;
    for (const auto& e : m_records) {
        while (true) {
            if (i >= ranges.size()) {
                e->coverage = kCoverageMissing;
                break;
            }
            const auto [r0, r1] = ranges[i];
            if (e->end < r0) {
                e->coverage = kCoverageMissing;
                break;
            }
            if (e->start >= r1) {
                ++i;
                continue;
            }
            e->coverage = (e->start >= r0 && e->end <= r1) ? kCoverageComplete : kCoveragePartial;
            break;
        }
    }
}

void DescriptionStore::ExportArrays(Arrays& arrays) const {
    arrays.times.clear();
    arrays.states.clear();
    arrays.records.clear();
    arrays.times.reserve(m_records.size());
    arrays.states.reserve(m_records.size());
    arrays.records.reserve(m_records.size());
    for (const auto& e : m_records) {
        arrays.times.emplace_back(e->start, e->end);
        arrays.states.push_back(e->coverage);
        arrays.records.push_back(e.get());
    }
}

void DescriptionStore::Clear() { m_records.clear(); }

bool DescriptionStore::IsTrusted() const {
    return header[2].find(kTrustedMarker) != std::string::npos;
}

}  // namespace wk
