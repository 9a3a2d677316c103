#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "core/CriticalSection.h"
#include "core/Event.h"
#include "core/SystemInfo.h"
#include "core/ThreadHandle.h"
#include "core/ThreadedObject.h"
#include "core/WorkerThread.h"
#include "support/WaitFor.h"

namespace wk {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// Generous bound for anything that should happen "at once", even under the
// sanitizers on a loaded machine.
constexpr int kPromptMs = 5000;

bool WaitUntil(const std::function<bool()>& done) {
    return test::WaitFor(done, std::chrono::milliseconds(kPromptMs));
}

// ---------------------------------------------------------------- ThreadHandle

struct ProcContext {
    std::atomic<int> calls{0};
    std::atomic<uint32_t> threadId{0};
    Event release;
    Event finished;
    int waitMs = 0;
    int result = 0;
};

int RecordingProc(void* arg) {
    auto* context = static_cast<ProcContext*>(arg);
    context->threadId = CurrentThreadId();
    ++context->calls;
    const int result = context->result;
    if (context->waitMs != 0) context->release.Wait(context->waitMs);
    context->finished.Set();
    return result;
}

TEST(ThreadHandleTest, RunsOnlyAfterResumeOnTheThreadItReports) {
    ProcContext context;
    context.result = 7;
    ThreadHandle thread;
    ASSERT_TRUE(thread.Create(&RecordingProc, &context));
    EXPECT_FALSE(thread.Create(&RecordingProc, &context));
    const uint32_t id = thread.ThreadId();
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, CurrentThreadId());

    EXPECT_FALSE(thread.WaitForEnd(20));
    EXPECT_EQ(context.calls, 0);

    EXPECT_EQ(thread.Resume(), 1);
    EXPECT_EQ(thread.Resume(), 0);
    ASSERT_TRUE(thread.WaitForEnd(kPromptMs));
    EXPECT_EQ(context.calls, 1);
    EXPECT_EQ(context.threadId, id);
    EXPECT_EQ(thread.ExitCode(), 7);
    EXPECT_FALSE(thread.Cancel());
}

TEST(ThreadHandleTest, ThreadNeverResumedEndsWithoutRunning) {
    ProcContext context;
    {
        ThreadHandle thread;
        ASSERT_TRUE(thread.Create(&RecordingProc, &context));
    }
    ThreadHandle cancelled;
    ASSERT_TRUE(cancelled.Create(&RecordingProc, &context));
    EXPECT_TRUE(cancelled.Cancel());
    EXPECT_EQ(cancelled.Resume(), 0);
    EXPECT_TRUE(cancelled.WaitForEnd(kPromptMs));
    EXPECT_EQ(context.calls, 0);
    ThreadHandle none;  // never created
    EXPECT_EQ(none.Resume(), -1);
    EXPECT_FALSE(none.WaitForEnd(0));
}

TEST(ThreadHandleTest, DestroyingTheHandleLeavesARunningThreadRunning) {
    ProcContext context;
    context.waitMs = kPromptMs;
    uint32_t id = 0;
    {
        ThreadHandle thread;
        ASSERT_TRUE(thread.Create(&RecordingProc, &context));
        id = thread.ThreadId();
        thread.Resume();
        ASSERT_TRUE(WaitUntil([&] { return context.calls == 1; }));
    }
    const std::string task = "/proc/self/task/" + std::to_string(id);
    EXPECT_TRUE(std::filesystem::exists(task));
    EXPECT_FALSE(context.finished.Wait(0)) << "the destructor waited for the procedure";
    context.release.Set();
    EXPECT_TRUE(context.finished.Wait(kPromptMs));
    // Nothing may be left running when the test is over.
    EXPECT_TRUE(WaitUntil([&] { return !std::filesystem::exists(task); }));
}

// ---------------------------------------------------------- CriticalSection

TEST(CriticalSectionTest, OwnerMayReenterOthersMayNot) {
    CriticalSection section;
    auto otherThreadGets = [&] {
        bool got = false;
        std::thread other([&] {
            got = section.TryLock();
            if (got) section.Unlock();
        });
        other.join();
        return got;
    };
    {
        std::lock_guard outer(section);
        section.Lock();
        EXPECT_FALSE(otherThreadGets());
        section.Unlock();
        EXPECT_FALSE(otherThreadGets());
    }
    EXPECT_TRUE(otherThreadGets());
}

// -------------------------------------------------------------------- Event

