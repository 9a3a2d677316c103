#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "core/Clock.h"
#include "core/EventLoop.h"

namespace wk {
namespace {

using namespace std::chrono_literals;

struct Received {
    int id;
    intptr_t p1;
    intptr_t p2;
};

class Recorder : public MessageReceiver {
public:
    void HandleMessage(Message& message) override {
        m_received.push_back({message.id, message.p1, message.p2});
        if (m_onMessage) m_onMessage(message);
    }
    std::vector<Received> m_received;
    std::function<void(Message&)> m_onMessage;
};

struct CountedPayload final : MessagePayload {
    explicit CountedPayload(std::atomic<int>& destroyed) : m_destroyed(destroyed) {}
    ~CountedPayload() override { ++m_destroyed; }
    std::atomic<int>& m_destroyed;
};

class EventLoopTest : public ::testing::Test {
protected:
    ManualClock m_clock;
    EventLoop m_loop{&m_clock};
};

TEST_F(EventLoopTest, TimersFireInDueOrderWithTiesInSetOrder) {
    std::vector<std::string> fired;
    auto record = [&](const char* name) { return [&fired, name] { fired.push_back(name); }; };
    m_loop.SetTimer(20, true, record("rep20"));
    m_loop.SetTimer(30, false, record("once30"));
    m_loop.SetTimer(20, false, record("once20"));
    EXPECT_EQ(m_loop.MsToNextTimer(), 20);

    const struct {
        int64_t advance;
        std::vector<std::string> expected;
    } steps[] = {
        {19, {}},
        {1, {"rep20", "once20"}},
        {10, {"once30"}},
        {10, {"rep20"}},
        // Coming round late does not shift the period.
        {25, {"rep20"}},
        {15, {"rep20"}},
        // A jump over several periods runs the timer once, and the next run
        // is a full period after the jump rather than a burst of catch-ups.
        {75, {"rep20"}},
        {19, {}},
        {1, {"rep20"}},
    };
    for (const auto& step : steps) {
        m_clock.Advance(step.advance);
        fired.clear();
        EXPECT_EQ(m_loop.ProcessPending(), static_cast<int>(step.expected.size()));
        EXPECT_EQ(fired, step.expected) << "after advancing " << step.advance;
    }
    EXPECT_EQ(m_loop.MsToNextTimer(), 20);

    // Several timers overdue in one pass run in due order, not set order.
    fired.clear();
    m_loop.SetTimer(50, false, record("late"));
    m_loop.SetTimer(40, false, record("early"));
    m_clock.Advance(60);
    m_loop.ProcessPending();
    EXPECT_EQ(fired, (std::vector<std::string>{"rep20", "early", "late"}));
}

TEST_F(EventLoopTest, HandlersMayKillTimersIncludingTheirOwn) {
    int selfRuns = 0;
    TimerId self = 0;
    self = m_loop.SetTimer(10, true, [&] {
        if (++selfRuns == 3) {
            EXPECT_TRUE(m_loop.KillTimer(self));
        }
    });

    int victimRuns = 0;
    TimerId victim = 0;
    m_loop.SetTimer(5, false, [&] { EXPECT_TRUE(m_loop.KillTimer(victim)); });
    victim = m_loop.SetTimer(5, true, [&] { ++victimRuns; });

    // A handler that sets a new timer and posts to a receiver must not deadlock.
    Recorder recorder;
    ReceiverSlot slot(m_loop, &recorder);
    int nestedRuns = 0;
    m_loop.SetTimer(10, false, [&] {
        m_loop.SetTimer(10, false, [&] { ++nestedRuns; });
        m_loop.Post(slot.Id(), 7);
    });

    for (int i = 0; i < 6; ++i) {
        m_clock.Advance(5);
        m_loop.ProcessPending();
    }
    EXPECT_EQ(selfRuns, 3);
    EXPECT_EQ(victimRuns, 0);
    EXPECT_EQ(nestedRuns, 1);
    EXPECT_EQ(recorder.m_received.size(), 1u);
    EXPECT_FALSE(m_loop.KillTimer(self));
    EXPECT_EQ(m_loop.MsToNextTimer(), -1);
}

TEST_F(EventLoopTest, PostsFromManyThreadsKeepEachThreadsOrder) {
    Recorder recorder;
    ReceiverSlot slot(m_loop, &recorder);
    constexpr int kThreads = 4;
    constexpr int kPerThread = 500;
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) EXPECT_TRUE(m_loop.Post(slot.Id(), 1, t, i));
        });
    }
    for (auto& thread : posters) thread.join();

    EXPECT_EQ(m_loop.ProcessPending(), kThreads * kPerThread);
    ASSERT_EQ(recorder.m_received.size(), static_cast<size_t>(kThreads * kPerThread));
    std::vector<intptr_t> next(kThreads, 0);
    for (const Received& r : recorder.m_received) {
        ASSERT_EQ(r.p2, next[static_cast<size_t>(r.p1)]) << "thread " << r.p1;
        ++next[static_cast<size_t>(r.p1)];
    }
    EXPECT_EQ(m_loop.ProcessPending(), 0);
}

