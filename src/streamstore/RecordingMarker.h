#pragma once
// Which session of a stream folder is being recorded, known to every process
// of one program home, and the lock that orders the changes to chunk files.
//
// One recorder runs per home (InstanceLock), but "wavkeep delete", "wavkeep
// disk --prune" and the daemon's disk thread may run beside it, in this
// process or another. The recorder publishes its stream folder and session
// name in the home's "recording.txt" and holds the lock "recording.lock" for
// as long as that note is true. A note whose lock nobody holds was left by a
// recorder that died and is ignored; no process id is trusted.
//
// The streams lock ("streams.lock") is held by every sequence that lists
// chunk files and then deletes or renames some of them, from the listing to
// the last rename, and by the recorder while it publishes its note and
// creates the session's first chunk, and while it withdraws the note after
// the last chunk was closed. Under the streams lock the note cannot change.
//
// Threading: any thread. A RecordingMarker belongs to one thread at a time.

#include <atomic>
#include <string>

#include "core/FileLock.h"

namespace wk {

inline constexpr const char* kStreamsLockName = "streams.lock";
inline constexpr const char* kRecordingLockName = "recording.lock";
inline constexpr const char* kRecordingNoteFile = "recording.txt";

// Takes the streams lock into `lock`, waiting up to `timeoutMs`.
bool LockStreams(FileLock& lock, int timeoutMs = FileLock::kDefaultTimeoutMs,
                 std::string* why = nullptr, const std::atomic<int>* cancel = nullptr);

// The recorder's side: the note and the lock that vouches for it.
class RecordingMarker {
public:
    RecordingMarker() = default;
    ~RecordingMarker() { Withdraw(); }
    RecordingMarker(const RecordingMarker&) = delete;
    RecordingMarker& operator=(const RecordingMarker&) = delete;

    // Notes that `session` (a ChunkSessionName) is being recorded into
    // `folder`. False, with the reason in `why`, when the note cannot be
    // written or another holder has the lock; nothing is noted then.
    bool Publish(const std::string& folder, const std::string& session, std::string* why = nullptr);
    // Takes the note back; nothing when none is published.
    void Withdraw();
    bool Published() const { return m_lock.Held(); }

private:
    FileLock m_lock;
};

// The session (its ChunkSessionName) being recorded into `folder` by this
// process (SetCurrentSessionPrefix) or by another live one (its
// RecordingMarker); "" when none is. Folders compare as the files they name,
// so "Streams/A", "./Streams/A/" and a link to it are one folder.
std::string RecordedSessionIn(const std::string& folder);

// Whether `a` and `b` name the same folder.
bool SameFolder(const std::string& a, const std::string& b);

}  // namespace wk
