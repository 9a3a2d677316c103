#include "streamstore/StreamDeletion.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/EventLog.h"
#include "core/FileLock.h"
#include "core/FileUtil.h"
#include "core/Trace.h"
#include "core/Translation.h"
#include "streamstore/ChunkName.h"
#include "streamstore/StreamInfo.h"

namespace wk {
namespace {

__extension__ typedef __int128 WideInt;

// The stretch [from, until) a session answers for in FindSession.
struct Coverage {
    StreamTime from = 0;
    StreamTime until = 0;
};

std::vector<Coverage> CoverageByStart(const StreamInfo& info) {
    std::vector<Coverage> coverage;
    coverage.reserve(info.sessions.size());
    for (const MP3SingleSaving& session : info.sessions) {
        if (session.spans.empty()) continue;
        const Coverage c{std::max(session.start, session.spans.front().start),
                         std::min(session.start + session.duration, session.spans.back().end + 1)};
        if (c.from < c.until) coverage.push_back(c);
    }
    std::sort(coverage.begin(), coverage.end(),
              [](const Coverage& a, const Coverage& b) { return a.from < b.from; });
    return coverage;
}

// Moves markStart forward in whole steps until a session holds it; nullptr
// once it reaches markEnd. Rather than try every step across a gap of
// months, it jumps to the last step before the next session begins: no
// step in between can find one, so the outcome is the same.
const MP3SingleSaving* SessionFrom(const StreamInfo& info, StreamTime& markStart,
                                   StreamTime markEnd, StreamTime step) {
    const MP3SingleSaving* session = FindSession(info, markStart);
    if (session != nullptr) return session;
    const std::vector<Coverage> coverage = CoverageByStart(info);
    size_t next = 0;
    while (session == nullptr) {
        // Nothing holds markStart, so coverage beginning by then has ended.
        while (next < coverage.size() && coverage[next].from <= markStart) ++next;
        if (next == coverage.size() || coverage[next].from >= markEnd) return nullptr;
        const WideInt gap = static_cast<WideInt>(coverage[next].from) - markStart;
        const WideInt steps = (gap + step - 1) / step;
        const WideInt moved = markStart + steps * step;
        if (moved >= markEnd) return nullptr;
        markStart = static_cast<StreamTime>(moved);
        session = FindSession(info, markStart);
    }
    return session;
}

void RemoveChunk(const std::string& folder, const std::string& name) {
    const std::string path = FolderFile(folder, name);
    ::unlink(path.c_str());
    const std::string base = path.substr(0, path.size() - 4);
    for (const char* side : {".dat", ".fgp"}) ::unlink((base + side).c_str());
}

// Whether the chunk named by `f` lies wholly inside the mark.
bool InsideMark(const ChunkNameFields& f, StreamTime markStart, StreamTime markEnd) {
    const StreamTime sessionStart = f.start.ToStreamTime();
    const StreamTime sessionEnd = sessionStart + f.durationMs;
    StreamTime begin = sessionStart + static_cast<StreamTime>(f.number - 1) * f.lengthMs;
    StreamTime end = begin + f.lengthMs;
    if (f.durationMs < f.lengthMs) {
        begin = sessionStart;
        end = sessionEnd;
    }
    end = std::min(end, sessionEnd);
    return begin >= markStart && end <= markEnd && end > markStart && begin < markEnd;
}

}  // namespace

int DeleteMarkedStretch(const std::string& folder, StreamTime markStart, StreamTime markEnd,
                        StreamTime stepMs) {
    Trace(kTraceDebug, "Entering PlayerView::OnStreamDeleteEnd()");
    if (markEnd < markStart) return 0;
    if (stepMs <= 0) stepMs = kDefaultDeleteStepMs;

    StreamInfo info;
    info.folder = folder;
    UpdateStreamInfo(info);
    const MP3SingleSaving* session = SessionFrom(info, markStart, markEnd, stepMs);
    if (session == nullptr) return 0;

    const int number = ChunkIndexAt(*session, markStart);
    if (number < 1) return 0;
    const std::string chunk = ChunkPath(*session, number);
    const std::string extension = chunk.substr(chunk.size() - 4);
    std::string pattern = FolderFile(folder, "*");
    pattern += extension;
    Trace(kTraceDebug, "delStream, starting a search for %s", pattern.c_str());

    std::vector<std::string> names = ListChunkFiles(folder, extension);
    std::sort(names.begin(), names.end());
    const std::string current = CurrentSessionPrefix();
    int deleted = 0;
    for (const std::string& name : names) {
        if (BelongsToSession(name, current)) continue;
        const auto fields = ParseChunkName(name);
        if (!fields || !InsideMark(*fields, markStart, markEnd)) continue;
        RemoveChunk(folder, name);
        ++deleted;
    }
    if (deleted > 0) ReloadStream(folder);
    return deleted;
}

bool DeleteWholeStream(const std::string& folder) {
    if (folder.empty()) {
        ReportId(kStrStreamPathNotSelected);
        return false;
    }
    for (const std::string& name : ListChunkFiles(folder, "")) {
        ::unlink(FolderFile(folder, name).c_str());
    }
    // Under the file's lock, so that an import or download merging into the
    // file meanwhile finishes first instead of writing the old records back.
    const std::string path = FolderFile(folder, kDescriptionFileName);
    FileLock lock;
    std::string why;
    if (!lock.AcquireFor(path, FileLock::kDefaultTimeoutMs, &why) ||
        !ReplaceFileContents(path, kEmptyDescription)) {
        if (why.empty()) why = "the file could not be replaced";
        Trace(kTraceError, "Cannot write %s: %s", path.c_str(), why.c_str());
        Report("Cannot empty " + path + ": " + why);
        return false;
    }
    return true;
}

}  // namespace wk
