#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "core/Clock.h"
#include "support/WaitFor.h"

namespace wk {
namespace {

using test::WaitFor;

TEST(ClockTest, ManualClockFollowsAdvanceAndSetAndServesAsTheProcessClock) {
    ManualClock clock(DateTime(2003, 11, 7, 17, 42, 20, 0));
    const int64_t start = clock.Ticks();
    clock.Advance(1500);
    EXPECT_EQ(clock.Ticks() - start, 1500);
    EXPECT_EQ(clock.Now().TimeTextMs(), "17:42:21.500");
    EXPECT_EQ(clock.NowStream(), clock.Current());
    clock.Set(DateTime(2004, 2, 29, 23, 59, 59, 999));
    clock.Advance(1);
    EXPECT_EQ(clock.Now().LongText(), "01/03/2004  00:00:00.000");

    SetClock(&clock);
    EXPECT_EQ(&GetClock(), &clock);
    SetClock(nullptr);
    EXPECT_NE(dynamic_cast<SystemClock*>(&GetClock()), nullptr);
}

TEST(ClockTest, ManualClockSleepEndsOnlyWhenAdvancedFarEnough) {
    ManualClock clock;
    std::atomic<bool> started{false}, done{false};
    bool result = false;
    int64_t before = 0, after = 0;
    std::thread sleeper([&] {
        before = clock.Ticks();
        started = true;
        result = clock.SleepFor(100);
        after = clock.Ticks();
        done = true;
    });
    ASSERT_TRUE(WaitFor([&] { return started.load(); }));
    clock.Advance(60);
    EXPECT_FALSE(WaitFor([&] { return done.load(); }, std::chrono::milliseconds(20)));
    // Small steps: the sleeper may have read the clock after the first advance.
    EXPECT_TRUE(WaitFor([&] {
        if (!done) clock.Advance(10);
        return done.load();
    }));
    sleeper.join();
    EXPECT_TRUE(result);
    EXPECT_GE(after - before, 100);
}

// A cancelled sleep returns at once, on the manual clock and instead of ten
// seconds on the real one; a zero-length one never blocks.
TEST(ClockTest, SleepForReturnsFalseWhenCancelled) {
    ManualClock manual;
    SystemClock system;
    for (Clock* clock : {static_cast<Clock*>(&manual), static_cast<Clock*>(&system)}) {
        std::atomic<int> cancel{0};
        std::atomic<bool> started{false}, done{false};
        bool result = true;
        std::thread sleeper([&] {
            started = true;
            result = clock->SleepFor(10'000, &cancel);
            done = true;
        });
        ASSERT_TRUE(WaitFor([&] { return started.load(); }));
        cancel = 1;
        clock->WakeSleepers();
        EXPECT_TRUE(WaitFor([&] { return done.load(); }, std::chrono::seconds(5)));
        sleeper.join();
        EXPECT_FALSE(result);
        EXPECT_FALSE(clock->SleepFor(10'000, &cancel));
    }
    const std::atomic<int> cancelled{1};
    EXPECT_TRUE(manual.SleepFor(0, &cancelled));
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
}

}  // namespace
}  // namespace wk
