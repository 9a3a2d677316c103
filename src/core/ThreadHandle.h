#pragma once
// A system thread that is created suspended and runs its procedure only once
// it has been resumed.
//
// The state the thread needs lives in a shared block, not in the handle, so a
// handle may go away while its thread still runs. Destroying the handle
// joins a thread that has ended or was never resumed (that one is cancelled
// and ends without running its procedure). A thread still running is
// detached, never waited for, in two cases:
//  - it destroys its own handle (a worker that deletes itself when its run
//    is over): a thread cannot join itself, and it returns right after;
//  - its owner gave up on it: the owners ask their threads to stop and wait
//    a bounded time first (ThreadedObject::Stop, WorkerThread::WaitForEnd),
//    so a thread still running then is stuck in a call that does not return
//    (a device or network call). Joining it would hang the owner, and with
//    it the shutdown, for good; detached, it ends with the process. A trace
//    line records it.
// Handles are not copyable and not movable.

#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

namespace wk {

class ThreadHandle {
public:
    using ThreadProc = int (*)(void* arg);

    static constexpr int kDefaultWaitMs = 2000;

    ThreadHandle() = default;
    ~ThreadHandle();
    ThreadHandle(const ThreadHandle&) = delete;
    ThreadHandle& operator=(const ThreadHandle&) = delete;

    // Starts a thread that waits until Resume before it calls proc(arg).
    // False if this handle already has a thread or the system refused one.
    // On success the kernel thread number is known when Create returns.
    bool Create(ThreadProc proc, void* arg);

    // Lets a suspended thread run. Returns the previous suspend count: 1 if it
    // was suspended, 0 if it already ran, -1 if there is no thread.
    int Resume();

    // Ends a thread that was never resumed; it will not run its procedure.
    // True if it was cancelled, false if it already runs or there is none.
    bool Cancel();

    // Waits until the procedure has returned, at most timeoutMs (negative: no
    // limit). True if the thread ended; a thread cannot wait for itself.
    bool WaitForEnd(int timeoutMs = kDefaultWaitMs);

    bool IsCreated() const { return m_shared != nullptr; }
    bool HasEnded() const;
    // The procedure's result; 0 until it returned.
    int ExitCode() const;
    // Kernel thread number; 0 without a thread.
    uint32_t ThreadId() const;

private:
    struct Shared;
    static void Body(const std::shared_ptr<Shared>& shared, ThreadProc proc, void* arg);

    std::shared_ptr<Shared> m_shared;
    // Guards m_thread: joining, detaching and asking its id may happen on
    // different threads.
    std::mutex m_threadMutex;
    std::thread m_thread;
};

}  // namespace wk
