#pragma once
// One recorder per program home, and the hand-over of a description file to
// the one that runs.
//
// Files in the program home:
//   "wavkeep.pid"  the lock file. The process that records in the home (the
//                  daemon or "wavkeep record") holds flock(LOCK_EX) on it for
//                  its whole life and keeps two lines in it: its pid in
//                  decimal and the command ("run" or "record"), each ended by
//                  "\n". The file is never deleted (deleting a lock file lets
//                  two processes lock two different files); the holder empties
//                  it when it lets go, and a crashed holder's lock goes with
//                  its process.
//   "share.shr"    in the hand-over folder: the absolute path of a
//                  description file a second process hands to the running
//                  daemon, replaced on every hand-over, without a line end.
//                  The hand-over folder is the description-file folder of the
//                  machine settings ("DefaultDir" in machine.ini, a plain
//                  path) when it names a folder, else the program home.
//
// The lock file is opened close-on-exec, so programs the recorder starts
// (the Ogg decoder, xdg-open) never inherit the lock.
//
// Threading: an InstanceLock belongs to one thread; the free functions may be
// called from any thread.

#include <sys/types.h>

#include <optional>
#include <string>

namespace wk {

inline constexpr const char* kInstanceLockFile = "wavkeep.pid";
inline constexpr const char* kHandOverFile = "share.shr";

class InstanceLock {
public:
    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Becomes the recorder of the program home, `command` being "run" or
    // "record". False when another process holds the lock (`why` names it and
    // its pid) or the lock file cannot be opened.
    bool Acquire(const std::string& command, std::string* why);
    // Empties the file and lets go; nothing when not held.
    void Release();
    bool Held() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

struct RunningInstance {
    pid_t pid = 0;
    std::string command;  // "run", "record", or "" when the holder did not say yet
};

// The process holding the program home's lock; nothing when none does.
std::optional<RunningInstance> FindRunningInstance();

// The folder of share.shr, with a trailing '/'.
std::string HandOverFolder();
// Names the program home as the hand-over folder in the machine settings
// unless they name an existing folder already (which is then left alone).
void RegisterHandOverFolder();
// Writes the absolute form of `descriptionPath` into share.shr and returns
// it; nothing (and `why`) when it cannot.
std::optional<std::string> WriteHandOverFile(const std::string& descriptionPath, std::string* why);
// The path in share.shr; nothing when the file is missing or empty.
std::optional<std::string> ReadHandOverFile();

}  // namespace wk
