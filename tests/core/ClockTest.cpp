#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "core/Clock.h"

namespace wk {
namespace {

using namespace std::chrono_literals;

// Waits in real time for a condition another thread makes true; the bound
// only keeps a broken build from hanging the test run.
template <typename Condition>
bool WaitUntil(Condition condition) {
    for (int i = 0; i < 2000; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(1ms);
    }
    return condition();
}

TEST(ClockTest, ManualClockNowFollowsAdvanceAndSet) {
    ManualClock clock(DateTime(2003, 11, 7, 17, 42, 20, 0));
    const int64_t start = clock.Ticks();
    clock.Advance(1500);
    EXPECT_EQ(clock.Ticks() - start, 1500);
    EXPECT_EQ(clock.Now().TimeTextMs(), "17:42:21.500");
    EXPECT_EQ(clock.NowStream(), clock.Current());

    clock.Set(DateTime(2004, 2, 29, 23, 59, 59, 999));
    EXPECT_EQ(clock.Now().LongText(), "29/02/2004  23:59:59.999");
    clock.Advance(1);
    EXPECT_EQ(clock.Now().LongText(), "01/03/2004  00:00:00.000");
}

TEST(ClockTest, ManualClockSleepEndsOnlyWhenAdvancedFarEnough) {
    ManualClock clock;
    std::atomic<bool> started{false};
    std::atomic<bool> done{false};
    bool result = false;
    int64_t before = 0;
    int64_t after = 0;
    std::thread sleeper([&] {
        before = clock.Ticks();
        started = true;
        result = clock.SleepFor(100);
        after = clock.Ticks();
        done = true;
    });
    ASSERT_TRUE(WaitUntil([&] { return started.load(); }));
    clock.Advance(60);
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(done.load());
    // Small steps: the sleeper may have read the clock after the first advance.
    EXPECT_TRUE(WaitUntil([&] {
        if (!done) clock.Advance(10);
        return done.load();
    }));
    sleeper.join();
    EXPECT_TRUE(result);
    EXPECT_GE(after - before, 100);
}

TEST(ClockTest, SleepForReturnsFalseWhenCancelled) {
    ManualClock manual;
    std::atomic<int> cancel{0};
    std::atomic<bool> done{false};
    bool result = true;
    std::thread sleeper([&] {
        result = manual.SleepFor(1000, &cancel);
        done = true;
    });
    std::this_thread::sleep_for(5ms);
    cancel = 1;
    manual.WakeSleepers();
    EXPECT_TRUE(WaitUntil([&] { return done.load(); }));
    sleeper.join();
    EXPECT_FALSE(result);

    // Zero length never blocks, cancelled or not; a cancelled sleep on the
    // real clock returns at once instead of sleeping ten seconds.
    EXPECT_TRUE(manual.SleepFor(0, &cancel));
    SystemClock system;
    EXPECT_FALSE(system.SleepFor(10'000, &cancel));
}

TEST(ClockTest, SystemClockSleepIsWokenForCancel) {
    SystemClock clock;
    std::atomic<int> cancel{0};
    std::atomic<bool> done{false};
    bool result = true;
    std::thread sleeper([&] {
        result = clock.SleepFor(10'000, &cancel);
        done = true;
    });
    cancel = 1;
    clock.WakeSleepers();
    EXPECT_TRUE(WaitUntil([&] { return done.load(); }));
    sleeper.join();
    EXPECT_FALSE(result);
}

TEST(ClockTest, VirtualClockCarriesFrameRemainders) {
    const struct {
        int rate;
        int64_t chunk;
        int calls;
    } cases[] = {
        {44100, 441, 100}, {44100, 1, 44100}, {48000, 1152, 125},
        {22050, 37, 1000}, {8000, 3, 3333},   {11025, 4096, 7},
    };
    for (const auto& c : cases) {
        VirtualClock clock(DateTime(2005, 1, 1));
        const int64_t start = clock.Ticks();
        int64_t frames = 0;
        for (int i = 0; i < c.calls; ++i) {
            clock.AdvanceFrames(c.chunk, c.rate);
            frames += c.chunk;
            // Never ahead of the audio and never a whole millisecond behind.
            ASSERT_EQ(clock.Ticks() - start, frames * 1000 / c.rate)
                << c.rate << " Hz, chunk " << c.chunk << ", call " << i;
        }
    }
    VirtualClock exact(DateTime(2005, 1, 1));
    for (int i = 0; i < 100; ++i) exact.AdvanceFrames(441, 44100);
    EXPECT_EQ(exact.Now().TimeTextMs(), "00:00:01.000");
}

TEST(ClockTest, SetClockReplacesAndRestoresTheProcessClock) {
    ManualClock manual;
    SetClock(&manual);
    EXPECT_EQ(&GetClock(), &manual);
    SetClock(nullptr);
    EXPECT_NE(dynamic_cast<SystemClock*>(&GetClock()), nullptr);
}

}  // namespace
}  // namespace wk
