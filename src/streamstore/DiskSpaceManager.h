#pragma once
// Keeps the recorded streams within the disk allowance the user granted.
//
// The allowance is config "DiskSpace" in MiB. Only the audio chunks count
// ("*.mp3" and "*.ogg" in each stream folder); their ".dat" and ".fgp" side
// files are small and go along with their chunk. When the chunks exceed the
// allowance, chunks are deleted until a tenth of the allowance is free
// again, so that the next check does not have to delete again at once:
// first whole sessions, from their first chunk on, oldest session first
// across all streams; then the finished chunks of the session being
// recorded (RecordedSessionIn, by this process or another), oldest first,
// so that a recording that runs for days stays within the allowance too.
// The newest chunk of that session is never deleted: it may be the one being
// written. What is left keeps its names (a session may lack its first
// chunks). When even that cannot bring the streams within the allowance, one
// event says so, and the next once a check has met the allowance again.
//
// A deletion holds the streams lock (RecordingMarker.h) from the listing to
// the last file, so that it takes turns with "wavkeep delete" and with a
// recorder beginning or ending a session, in any process of the home.
//
// A file's age is its birth time where the file system reports one, else its
// modification time, in whole seconds. Equal times go by name with numbers
// compared by value, which for chunk names is the order of recording.
//
// Every folder is read once per check (one directory scan, one statx per
// entry, no file opened), and the deletions follow one sorted list, so a
// check costs O(n log n) in the number of chunks.
//
// The worker thread "disk" waits for Start(), then checks every three
// minutes of the process clock (GetClock()), the first time three minutes
// after Start(). Stop() and the destructor end it.
//
// Threading: the setters, Start, Stop and CheckOnce may be called from any
// thread; the static functions keep no state.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/EventLoop.h"

namespace wk {

struct DiskUsage {
    uint64_t used = 0;       // bytes of the audio chunks of every stream
    uint64_t free = 0;       // bytes an unprivileged user may still write
    uint64_t allowance = 0;  // bytes the streams may take
    bool freeKnown = true;   // false when the file system could not be asked
};

struct DiskCheckResult {
    DiskUsage usage;              // as measured before anything was deleted
    uint64_t wanted = 0;          // bytes asked of FreeSpace, 0 when within the allowance
    uint64_t freed = 0;           // bytes of the chunks deleted
    int32_t reducedAllowanceMb = 0;  // the new "DiskSpace", 0 when it was left alone
    bool busy = false;            // the streams lock could not be had: nothing deleted
    // Whether the chunks left (used - freed) fit the allowance.
    bool Met() const { return freed >= usage.used || usage.used - freed <= usage.allowance; }
};

// One audio chunk found in a stream folder.
struct ChunkFile {
    size_t stream = 0;    // index into the stream names of the scan
    std::string name;     // file name inside the stream folder
    uint64_t size = 0;    // bytes
    int64_t created = 0;  // seconds since the epoch
};

class DiskSpaceManager {
public:
    // Posted to the notify receiver after a check deleted chunks, both
    // parameters 0.
    static constexpr int kMsgDiskSpaceFreed = 0x8029;
    static constexpr int64_t kCheckPeriodMs = 180000;
    static constexpr uint64_t kMiB = 1048576;
    static constexpr int32_t kDefaultAllowanceMb = 100;
    // The allowance is reduced when less than this much room remains above it
    // on the disk, and then set so that this much remains.
    static constexpr uint64_t kReduceBelow = 20 * kMiB;
    static constexpr uint64_t kReduceTo = 30 * kMiB;
    // A session is the chunks whose names share the session's start time.
    static constexpr size_t kSessionKeyLength = 19;

    // Free bytes for the stream root; nullopt when they cannot be known.
    using FreeSpaceFunction = std::function<std::optional<uint64_t>(const std::string& root)>;

    // Starts the thread, which waits for Start().
    explicit DiskSpaceManager(std::string streamRoot);
    ~DiskSpaceManager();
    DiskSpaceManager(const DiskSpaceManager&) = delete;
    DiskSpaceManager& operator=(const DiskSpaceManager&) = delete;

