#include "core/WorkerThread.h"

#include <chrono>
#include <condition_variable>
#include <sys/resource.h>

namespace wk {

struct WorkerThread::Completion {
    mutable std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    int exitCode = kNoExitCode;

    bool IsDone() const {
        std::lock_guard lock(mutex);
        return done;
    }
};

WorkerThread::WorkerThread() = default;

WorkerThread::~WorkerThread() {
    std::unique_ptr<ThreadHandle> thread;
    std::shared_ptr<Completion> completion;
    {
        std::lock_guard lock(m_mutex);
        thread = std::move(m_thread);
        completion = m_completion;
    }
    // A failed run keeps its thread object; its thread only has to return.
    if (thread && completion && completion->IsDone()) thread->WaitForEnd();
    // Dropping the handle cancels a thread that was never started.
}

int WorkerThread::Create() {
    std::lock_guard lock(m_mutex);
    if (m_thread) return 1;
    m_stopRequests = 0;
    m_state = kCreated;
    auto thread = std::make_unique<ThreadHandle>();
    if (!thread->Create(&WorkerThread::ThreadProc, this)) return -1;
    m_completion = std::make_shared<Completion>();
    m_thread = std::move(thread);
    return 0;
}

int WorkerThread::Start() {
    std::lock_guard lock(m_mutex);
    if (!m_thread) return 0;
    const int previous = m_thread->Resume();
    m_state = previous;
    return previous;
}

bool WorkerThread::SetPriority(int niceness) {
    std::lock_guard lock(m_mutex);
    if (!m_thread) return false;
    return ::setpriority(PRIO_PROCESS, static_cast<id_t>(m_thread->ThreadId()), niceness) == 0;
}

bool WorkerThread::HasThread() const {
    std::lock_guard lock(m_mutex);
    return m_thread != nullptr;
}

uint32_t WorkerThread::ThreadId() const {
    std::lock_guard lock(m_mutex);
    return m_thread ? m_thread->ThreadId() : 0;
}

bool WorkerThread::WaitForEnd(int timeoutMs) {
    std::shared_ptr<Completion> completion;
    {
        std::lock_guard lock(m_mutex);
        completion = m_completion;
    }
    if (!completion) return false;
    std::unique_lock lock(completion->mutex);
    auto done = [&] { return completion->done; };
    if (timeoutMs < 0) {
        completion->cv.wait(lock, done);
        return true;
    }
    return completion->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
}

int WorkerThread::ExitCode() const {
    std::shared_ptr<Completion> completion;
    {
        std::lock_guard lock(m_mutex);
        completion = m_completion;
    }
    if (!completion) return kNoExitCode;
    std::lock_guard lock(completion->mutex);
    return completion->done ? completion->exitCode : kNoExitCode;
}

int WorkerThread::Finish(const std::shared_ptr<Completion>& completion, int code) {
    std::lock_guard lock(completion->mutex);
    completion->exitCode = code;
    completion->done = true;
    completion->cv.notify_all();
    return code;
}

int WorkerThread::ThreadProc(void* arg) {
    auto* self = static_cast<WorkerThread*>(arg);
    std::shared_ptr<Completion> completion;
    {
        std::lock_guard lock(self->m_mutex);
        completion = self->m_completion;
    }
    if (self->BeforeRun() != 0) return Finish(completion, 1);
    if (self->Run() != 0) return Finish(completion, 2);
    if (self->AfterRun() != 0) return Finish(completion, 3);

    std::unique_ptr<ThreadHandle> own;
    bool autoDelete = false;
    {
        std::lock_guard lock(self->m_mutex);
        own = std::move(self->m_thread);
        autoDelete = self->m_autoDelete;
    }
    own.reset();  // on its own thread the handle detaches
    if (autoDelete) delete self;
    // The owner may destroy the worker as soon as this is reported, so the
    // worker is not touched any more.
    return Finish(completion, 0);
}

}  // namespace wk