TEST(EventTest, SignalIsConsumedByOneWait) {
    // Operations: S = Set, R = Reset, W = Wait(0), recorded as '1' or '0'.
    const struct {
        bool initial;
        const char* ops;
        const char* waits;
    } cases[] = {
        {false, "W", "0"}, {true, "WW", "10"},  {false, "SWW", "10"}, {false, "SSWW", "10"},
        {true, "RW", "0"}, {false, "SRW", "0"}, {false, "WSW", "01"},
    };
    for (const auto& c : cases) {
        Event event(c.initial);
        std::string waits;
        for (const char* op = c.ops; *op != '\0'; ++op) {
            if (*op == 'S') event.Set();
            if (*op == 'R') event.Reset();
            if (*op == 'W') waits += event.Wait(0) ? '1' : '0';
        }
        EXPECT_EQ(waits, c.waits) << "initial " << c.initial << ", ops " << c.ops;
    }
    EXPECT_FALSE(Event().Wait(20));
}

TEST(EventTest, SetReleasesExactlyOneWaiter) {
    Event event;
    std::atomic<int> released{0};
    std::thread first([&] {
        if (event.Wait(kPromptMs)) ++released;
    });
    std::thread second([&] {
        if (event.Wait(kPromptMs)) ++released;
    });

    event.Set();
    ASSERT_TRUE(WaitUntil([&] { return released == 1; }));
    EXPECT_FALSE(test::WaitFor([&] { return released > 1; }, 50ms));
    EXPECT_FALSE(event.Wait(0)) << "the released waiter must have reset the event";

    event.Set();
    first.join();
    second.join();
    EXPECT_EQ(released, 2);
}

// ------------------------------------------------------------- WorkerThread

class ProbeWorker : public WorkerThread {
public:
    ProbeWorker() = default;
    ProbeWorker(int before, int run, int after) : m_before(before), m_run(run), m_after(after) {}
    ~ProbeWorker() override { ++s_destroyed; }

    std::atomic<int> beforeCalls{0};
    std::atomic<int> runCalls{0};
    std::atomic<int> afterCalls{0};
    std::atomic<uint32_t> runThreadId{0};
    std::atomic<int> runNiceness{0};
    static inline std::atomic<int> s_destroyed{0};
    static inline std::atomic<int> s_runs{0};

protected:
    int BeforeRun() override {
        ++beforeCalls;
        return m_before;
    }
    int Run() override {
        runThreadId = CurrentThreadId();
        runNiceness = ::getpriority(PRIO_PROCESS, 0);
        ++runCalls;
        ++s_runs;
        return m_run;
    }
    int AfterRun() override {
        ++afterCalls;
        return m_after;
    }

private:
    int m_before = 0;
    int m_run = 0;
    int m_after = 0;
};

TEST(WorkerThreadTest, SecondCreateKeepsTheFirstThread) {
    ProbeWorker worker;
    EXPECT_EQ(worker.Start(), 0);  // nothing to start yet
    EXPECT_FALSE(worker.SetPriority(5));
    EXPECT_EQ(worker.ExitCode(), WorkerThread::kNoExitCode);
    worker.RequestStop();
    ASSERT_EQ(worker.Create(), 0);
    EXPECT_FALSE(worker.StopRequested()) << "Create starts a run without stop requests";
    EXPECT_EQ(worker.State(), WorkerThread::kCreated);
    const uint32_t id = worker.ThreadId();

    worker.RequestStop();
    EXPECT_EQ(worker.Create(), 1);
    EXPECT_EQ(worker.ThreadId(), id);
    EXPECT_TRUE(worker.StopRequested()) << "a refused Create changes nothing";

    EXPECT_EQ(worker.Start(), 1);
    EXPECT_EQ(worker.State(), 1);
    ASSERT_TRUE(worker.WaitForEnd(kPromptMs));
    EXPECT_EQ(worker.runCalls, 1);
    EXPECT_EQ(worker.runThreadId, id);
}

TEST(WorkerThreadTest, ResultTellsWhichStepFailed) {
    const struct {
        int before, run, after;
        int exitCode;
        int runCalls, afterCalls;
    } cases[] = {
        {0, 0, 0, 0, 1, 1}, {1, 0, 0, 1, 0, 0}, {-5, 0, 0, 1, 0, 0},
        {0, 9, 0, 2, 1, 0}, {0, 0, 4, 3, 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.before << "/" << c.run << "/" << c.after);
        ProbeWorker worker(c.before, c.run, c.after);
        ASSERT_EQ(worker.Create(), 0);
        EXPECT_EQ(worker.ExitCode(), WorkerThread::kNoExitCode);
        worker.Start();
        ASSERT_TRUE(worker.WaitForEnd(kPromptMs));
        EXPECT_EQ(worker.ExitCode(), c.exitCode);
        EXPECT_EQ(worker.beforeCalls, 1);
        EXPECT_EQ(worker.runCalls, c.runCalls);
        EXPECT_EQ(worker.afterCalls, c.afterCalls);
        // Only a complete run lets go of its thread, so only then can the
        // worker be created again.
        EXPECT_EQ(worker.HasThread(), c.exitCode != 0);
        EXPECT_EQ(worker.Create(), c.exitCode != 0 ? 1 : 0);
    }
}

