#pragma once
// Advisory locks that serialise the read-modify-write of files several
// processes (the daemon, a command run from a shell) and threads change:
// desc.des, StreamFileNames.txt, schedule.txt, config.ini, and the chunk
// files of the streams.
//
// A lock is a file in the program home's "locks" folder, locked with
// flock(LOCK_EX) for as long as a FileLock holds it. Lock files are never
// deleted: deleting one would let two holders lock two different files. The
// lock of a crashed holder goes with its process. Each Acquire opens the
// file anew, so two threads of one process exclude each other too.
//
// Threading: a FileLock belongs to one thread at a time; any thread may
// take a lock. Acquire blocks up to its time-out.

#include <atomic>
#include <string>

namespace wk {

class FileLock {
public:
    // How long a writer waits for another to finish before it gives up.
    static constexpr int kDefaultTimeoutMs = 60'000;

    FileLock() = default;
    ~FileLock();
    FileLock(FileLock&& other) noexcept;
    FileLock& operator=(FileLock&& other) noexcept;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Takes the lock `name` (a file name: letters, digits, '.', '-', '_'),
    // waiting up to `timeoutMs` (0: only try once). A non-zero `*cancel`
    // ends the wait early. False with the reason in `why` (when given).
    bool Acquire(const std::string& name, int timeoutMs = kDefaultTimeoutMs, std::string* why = nullptr,
                 const std::atomic<int>* cancel = nullptr);
    // Takes the lock that guards the file at `path` (see LockNameForFile).
    bool AcquireFor(const std::string& path, int timeoutMs = kDefaultTimeoutMs, std::string* why = nullptr,
                    const std::atomic<int>* cancel = nullptr);
    void Release();
    bool Held() const { return m_fd >= 0; }

    // Whether a holder has the lock `name` right now. Never blocks; a holder
    // in this very process counts too.
    static bool IsHeld(const std::string& name);

private:
    int m_fd = -1;
};

// The lock name for the file at `path`: its file name followed by a hash of
// its absolute path, so that "desc.des" of two streams are two locks and
// "./x" and "x" are one.
std::string LockNameForFile(const std::string& path);

// The folder that holds the lock files, with a trailing '/'.
std::string LockFolder();

}  // namespace wk
