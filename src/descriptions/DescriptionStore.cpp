#include "descriptions/DescriptionStore.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string_view>
#include <tuple>
#include <unordered_set>

#include "core/EventLog.h"
#include "core/FileLock.h"
#include "core/FileUtil.h"
#include "core/Trace.h"
#include "descriptions/DescriptionOrder.h"
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

// False when the file cannot be opened or read (a folder in its place).
bool ReadWholeFile(const std::string& path, std::string& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    char buffer[65536];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.append(buffer, n);
    const bool ok = std::ferror(f) == 0;
    std::fclose(f);
    return ok;
}

using RecordKey = std::tuple<StreamTime, StreamTime, std::string_view, std::string_view>;

RecordKey KeyOf(const Description& d) { return {d.start, d.end, d.artist, d.title}; }

struct RecordKeyHash {
    size_t operator()(const RecordKey& k) const {
        size_t h = std::hash<StreamTime>()(std::get<0>(k));
        for (const size_t part : {std::hash<StreamTime>()(std::get<1>(k)),
                                  std::hash<std::string_view>()(std::get<2>(k)),
                                  std::hash<std::string_view>()(std::get<3>(k))})
            h = h * 1000003 ^ part;
        return h;
    }
};

// The records a merge without the replace rule checks new ones against,
// arranged so that a check takes O(log n). A record [s, t] conflicts with a
// held [a, b] when a bound of either lies within the other, bounds included;
// a record whose start is after its end contains nothing.
class HeldIntervals {
public:
    HeldIntervals() = default;
    explicit HeldIntervals(const std::vector<const Description*>& records) {
        std::vector<std::pair<StreamTime, StreamTime>> spans;
        for (const auto& e : records) {
            m_bounds.push_back(e->start);
            m_bounds.push_back(e->end);
            if (e->start <= e->end) spans.emplace_back(e->start, e->end);
        }
        std::sort(m_bounds.begin(), m_bounds.end());
        std::sort(spans.begin(), spans.end());
        StreamTime latestEnd = INT64_MIN;
        for (const auto& [start, end] : spans) {
            latestEnd = std::max(latestEnd, end);
            m_starts.push_back(start);
            m_latestEnds.push_back(latestEnd);
        }
    }

    bool Conflicts(const Description& d) const {
        if (d.start <= d.end) {
            const auto bound = std::lower_bound(m_bounds.begin(), m_bounds.end(), d.start);
            if (bound != m_bounds.end() && *bound <= d.end) return true;
        }
        return Holds(d.start) || Holds(d.end);
    }

private:
    // Whether a held record contains t.
    bool Holds(StreamTime t) const {
        const auto after = std::upper_bound(m_starts.begin(), m_starts.end(), t);
        if (after == m_starts.begin()) return false;
        return m_latestEnds[static_cast<size_t>(after - m_starts.begin()) - 1] >= t;
    }

    std::vector<StreamTime> m_bounds;
    std::vector<StreamTime> m_starts;      // of the records whose start is not after their end
    std::vector<StreamTime> m_latestEnds;  // the latest end among those up to each start
};

}  // namespace

bool SameRecord(const Description& a, const Description& b) {
    return KeyOf(a) == KeyOf(b);
}

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

bool DescriptionStore::Load() { return LoadFrom(FilePath()); }

bool DescriptionStore::LoadFrom(const std::string& path) {
    std::string text;
    if (!ReadWholeFile(path, text)) {
        m_records.clear();
        header[0] = kDescriptionFormatVersion;
        header[1].clear();
        header[2].clear();
        return false;
    }
    LoadText(text);
    return true;
}

void DescriptionStore::LoadText(std::string_view text) {
    m_records.clear();
    for (std::string& h : header) h.clear();

    size_t pos = 0;
    // Lines as getline gives them: a last line without its line end counts,
    // nothing after a final line end does.
    const auto nextLine = [&](std::string_view& line) {
        if (pos >= text.size()) return false;
        const size_t lf = text.find('\n', pos);
        const size_t end = lf == std::string_view::npos ? text.size() : lf;
        line = text.substr(pos, end - pos);
        pos = lf == std::string_view::npos ? text.size() : lf + 1;
        return true;
    };
    std::string_view line;
    for (size_t i = 0; i < kHeaderLines; ++i) {
        if (!nextLine(line)) return;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        header[i] = line.size() > kHeaderPrefixLength
                        ? std::string(line.substr(kHeaderPrefixLength))
                        : std::string();
    }
    // Files are normally in order: while no loaded record starts after the
    // new one's end, Add would append, so the search can be skipped.
    std::vector<std::unique_ptr<Description>> appended;
    DescriptionOrder order;
    bool inOrder = true;
    StreamTime latestStart = INT64_MIN;
    while (nextLine(line)) {
        auto record = std::make_unique<Description>();
        record->FromLine(line);
        const StreamTime start = record->start;
        if (record->end >= latestStart) {
            appended.push_back(std::move(record));
        } else {
            order.Build(std::move(appended));
            appended.clear();
            order.Add(std::move(record));
            inOrder = false;
        }
        latestStart = std::max(latestStart, start);
    }
    if (inOrder) {
        m_records = std::move(appended);
    } else {
        order.Build(std::move(appended));
        m_records = order.TakeAll();
    }
}

