#include "streamstore/StreamInfo.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "core/Trace.h"
#include "streamstore/ChunkName.h"
#include "streamstore/ChunkStartNote.h"
#include "streamstore/RecordingMarker.h"

namespace wk {
namespace {

// Names this short cannot be chunks (UpdateStreamInfo takes longer ones,
// ReloadStream this long or longer).
constexpr size_t kShortestChunkName = 25;
// The renumbering key pads the chunk number to nine digits; a larger number
// would break the grouping, and no recorder gets that far.
constexpr int kLargestKeyNumber = 999'999'999;

// Wide enough for a file size times an offset below the chunk length.
__extension__ typedef __int128 WideInt;

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

DirHandle OpenFolder(const std::string& folder) {
    return DirHandle(::opendir(folder.empty() ? "." : folder.c_str()));
}

bool IsFolderEntry(int dirFd, const dirent& entry) {
    if (entry.d_type == DT_DIR) return true;
    if (entry.d_type == DT_REG) return false;
    struct stat st {};
    return ::fstatat(dirFd, entry.d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
}

// Calls onEntry(dirFd, name) for every entry but "." and ".."; false when
// the folder cannot be read.
template <typename OnEntry>
bool ScanFolder(const std::string& folder, OnEntry&& onEntry) {
    const DirHandle dir = OpenFolder(folder);
    if (!dir) return false;
    const int dirFd = ::dirfd(dir.get());
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        onEntry(dirFd, *entry);
    }
    return true;
}

bool IsChunkAudioName(std::string_view name) {
    return name.ends_with(".mp3") || name.ends_with(".ogg");
}

// One chunk UpdateStreamInfo takes.
struct TakenChunk {
    std::string name;
    StreamTime start = 0;
    ChunkNameFields fields;
    int64_t datBytes = 0;
    int64_t datModifiedNs = 0;
};

bool Covers(const MP3SingleSaving& session, StreamTime t) {
    return session.start <= t && t - session.start < session.duration && !session.spans.empty() &&
           session.spans.front().start <= t && t <= session.spans.back().end;
}

// The stretch after a session's start that it can cover.
StreamTime Reach(const MP3SingleSaving& session) {
    if (session.spans.empty()) return 0;
    return std::min(session.duration, session.spans.back().end + 1 - session.start);
}

// Renames without ever replacing a file that already has the new name: a
// collision would silently destroy a recording. Both names are in one
// folder, so each file always has exactly one of the two names (or, for
// the hard-link route, briefly both).
bool RenameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
    // The file system does not know the flag: link() refuses an existing
    // target just as atomically.
    if (::link(from.c_str(), to.c_str()) == 0) {
        if (::unlink(from.c_str()) == 0) return true;
        ::unlink(to.c_str());
        return false;
    }
    if (errno == EEXIST || errno == ENOENT) return false;
    // No hard links either (FAT and the like): check first. Only this
    // program renames chunks, so nothing slips in between.
    struct stat st {};
    if (::lstat(to.c_str(), &st) == 0 || errno != ENOENT) return false;
    return ::rename(from.c_str(), to.c_str()) == 0;
}

[[noreturn]] void FailRename(int line, const std::string& from, const std::string& to) {
    Trace(kTraceError, "[L %d] Error renaming %s to %s", line, from.c_str(), to.c_str());
    throw MoveError();
}

struct ReloadEntry {
    std::string key;
    ChunkNameFields fields;
};

std::string ReloadKey(const ChunkNameFields& f) {
    char key[96];
    std::snprintf(key, sizeof key, "%04d_%02d_%02d_%02d_%02d_%02d_%lld_%lld_%09d", f.start.year,
                  f.start.month, f.start.day, f.start.hour, f.start.minute, f.start.second,
                  static_cast<long long>(f.durationMs / kMsPerSecond),
                  static_cast<long long>(f.lengthMs / kMsPerSecond), f.number);
    return key;
}

bool SameSession(const ChunkNameFields& a, const ChunkNameFields& b) {
    return a.start == b.start && a.durationMs == b.durationMs && a.lengthMs == b.lengthMs;
}

// The stretch chunk `f` of `session` covers, its side file holding
// `datBytes`; none when its number lies absurdly far.
std::optional<ChunkSpan> SpanOf(const MP3SingleSaving& session, const ChunkNameFields& f, int64_t datBytes,
                                int64_t datModifiedNs) {
    // A second name with this start may carry another length; its number
    // is then measured in the first name's length and can land absurdly far.
    const int64_t offsetSeconds = static_cast<int64_t>(f.number - 1) * (session.length / kMsPerSecond);
    if (offsetSeconds > INT_MAX) return std::nullopt;
    ChunkSpan span;
    span.start = session.start + offsetSeconds * kMsPerSecond;
    span.end = span.start + session.length;
    if (static_cast<int64_t>(f.number) * session.length > session.duration) span.end = session.start + session.duration;
    // A chunk the recording ended in holds less than its place allows.
    const int64_t recordedMs = std::min<int64_t>(datBytes, INT_MAX) * kMsPerDatByte;
    if (recordedMs + kDatSlackMs < span.end - span.start) span.end = span.start + recordedMs;
    span.datBytes = datBytes;
    span.datModifiedNs = datModifiedNs;
    return span;
}

// Where a chunk lies in stream time, and its length: what renaming keeps.
std::pair<StreamTime, int64_t> PlaceOf(const ChunkNameFields& f) {
    return {f.start.ToStreamTime() + (int64_t{f.number} - 1) * f.lengthMs, f.lengthMs};
}

// A renaming or deletion killed half way leaves side files under a name whose
// audio has gone: moved to the chunk's new name, or deleted. Side files that
// lie where a chunk without them lies (the same place in stream time) join
// it; the others belong to no audio and are removed. The session being
// recorded is left alone.
void ReuniteSideFiles(const std::string& folder, const std::string& current) {
    std::map<std::pair<StreamTime, int64_t>, std::string> audio;  // place -> base name
    std::set<std::string> audioBases;
    for (const char* ext : {".mp3", ".ogg"}) {
        for (const std::string& name : ListChunkFiles(folder, ext)) {
            const auto f = ParseChunkName(name);
            if (!f) continue;
            const std::string base = name.substr(0, name.size() - 4);
            audio.emplace(PlaceOf(*f), base);
            audioBases.insert(base);
        }
    }
    for (const char* ext : {".dat", ".fgp", kChunkNoteExtension}) {
        for (const std::string& name : ListChunkFiles(folder, ext)) {
            const auto f = ParseChunkName(name);
            const std::string base = name.substr(0, name.size() - 4);
            if (!f || audioBases.count(base) != 0 || name.rfind(current + "_", 0) == 0) continue;
            const std::string from = FolderFile(folder, name);
            const auto it = audio.find(PlaceOf(*f));
            if (it != audio.end() && RenameNoReplace(from, FolderFile(folder, it->second + ext))) {
                Trace(kTraceInfo, "%s joins its chunk %s again", name.c_str(), it->second.c_str());
            } else if (it == audio.end()) {
                Trace(kTraceInfo, "Removing %s: its chunk is gone", name.c_str());
                ::unlink(from.c_str());
            }
        }
    }
}

}  // namespace