    // The thread takes the root and the stream list when Start() arrives and
    // keeps them; a later change only affects CheckOnce().
    void SetStreamRoot(const std::string& root);
    std::string StreamRoot() const;
    // kNoReceiver (or a null loop) posts nothing. The loop must outlive the
    // manager or be replaced before it goes.
    void SetNotifyReceiver(EventLoop* loop, ReceiverId receiver);
    // Replaces statvfs, e.g. for tests; an empty function restores it.
    void SetFreeSpaceFunction(FreeSpaceFunction function);

    // Lets the thread begin; only the first call counts.
    void Start();
    // Ends the thread (waking it wherever it waits, a deletion stops after
    // the current file) and waits for it. Idempotent.
    void Stop();
    // Checks the thread has completed.
    uint64_t ChecksDone() const { return m_checksDone.load(); }

    // Called on the checking thread after every check of the thread and of
    // CheckOnce, with its result. Set it before Start().
    using CheckObserver = std::function<void(const DiskCheckResult&)>;
    void SetCheckObserver(CheckObserver observer);
    // The time between two checks of the thread (kCheckPeriodMs unless set
    // before Start; tests shorten it).
    void SetCheckPeriod(int64_t ms);
    // The last check's result; nullopt before the first.
    std::optional<DiskCheckResult> LastCheck() const;

    // One check with the current root and the stream list read now.
    DiskCheckResult CheckOnce();
    // One check of the given streams under the current root.
    DiskCheckResult CheckOnce(const std::vector<std::string>& names);

    // Reads the allowance from config.ini without changing anything.
    static DiskUsage MeasureDiskUsage(const std::string& root, const std::vector<std::string>& names,
                                      const FreeSpaceFunction& freeSpace = {});
    // Bytes of the "*.mp3" and "*.ogg" files in the streams' folders.
    static uint64_t MeasureUsedSpace(const std::string& root, const std::vector<std::string>& names);
    // f_bavail * f_frsize of statvfs(root).
    static std::optional<uint64_t> SystemFreeSpace(const std::string& root);

    // Deletes chunks in DeletionOrder until the deleted chunks add up to
    // `wanted` bytes or nothing deletable is left; returns the bytes deleted.
    // A chunk counts as deleted even if unlink failed (it is not retried
    // forever). A non-zero `*cancel` stops after the current chunk (and ends
    // the wait for the streams lock); `*busy` tells whether that wait failed.
    static uint64_t FreeSpace(const std::string& root, uint64_t wanted, const std::vector<std::string>& names,
                              const std::atomic<int>* cancel = nullptr, bool* busy = nullptr);

    // Every chunk of the streams, in no particular order.
    static std::vector<ChunkFile> ScanChunks(const std::string& root, const std::vector<std::string>& names);
    // The session being recorded in each stream of `names` ("" for none).
    static std::vector<std::string> RecordedSessions(const std::string& root, const std::vector<std::string>& names);
    // The order in which FreeSpace deletes `files`: first the sessions (same
    // stream, same first kSessionKeyLength characters) that are not being
    // recorded, by their oldest file, each session's ".mp3" files by age,
    // then its ".ogg" files by age; then the chunks of the sessions being
    // recorded (`recorded[stream]`, a session name) by age, except the newest
    // chunk (the highest number) of each, which is left out.
    static std::vector<ChunkFile> DeletionOrder(std::vector<ChunkFile> files,
                                                const std::vector<std::string>& recorded);

private:
    void ThreadMain();
    bool WaitForStart();
    DiskCheckResult RunCheck(const std::string& root, const std::vector<std::string>& names,
                             const std::atomic<int>* cancel);
    FreeSpaceFunction FreeSpaceFunctionCopy() const;

    mutable std::mutex m_mutex;  // guards everything below up to m_thread
    std::condition_variable m_startSignal;
    std::string m_root;
    EventLoop* m_loop = nullptr;
    ReceiverId m_receiver = kNoReceiver;
    FreeSpaceFunction m_freeSpace;
    CheckObserver m_observer;
    std::optional<DiskCheckResult> m_lastCheck;
    bool m_unmetReported = false;  // the event about an allowance out of reach is out
    bool m_started = false;
    int64_t m_startTicks = 0;
    int64_t m_checkPeriodMs = kCheckPeriodMs;

    std::atomic<int> m_stop{0};
    std::atomic<uint64_t> m_checksDone{0};
    std::mutex m_joinMutex;
    std::thread m_thread;
};

}  // namespace wk