bool DescriptionStore::Save() {
    AttachFingerprints();

    std::string text;
    for (size_t i = 0; i < kHeaderLines; ++i) {
        text += "# ";
        text += i == 0 && header[0].empty() ? std::string(kDescriptionFormatVersion) : header[i];
        text += "\r\n";
    }
    for (const auto& record : m_records) {
        text += record->ToLine();
        text += "\r\n";
    }

    return ReplaceFileContents(FilePath(), text);
}

bool DescriptionStore::Update(const std::function<bool(DescriptionStore&)>& change,
                              std::string* why) {
    const std::string path = FilePath();
    FileLock lock;
    std::string reason;
    if (!lock.AcquireFor(path, FileLock::kDefaultTimeoutMs, &reason)) {
        if (why) *why = "cannot change " + path + ": " + reason;
        return false;
    }
    std::error_code ec;
    if (!Load() && (std::filesystem::exists(path, ec) || ec)) {
        // Saving would replace a file that could not be read, records and all.
        if (why) *why = "cannot read " + path;
        return false;
    }
    if (!change(*this)) return true;
    if (!Save()) {
        if (why) *why = "cannot write " + path;
        return false;
    }
    return true;
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
    for (const auto& e : m_records)
        if (SameRecord(*e, record)) return;
    const auto inside = [&](StreamTime v) { return record.start < v && v < record.end; };
    std::erase_if(m_records, [&](const auto& e) { return inside(e->start) || inside(e->end); });
    Add(record);
}

MergeResult DescriptionStore::Merge(const DescriptionStore& other, bool replace) {
    MergeResult result;
    result.held = m_records.size();
    // A copy, so that merging a store into itself does not walk a list it changes.
    const size_t taken = std::min(other.m_records.size(), kMaxMergedRecords);
    std::vector<Description> incoming;
    incoming.reserve(taken);
    for (size_t i = 0; i < taken; ++i) incoming.push_back(*other.m_records[i]);
    if (taken < other.m_records.size()) {
        result.refused = other.m_records.size() - taken;
        AddEvent(std::to_string(result.refused) + " descriptions of " + other.FilePath() +
                 " were not added: one file adds at most " + std::to_string(kMaxMergedRecords));
    }
    if (incoming.empty()) {
        RemoveDuplicates();
        return result;
    }

    // Only held records that reach into the stretch the incoming ones span
    // can be the same as one, be replaced or refuse one; a long store has
    // few of them.
    StreamTime lo = INT64_MAX;
    StreamTime hi = INT64_MIN;
    for (const Description& d : incoming) {
        lo = std::min({lo, d.start, d.end});
        hi = std::max({hi, d.start, d.end});
    }
    const auto within = [&](StreamTime t) { return lo <= t && t <= hi; };
    std::vector<size_t> near;
    for (size_t i = 0; i < m_records.size(); ++i) {
        const Description& e = *m_records[i];
        if (within(e.start) || within(e.end) || (e.start <= hi && e.end >= lo)) near.push_back(i);
    }

    std::set<RecordKey> held;
    for (const size_t i : near) held.insert(KeyOf(*m_records[i]));
    std::set<RecordKey> arriving;
    std::vector<const Description*> fresh;
    for (const Description& d : incoming) {
        const RecordKey key = KeyOf(d);
        if (held.count(key) != 0) {
            ++result.same;
        } else if (arriving.insert(key).second) {
            fresh.push_back(&d);
        }
    }

    HeldIntervals intervals;
    // Every start and end the replace rule may reach, with its record; a
    // held record that arrives again stays where it is.
    std::multimap<StreamTime, size_t> bounds;
    if (replace) {
        std::set<RecordKey> again;
        if (result.same > 0)
            for (const Description& d : incoming) again.insert(KeyOf(d));
        for (const size_t i : near) {
            if (again.count(KeyOf(*m_records[i])) != 0) continue;
            bounds.emplace(m_records[i]->start, i);
            bounds.emplace(m_records[i]->end, i);
        }
    } else {
        std::vector<const Description*> nearRecords;
        for (const size_t i : near) nearRecords.push_back(m_records[i].get());
        intervals = HeldIntervals(nearRecords);
    }
    DescriptionOrder order;
    const std::vector<DescriptionOrder::Node*> nodes = order.Build(std::move(m_records));
    m_records.clear();
    std::vector<bool> removed(nodes.size(), false);

    for (const Description* d : fresh) {
        if (!replace && intervals.Conflicts(*d)) {
            ++result.refused;
            continue;
        }
        if (replace && d->start < d->end) {
            const auto first = bounds.upper_bound(d->start);
            const auto last = bounds.lower_bound(d->end);
            for (auto it = first; it != last; ++it) {
                if (removed[it->second]) continue;
                removed[it->second] = true;
                order.Erase(nodes[it->second]);
                ++result.replaced;
            }
            bounds.erase(first, last);
        }
        order.Add(std::make_unique<Description>(*d));
        ++result.added;
    }
    m_records = order.TakeAll();
    RemoveDuplicates();
    return result;
}

int DescriptionStore::RemoveDuplicates() {
    std::unordered_set<RecordKey, RecordKeyHash> seen;
    seen.reserve(m_records.size());
    const size_t before = m_records.size();
    // The first in list order stays.
    std::erase_if(m_records, [&seen](const std::unique_ptr<Description>& d) {
        return !seen.insert(KeyOf(*d)).second;
    });
    const int count = static_cast<int>(before - m_records.size());
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