std::string FolderFile(const std::string& folder, std::string_view name) {
    std::string path = folder;
    if (!path.empty() && path.back() != '/') path += '/';
    path += name;
    return path;
}

std::vector<std::string> ListChunkFiles(const std::string& folder, std::string_view extension) {
    std::vector<std::string> names;
    ScanFolder(folder, [&](int dirFd, const dirent& entry) {
        const std::string_view name = entry.d_name;
        if (name.ends_with(extension) && !IsFolderEntry(dirFd, entry)) names.emplace_back(name);
    });
    return names;
}

void UpdateStreamInfo(StreamInfo& info) {
    info.sessions.clear();
    info.maxReach = 0;
    Trace(kTraceInfo, "##CUT6 Updating stream info for %s", info.folder.c_str());
    for (const char* pattern : {"*.mp3", "*.ogg"}) {
        Trace(kTraceDetail, "mp3 collector %s find :", FolderFile(info.folder, pattern).c_str());
    }

    // One pass over the folder; the side file's size comes from a stat
    // relative to the open folder, with no file opened.
    std::vector<TakenChunk> taken;
    std::string datName;
    // The chunk being written is the recorded session's highest number,
    // whether or not its side files hold anything yet.
    const std::string recorded = RecordedSessionIn(info.folder);
    int writing = 0;
    ScanFolder(info.folder, [&](int dirFd, const dirent& entry) {
        const std::string_view name = entry.d_name;
        if (name.size() < kShortestChunkName || !IsChunkAudioName(name)) return;
        const auto fields = ParseChunkName(name);
        if (!fields || IsFolderEntry(dirFd, entry)) return;
        if (BelongsToSession(name, recorded)) writing = std::max(writing, fields->number);
        datName.assign(name.substr(0, name.size() - 4));
        datName += ".dat";
        struct stat st {};
        // An empty side file holds no audio.
        if (::fstatat(dirFd, datName.c_str(), &st, 0) != 0 || !S_ISREG(st.st_mode) ||
            st.st_size <= 0) {
            return;
        }
        taken.push_back({std::string(name), fields->start.ToStreamTime(), *fields, st.st_size,
                         static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec});
    });

    // The chunk being written is still growing; every other one is closed.
    std::erase_if(taken, [&](const TakenChunk& chunk) {
        return chunk.fields.number == writing && BelongsToSession(chunk.name, recorded);
    });

    std::sort(taken.begin(), taken.end(),
              [](const TakenChunk& a, const TakenChunk& b) { return a.name < b.name; });

    // The date leads every name, so sorted names come session by session.
    for (const TakenChunk& chunk : taken) {
        if (info.sessions.empty() || info.sessions.back().start != chunk.start) {
            MP3SingleSaving session;
            session.start = chunk.start;
            session.length = chunk.fields.lengthMs;
            session.duration = chunk.fields.durationMs;
            session.owner = &info;
            info.sessions.push_back(std::move(session));
        }
        MP3SingleSaving& session = info.sessions.back();
        if (auto span = SpanOf(session, chunk.fields, chunk.datBytes, chunk.datModifiedNs)) session.spans.push_back(*span);
    }

    for (MP3SingleSaving& session : info.sessions) {
        std::sort(session.spans.begin(), session.spans.end(),
                  [](const ChunkSpan& a, const ChunkSpan& b) {
                      return a.start != b.start ? a.start < b.start : a.end < b.end;
                  });
        info.maxReach = std::max(info.maxReach, Reach(session));
    }
}