TEST(WorkerThreadTest, DestroyingAnUnstartedWorkerNeverRunsIt) {
    const int runsBefore = ProbeWorker::s_runs;
    auto* worker = new ProbeWorker;
    ASSERT_EQ(worker->Create(), 0);
    delete worker;
    // The destructor cancels the suspended thread and waits for it.
    EXPECT_EQ(ProbeWorker::s_runs, runsBefore);
}

TEST(WorkerThreadTest, AutoDeleteWorkerDeletesItselfAfterItsRun) {
    const int destroyedBefore = ProbeWorker::s_destroyed;
    auto* worker = new ProbeWorker;
    worker->SetAutoDelete(true);
    ASSERT_EQ(worker->Create(), 0);
    EXPECT_EQ(worker->Start(), 1);
    // The worker is gone any moment now; only the counter may be looked at.
    EXPECT_TRUE(WaitUntil([&] { return ProbeWorker::s_destroyed == destroyedBefore + 1; }));
}

TEST(WorkerThreadTest, PriorityAppliesToTheWorkersThread) {
    const int callerNiceness = ::getpriority(PRIO_PROCESS, 0);
    ProbeWorker worker;
    ASSERT_EQ(worker.Create(), 0);
    // Raising the niceness needs no privilege.
    EXPECT_TRUE(worker.SetPriority(callerNiceness < 19 ? callerNiceness + 1 : 19));
    worker.Start();
    ASSERT_TRUE(worker.WaitForEnd(kPromptMs));
    EXPECT_EQ(worker.runNiceness, callerNiceness < 19 ? callerNiceness + 1 : 19);
    EXPECT_EQ(::getpriority(PRIO_PROCESS, 0), callerNiceness);
}

// ----------------------------------------------------------- ThreadedObject

class ProbeObject : public ThreadedObject {
public:
    explicit ProbeObject(bool obeysStop) : m_obeysStop(obeysStop) {}
    ~ProbeObject() override { Stop(); }

    std::atomic<int> startCalls{0};
    std::atomic<int> runCalls{0};
    std::atomic<bool> startedBeforeRun{false};
    Event running;
    Event release;  // for a thread that does not listen to Stop

protected:
    void OnThreadStart() override { ++startCalls; }
    void Run() override {
        startedBeforeRun = startCalls == 1;
        ++runCalls;
        running.Set();
        if (!m_obeysStop) {
            release.Wait(Event::kInfinite);
            return;
        }
        while (StopCount() == 0) m_wake.Wait(Event::kInfinite);
    }
    void Signal() override { m_wake.Set(); }

private:
    const bool m_obeysStop;
    Event m_wake;
};

TEST(ThreadedObjectTest, StopWakesTheThreadAndWaitsForIt) {
    ProbeObject object(true);
    ASSERT_TRUE(object.ThreadCreated());
    EXPECT_EQ(object.Resume(), 1);
    ASSERT_TRUE(object.running.Wait(kPromptMs));
    EXPECT_TRUE(object.Stop());
    EXPECT_EQ(object.StopCount(), 1);
    EXPECT_EQ(object.runCalls, 1);
    EXPECT_TRUE(object.startedBeforeRun);
}

TEST(ThreadedObjectTest, StopOfAnObjectNeverResumedEndsItAtOnce) {
    ProbeObject object(true);
    const auto begin = SteadyClock::now();
    EXPECT_TRUE(object.Stop());
    EXPECT_LT(SteadyClock::now() - begin, 1000ms);
    EXPECT_EQ(object.Resume(), 0);
    EXPECT_EQ(object.startCalls, 0);
    EXPECT_EQ(object.runCalls, 0);
}

TEST(ThreadedObjectTest, StopGivesUpAfterTwoSecondsAndTheThreadKeepsRunning) {
    ProbeObject object(false);
    object.Resume();
    ASSERT_TRUE(object.running.Wait(kPromptMs));

    const auto begin = SteadyClock::now();
    EXPECT_FALSE(object.Stop());
    const auto waited = SteadyClock::now() - begin;
    EXPECT_GE(waited, 1990ms);
    EXPECT_LT(waited, 2000ms + std::chrono::milliseconds(kPromptMs));
    EXPECT_EQ(object.StopCount(), 1);

    // Let it end before the object goes, so nothing runs on a dead object.
    object.release.Set();
    EXPECT_TRUE(object.Stop());
    EXPECT_EQ(object.StopCount(), 2);
}

}  // namespace
}  // namespace wk
