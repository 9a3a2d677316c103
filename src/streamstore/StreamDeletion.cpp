#include "streamstore/StreamDeletion.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <vector>

#include "core/EventLog.h"
#include "core/FileLock.h"
#include "core/FileUtil.h"
#include "core/Trace.h"
#include "core/Translation.h"
#include "streamstore/ChunkName.h"
#include "streamstore/ChunkStartNote.h"
#include "streamstore/RecordingMarker.h"
#include "streamstore/StreamInfo.h"
#include "streamstore/StreamsGeneration.h"

namespace wk {
namespace {

void RemoveChunk(const std::string& folder, const std::string& name) {
    const std::string path = FolderFile(folder, name);
    ::unlink(path.c_str());
    const std::string base = path.substr(0, path.size() - 4);
    for (const char* side : {".dat", ".fgp", kChunkNoteExtension}) ::unlink((base + side).c_str());
}

// The audio a chunk holds, by its ".dat" side file; -1 when unknown.
StreamTime RecordedLength(const std::string& folder, const std::string& name) {
    struct stat st {};
    const std::string dat = FolderFile(folder, name.substr(0, name.size() - 4) + ".dat");
    if (::stat(dat.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return static_cast<StreamTime>(st.st_size) * kMsPerDatByte;
}

// Whether the chunk `name` lies wholly inside the mark. Its stretch is the
// one its name gives it, or less when it holds less (the chunk a recording
// ended in).
bool InsideMark(const std::string& folder, const std::string& name, const ChunkNameFields& f,
                StreamTime markStart, StreamTime markEnd) {
    const StreamTime sessionStart = f.start.ToStreamTime();
    const StreamTime sessionEnd = sessionStart + f.durationMs;
    StreamTime begin = sessionStart + static_cast<StreamTime>(f.number - 1) * f.lengthMs;
    StreamTime end = begin + f.lengthMs;
    if (f.durationMs < f.lengthMs) {
        begin = sessionStart;
        end = sessionEnd;
    }
    end = std::min(end, sessionEnd);
    if (begin < markStart || begin >= markEnd) return false;
    if (end > markEnd) {
        const StreamTime recorded = RecordedLength(folder, name);
        if (recorded >= 0 && recorded + kDatSlackMs < end - begin) end = begin + recorded;
    }
    return end <= markEnd && end > markStart;
}

FileLock LockOrThrow() {
    FileLock lock;
    std::string why;
    if (!LockStreams(lock, FileLock::kDefaultTimeoutMs, &why)) throw StreamsBusyError(why);
    return lock;
}

}  // namespace

int DeleteMarkedStretch(const std::string& folder, StreamTime markStart, StreamTime markEnd,
                        std::string* sparedSession) {
    Trace(kTraceDebug, "Entering PlayerView::OnStreamDeleteEnd()");
    if (markEnd < markStart) return 0;
    const FileLock lock = LockOrThrow();
    RepairChunkSideFiles(folder);

    Trace(kTraceDebug, "delStream, starting a search for %s", FolderFile(folder, "*.mp3, *.ogg").c_str());
    std::vector<std::string> names = ListChunkFiles(folder, ".mp3");
    for (std::string& name : ListChunkFiles(folder, ".ogg")) names.push_back(std::move(name));
    std::sort(names.begin(), names.end());
    const std::string recorded = RecordedSessionIn(folder);
    std::set<std::string> lostChunks;
    int deleted = 0;
    for (const std::string& name : names) {
        const auto fields = ParseChunkName(name);
        if (!fields || !InsideMark(folder, name, *fields, markStart, markEnd)) continue;
        if (BelongsToSession(name, recorded)) {
            if (sparedSession) *sparedSession = recorded;
            continue;
        }
        RemoveChunk(folder, name);
        lostChunks.insert(ChunkSessionName(fields->start, fields->durationMs / kMsPerSecond,
                                           fields->lengthMs / kMsPerSecond));
        ++deleted;
    }
    if (deleted > 0) {
        // Noted also when the renumbering fails half-way.
        struct Note {
            ~Note() { NoteStreamsChanged(); }
        } note;
        ReloadStream(folder, &lostChunks);
    }
    return deleted;
}

bool DeleteWholeStream(const std::string& folder, std::string* keptSession) {
    if (folder.empty()) {
        ReportId(kStrStreamPathNotSelected);
        return false;
    }
    const FileLock lock = LockOrThrow();
    const std::string recorded = RecordedSessionIn(folder);
    for (const std::string& name : ListChunkFiles(folder, "")) {
        if (BelongsToSession(name, recorded)) {
            if (keptSession) *keptSession = recorded;
            continue;
        }
        ::unlink(FolderFile(folder, name).c_str());
    }
    NoteStreamsChanged();
    // Under the file's lock, so that an import or download merging into the
    // file meanwhile finishes first instead of writing the old records back.
    const std::string path = FolderFile(folder, kDescriptionFileName);
    FileLock descriptions;
    std::string why;
    if (!descriptions.AcquireFor(path, FileLock::kDefaultTimeoutMs, &why) ||
        !ReplaceFileContents(path, kEmptyDescription)) {
        if (why.empty()) why = "the file could not be replaced";
        Trace(kTraceError, "Cannot write %s: %s", path.c_str(), why.c_str());
        Report("Cannot empty " + path + ": " + why);
        return false;
    }
    return true;
}

}  // namespace wk