TEST_F(EventLoopTest, MessagesForUnknownReceiversAreDroppedAndFreed) {
    std::atomic<int> destroyed{0};
    EXPECT_FALSE(m_loop.Post(12345, 1, 0, 0, std::make_unique<CountedPayload>(destroyed)));
    EXPECT_EQ(destroyed, 1);

    Recorder first;
    Recorder second;
    const ReceiverId firstId = m_loop.Register(&first);
    const ReceiverId secondId = m_loop.Register(&second);
    EXPECT_NE(firstId, secondId);
    EXPECT_TRUE(m_loop.Post(firstId, 1, 0, 0, std::make_unique<CountedPayload>(destroyed)));
    EXPECT_TRUE(m_loop.Post(secondId, 2, 0, 0, std::make_unique<CountedPayload>(destroyed)));
    EXPECT_TRUE(m_loop.Post(firstId, 3, 0, 0, std::make_unique<CountedPayload>(destroyed)));
    EXPECT_EQ(destroyed, 1);

    // The second receiver goes away while its message is queued; the first
    // unregisters itself while handling, which drops its later message.
    m_loop.Unregister(secondId);
    first.m_onMessage = [&](Message&) { m_loop.Unregister(firstId); };
    EXPECT_EQ(m_loop.ProcessPending(), 1);
    EXPECT_EQ(destroyed, 4);
    ASSERT_EQ(first.m_received.size(), 1u);
    EXPECT_EQ(first.m_received[0].id, 1);
    EXPECT_TRUE(second.m_received.empty());
    EXPECT_FALSE(m_loop.Post(firstId, 4));
}

// A quit asked for while handling ends Run after that message; the payload
// reaches the handler as the type it was posted as.
TEST_F(EventLoopTest, RunDispatchesEarlierPostsAndReturnsTheQuitCode) {
    Recorder recorder;
    ReceiverSlot slot(m_loop, &recorder);
    std::string seen;
    recorder.m_onMessage = [&](Message& m) {
        if (const std::string* s = m.PayloadAs<std::string>()) seen = *s;
        EXPECT_EQ(m.PayloadAs<int>(), nullptr);
        if (recorder.m_received.size() == 3) m_loop.Quit(7);
    };
    for (int i = 0; i < 2; ++i) m_loop.Post(slot.Id(), i);
    m_loop.Post(slot.Id(), 2, 0, 0, std::make_unique<ValuePayload<std::string>>("Radio 3"));
    EXPECT_EQ(m_loop.Run(), 7);
    EXPECT_EQ(recorder.m_received.size(), 3u);
    EXPECT_EQ(seen, "Radio 3");
}

TEST_F(EventLoopTest, RunNoticesAManualClockMovedByAnotherThread) {
    int runs = 0;
    m_loop.SetTimer(100, true, [&] {
        if (++runs == 3) m_loop.Quit(3);
    });
    std::atomic<bool> stop{false};
    std::thread driver([&] {
        while (!stop.load()) {
            m_clock.Advance(25);
            std::this_thread::sleep_for(1ms);
        }
    });
    EXPECT_EQ(m_loop.Run(), 3);
    stop = true;
    driver.join();
    EXPECT_EQ(runs, 3);
    EXPECT_FALSE(m_loop.QuitRequested());
}

}  // namespace
}  // namespace wk
