#include "core/ThreadHandle.h"

#include <chrono>
#include <condition_variable>
#include <system_error>

#include "core/SystemInfo.h"
#include "core/Trace.h"

namespace wk {

struct ThreadHandle::Shared {
    mutable std::mutex mutex;
    std::condition_variable cv;
    bool idKnown = false;
    bool released = false;
    bool cancelled = false;
    bool ended = false;
    uint32_t threadId = 0;
    int exitCode = 0;
};

void ThreadHandle::Body(const std::shared_ptr<Shared>& shared, ThreadProc proc, void* arg) {
    Shared& s = *shared;
    {
        std::unique_lock lock(s.mutex);
        s.threadId = CurrentThreadId();
        s.idKnown = true;
        s.cv.notify_all();
        s.cv.wait(lock, [&] { return s.released; });
        if (s.cancelled) {
            s.ended = true;
            s.cv.notify_all();
            return;
        }
    }
    const int code = proc(arg);
    std::lock_guard lock(s.mutex);
    s.exitCode = code;
    s.ended = true;
    s.cv.notify_all();
}

bool ThreadHandle::Create(ThreadProc proc, void* arg) {
    std::lock_guard threadLock(m_threadMutex);
    if (m_shared || proc == nullptr) return false;
    auto shared = std::make_shared<Shared>();
    try {
        // The thread keeps its own reference: it may outlive this handle.
        m_thread = std::thread([shared, proc, arg] { Body(shared, proc, arg); });
    } catch (const std::system_error&) {
        return false;
    }
    m_shared = std::move(shared);
    std::unique_lock lock(m_shared->mutex);
    m_shared->cv.wait(lock, [&] { return m_shared->idKnown; });
    return true;
}

int ThreadHandle::Resume() {
    if (!m_shared) return -1;
    std::lock_guard lock(m_shared->mutex);
    if (m_shared->released) return 0;
    m_shared->released = true;
    m_shared->cv.notify_all();
    return 1;
}

bool ThreadHandle::Cancel() {
    if (!m_shared) return false;
    std::lock_guard lock(m_shared->mutex);
    if (m_shared->released) return false;
    m_shared->released = true;
    m_shared->cancelled = true;
    m_shared->cv.notify_all();
    return true;
}

bool ThreadHandle::WaitForEnd(int timeoutMs) {
    if (!m_shared) return false;
    {
        std::lock_guard threadLock(m_threadMutex);
        if (m_thread.joinable() && m_thread.get_id() == std::this_thread::get_id()) return false;
    }
    {
        std::unique_lock lock(m_shared->mutex);
        auto ended = [&] { return m_shared->ended; };
        if (timeoutMs < 0) {
            m_shared->cv.wait(lock, ended);
        } else if (!m_shared->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), ended)) {
            return false;
        }
    }
    // Only the return from the thread function is left, so joining is quick.
    std::lock_guard threadLock(m_threadMutex);
    if (m_thread.joinable()) m_thread.join();
    return true;
}

bool ThreadHandle::HasEnded() const {
    if (!m_shared) return false;
    std::lock_guard lock(m_shared->mutex);
    return m_shared->ended;
}

int ThreadHandle::ExitCode() const {
    if (!m_shared) return 0;
    std::lock_guard lock(m_shared->mutex);
    return m_shared->exitCode;
}

uint32_t ThreadHandle::ThreadId() const {
    if (!m_shared) return 0;
    std::lock_guard lock(m_shared->mutex);
    return m_shared->threadId;
}

ThreadHandle::~ThreadHandle() {
    if (!m_shared) return;
    bool join = Cancel();
    if (!join) join = HasEnded();
    std::lock_guard threadLock(m_threadMutex);
    if (!m_thread.joinable()) return;
    // A cancelled or finished thread is about to return. A thread releasing
    // its own handle cannot join itself; any other running thread was given
    // up on by its owner (see ThreadHandle.h).
    const bool own = m_thread.get_id() == std::this_thread::get_id();
    if (join && !own) {
        m_thread.join();
        return;
    }
    if (!own) {
        Trace(kTraceError, "Thread 0x%X still runs after its owner let go of it; it is left to end "
              "on its own", ThreadId());
    }
    m_thread.detach();
}

}  // namespace wk