bool AddChunk(StreamInfo& info, const ChunkNameFields& fields, int64_t datBytes, int64_t datModifiedNs) {
    if (datBytes <= 0) return false;
    const StreamTime start = fields.start.ToStreamTime();
    auto& sessions = info.sessions;
    auto at = std::lower_bound(sessions.begin(), sessions.end(), start,
                               [](const MP3SingleSaving& s, StreamTime t) { return s.start < t; });
    if (at == sessions.end() || at->start != start) {
        MP3SingleSaving session;
        session.start = start;
        session.length = fields.lengthMs;
        session.duration = fields.durationMs;
        session.owner = &info;
        at = sessions.insert(at, std::move(session));
    }
    const auto span = SpanOf(*at, fields, datBytes, datModifiedNs);
    if (!span) return false;
    const auto before = [](const ChunkSpan& a, const ChunkSpan& b) {
        return a.start != b.start ? a.start < b.start : a.end < b.end;
    };
    at->spans.insert(std::upper_bound(at->spans.begin(), at->spans.end(), *span, before), *span);
    info.maxReach = std::max(info.maxReach, Reach(*at));
    return true;
}

const MP3SingleSaving* FindSession(const StreamInfo& info, StreamTime t) {
    const auto& sessions = info.sessions;
    const auto byStart = [](StreamTime time, const MP3SingleSaving& s) { return time < s.start; };
    // Sessions beginning after t cannot hold it.
    const auto last = std::upper_bound(sessions.begin(), sessions.end(), t, byStart);
    // After a clock step sessions may overlap, and the earliest one holding t
    // wins. Only sessions beginning less than maxReach before t can reach t,
    // so the scan covers just t's overlapping neighbours (normally one).
    auto first = sessions.begin();
    if (info.maxReach >= 0 && t > std::numeric_limits<StreamTime>::min() + info.maxReach) {
        first = std::upper_bound(sessions.begin(), last, t - info.maxReach, byStart);
    }
    for (auto it = first; it != last; ++it) {
        if (Covers(*it, t)) return &*it;
    }
    return nullptr;
}

