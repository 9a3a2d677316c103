#pragma once
// Base of objects that own one thread of their own (recorder, encoder,
// controller ...). The thread is created suspended by the constructor and runs
// OnThreadStart() and then Run() once the owner calls Resume(); waiting that
// long is what makes the virtual calls safe.
//
// Run() watches StopCount(): Stop() raises it, calls Signal() to wake the
// thread and gives the thread 2000 ms to end.
//
// A derived class must call Stop() in its own destructor (or earlier) when the
// thread was resumed: once the derived part is gone the thread must not run on
// it. If Stop() fails the thread keeps running; the base only lets go of it.
// A thread that was never resumed is cancelled and never calls Run().

#include <atomic>
#include <cstdint>

#include "core/ThreadHandle.h"

namespace wk {

class ThreadedObject {
public:
    static constexpr int kStopWaitMs = 2000;

    virtual ~ThreadedObject() = default;
    ThreadedObject(const ThreadedObject&) = delete;
    ThreadedObject& operator=(const ThreadedObject&) = delete;

    // Lets the thread run; the result is the previous suspend count (1 the
    // first time, 0 afterwards, -1 if the system gave no thread).
    int Resume();

    // Asks the thread to end and waits up to kStopWaitMs. True if it ended
    // (a thread never resumed ends at once without running).
    bool Stop();

    int StopCount() const { return m_stopCount.load(); }
    bool ThreadCreated() const { return m_thread.IsCreated(); }
    uint32_t ThreadId() const { return m_thread.ThreadId(); }

protected:
    ThreadedObject();

    virtual void OnThreadStart() = 0;
    virtual void Run() = 0;
    // Wakes the thread wherever it waits so that it sees StopCount().
    virtual void Signal() = 0;

private:
    static int ThreadProc(void* arg);

    std::atomic<int> m_stopCount{0};
    ThreadHandle m_thread;
};

}  // namespace wk
