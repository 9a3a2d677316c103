#pragma once
// Base of the short-lived workers (downloads, conversions, file jobs).
//
// Create() makes a suspended thread, Start() lets it run BeforeRun(), Run()
// and AfterRun(). The thread's result is 0 when all three returned 0, else 1,
// 2 or 3 for the first one that failed. After a complete run the thread lets
// go of its thread object, so the worker can be created and started again;
// with auto-delete it then deletes the worker, on the worker's own thread:
// such a worker must have been made with new and nobody may touch it after
// Start(). A failed run keeps its thread object and is not deleted: its owner
// deletes it after WaitForEnd().
//
// The owner of a worker without auto-delete waits for the end (RequestStop,
// WaitForEnd) before it destroys the worker. Destroying a worker whose thread
// was created but never started cancels that thread.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "core/ThreadHandle.h"

namespace wk {

class WorkerThread {
public:
    static constexpr int kNotCreated = -1;
    static constexpr int kCreated = 2;
    static constexpr int kNoExitCode = -1;

    WorkerThread();
    virtual ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // 1 (and nothing done) if a thread exists; 0 after making a suspended
    // thread and clearing the stop requests; -1 if the system refused one.
    int Create();
    // Resumes the thread: the previous suspend count (1), kept as the state.
    // 0 if there is no thread.
    int Start();
    // Best effort; only while a thread exists. True if the system took it.
    bool SetPriority(int niceness);

    void RequestStop() { ++m_stopRequests; }
    bool StopRequested() const { return m_stopRequests.load() > 0; }
    int StopRequestCount() const { return m_stopRequests.load(); }

    void SetAutoDelete(bool autoDelete) { m_autoDelete = autoDelete; }
    bool AutoDelete() const { return m_autoDelete.load(); }

    // kNotCreated, kCreated, or what Start() returned.
    int State() const { return m_state.load(); }
    bool HasThread() const;
    uint32_t ThreadId() const;

    // For workers without auto-delete: waits until the latest run ended, at
    // most timeoutMs (negative: no limit). False if never created.
    bool WaitForEnd(int timeoutMs);
    // The latest run's result; kNoExitCode until it ended.
    int ExitCode() const;

protected:
    virtual int BeforeRun() { return 0; }
    virtual int Run() = 0;
    virtual int AfterRun() { return 0; }

private:
    struct Completion;
    static int ThreadProc(void* arg);
    static int Finish(const std::shared_ptr<Completion>& completion, int code);

    std::atomic<int> m_stopRequests{0};
    std::atomic<bool> m_autoDelete{false};
    std::atomic<int> m_state{kNotCreated};

    mutable std::mutex m_mutex;  // guards m_thread and m_completion
    std::unique_ptr<ThreadHandle> m_thread;
    // One per run, shared with that run's thread so it can report its end
    // after the worker is gone.
    std::shared_ptr<Completion> m_completion;
};

}  // namespace wk