int ChunkIndexAt(const MP3SingleSaving& session, StreamTime t) {
    Trace(kTraceDetail, "ChunkIndexAt, session start %s",
          DateTime::FromStreamTime(session.start).LongText().c_str());
    if (t < session.start || t - session.start >= session.duration || session.length <= 0) {
        return -1;
    }
    const int64_t index = (t - session.start) / session.length + 1;
    return index > INT_MAX ? -1 : static_cast<int>(index);
}

std::string ChunkPath(const MP3SingleSaving& session, int number) {
    const std::string folder = session.owner ? session.owner->folder : std::string();
    std::string path = FolderFile(folder, ChunkBaseName(DateTime::FromStreamTime(session.start),
                                                        session.duration / kMsPerSecond,
                                                        session.length / kMsPerSecond, number));
    path += ".mp3";
    if (::access(path.c_str(), F_OK) != 0) path.replace(path.size() - 4, 4, ".ogg");
    return path;
}

int ReadSideBytes(const StreamInfo& info, StreamTime t, uint8_t* buffer, int count) {
    const MP3SingleSaving* session = FindSession(info, t);
    if (session == nullptr || session->length <= 0) return 0;
    int64_t number = (t - session->start) / session->length + 1;
    if (number < 1) return 0;
    StreamTime offset = t - (number - 1) * session->length - session->start;
    if (count < 1 || buffer == nullptr) return 0;

    int got = 0;
    while (number <= INT_MAX) {
        std::string path = ChunkPath(*session, static_cast<int>(number));
        path.replace(path.size() - 4, 4, ".fgp");
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) break;
        struct stat st {};
        bool stop = ::fstat(fd, &st) != 0;
        if (!stop) {
            const auto position =
                static_cast<off_t>(static_cast<WideInt>(st.st_size) * offset / session->length);
            const auto wanted = static_cast<size_t>(count - got);
            const ssize_t read = ::pread(fd, buffer + got, wanted, position);
            if (read < 0) {
                stop = true;
            } else {
                got += static_cast<int>(read);
                // A short read before the end of the file is an error.
                stop = static_cast<size_t>(read) < wanted && position + read < st.st_size;
            }
        }
        ::close(fd);
        if (stop) break;
        ++number;
        offset = 0;
        if (got >= count) break;
    }
    return got;
}

void GetRecordedRanges(const StreamInfo& info, std::vector<RecordedRange>& ranges,
                       std::vector<int>& codes) {
    ranges.clear();
    codes.clear();
    StreamTime previousEnd = -1;
    for (const MP3SingleSaving& session : info.sessions) {
        for (const ChunkSpan& span : session.spans) {
            if (ranges.empty() || span.start != previousEnd) {
                ranges.emplace_back(span.start, span.end);
            } else {
                ranges.back().second = span.end;
            }
            previousEnd = span.end;
        }
    }
    std::stable_sort(
        ranges.begin(), ranges.end(),
        [](const RecordedRange& a, const RecordedRange& b) { return a.first < b.first; });
    codes.assign(ranges.size(), kRecordedRangeCode);
}

void RepairChunkSideFiles(const std::string& folder) {
    ReuniteSideFiles(folder, RecordedSessionIn(folder));
}

void ReloadStream(const std::string& folder, const std::set<std::string>* sessions) {
    std::vector<std::string> names = ListChunkFiles(folder, ".mp3");
    if (sessions != nullptr) {
        for (std::string& name : ListChunkFiles(folder, ".ogg")) names.push_back(std::move(name));
    } else if (names.empty()) {
        names = ListChunkFiles(folder, ".ogg");
    }
    if (names.empty()) {
        Trace(kTraceDebug, "ReloadStream() returns because no files found.");
        return;
    }

    const std::string current = RecordedSessionIn(folder);
    ReuniteSideFiles(folder, current);
    std::vector<ReloadEntry> entries;
    entries.reserve(names.size());
    for (const std::string& name : names) {
        if (name.size() < kShortestChunkName) continue;
        const auto fields = ParseChunkName(name);
        if (!fields || fields->number > kLargestKeyNumber) continue;
        const std::string session = ChunkSessionName(
            fields->start, fields->durationMs / kMsPerSecond, fields->lengthMs / kMsPerSecond);
        if (session == current) continue;
        if (sessions != nullptr && sessions->count(session) == 0) continue;
        // Renaming rebuilds names from their fields, so a name written any
        // other way (leading zeros, extra text) could never be found again.
        std::string canonical = session + "_" + std::to_string(fields->number);
        canonical += std::string_view(name).substr(name.size() - 4);
        if (canonical != name) {
            Trace(kTraceDebug, "ReloadStream() skips %s", name.c_str());
            continue;
        }
        entries.push_back({ReloadKey(*fields), *fields});
    }
    if (entries.empty()) {
        Trace(kTraceDebug, "ReloadStream() returns because no files left in list.");
        return;
    }
    std::sort(entries.begin(), entries.end(),
              [](const ReloadEntry& a, const ReloadEntry& b) { return a.key < b.key; });

    const auto check = [&](const ChunkNameFields& first, int lastNumber) {
        CheckSession(folder, first.start, first.durationMs / kMsPerSecond,
                     first.lengthMs / kMsPerSecond, first.number, lastNumber);
    };
    size_t runStart = 0;
    for (size_t i = 1; i < entries.size(); ++i) {
        const ChunkNameFields& previous = entries[i - 1].fields;
        const ChunkNameFields& next = entries[i].fields;
        if (SameSession(previous, next) && next.number == previous.number + 1) continue;
        check(entries[runStart].fields, previous.number);
        runStart = i;
    }
    check(entries[runStart].fields, entries.back().fields.number);
}

void CheckSession(const std::string& folder, const DateTime& start, int64_t durationSeconds,
                  int64_t lengthSeconds, int startNo, int lastNo) {
    if (lengthSeconds < 1 || startNo < 1 || lastNo < startNo || lengthSeconds > INT_MAX) {
        Trace(kTraceDebug, "CheckSession() returns because of a malformed run");
        return;
    }
    int64_t duration = (static_cast<int64_t>(lastNo) - startNo + 1) * lengthSeconds;
    // The session's last chunk is usually shorter than a whole one; a run
    // that holds it ends where the session did.
    const int64_t plannedLeft = durationSeconds - (static_cast<int64_t>(startNo) - 1) * lengthSeconds;
    if (plannedLeft > duration - lengthSeconds && plannedLeft < duration) duration = plannedLeft;
    if (startNo == 1 && durationSeconds == duration) {
        Trace(kTraceDebug,
              "CheckSession() returns because of (AStartNo == 1) && (ADuration == Duration)");
        return;
    }
    // Pure calendar arithmetic, as for every chunk's place in stream time.
    const DateTime newStart = DateTime::FromStreamTime(
        start.ToStreamTime() + (startNo - 1) * lengthSeconds * kMsPerSecond);

    for (int number = startNo; number <= lastNo; ++number) {
        const std::string from =
            FolderFile(folder, ChunkBaseName(start, durationSeconds, lengthSeconds, number));
        const std::string to = FolderFile(
            folder, ChunkBaseName(newStart, duration, lengthSeconds, number - startNo + 1));
        if (!RenameNoReplace(from + ".mp3", to + ".mp3") &&
            !RenameNoReplace(from + ".ogg", to + ".ogg")) {
            FailRename(__LINE__, from + ".ogg", to + ".ogg");
        }
        for (const char* side : {".dat", ".fgp"}) {
            if (!RenameNoReplace(from + side, to + side))
                FailRename(__LINE__, from + side, to + side);
        }
        // The start note goes along where there is one; it tells the start
        // relative to the chunk's place in stream time, which the move keeps.
        // A chunk without one must not inherit a note left at the new name.
        const std::string note = to + kChunkNoteExtension;
        if (::rename((from + kChunkNoteExtension).c_str(), note.c_str()) != 0)
            ::unlink(note.c_str());
    }
}

}  // namespace wk
