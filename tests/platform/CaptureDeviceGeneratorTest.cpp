#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "core/Clock.h"
#include "core/Event.h"
#include "platform/CaptureBuffers.h"
#include "platform/CaptureDeviceGenerator.h"
#include "platform/ScopedClock.h"
#include "support/WaitFor.h"

namespace wk {
namespace {

constexpr int kRate = 44100;
constexpr int kChannels = 2;

// Short tracks: each one's loudness is measured by rendering ahead up to a
// whole pattern turn, which minutes-long tracks would make slow here.
const GeneratorTiming kShortTracks{2.0, 4.0, 1.0, 2.0};

std::unique_ptr<CaptureDeviceGenerator> OpenGenerator(uint32_t seed, bool realTime, Event& event) {
    auto device = std::make_unique<CaptureDeviceGenerator>(seed, realTime, kShortTracks);
    std::string why;
    EXPECT_TRUE(device->Open(kRate, kChannels, &event, &why)) << why;
    return device;
}

TEST(CaptureDeviceGeneratorTest, BuffersComeBackFullInQueueOrder) {
    Event event;
    auto device = OpenGenerator(3, false, event);
    // Different sizes, so that a buffer handed back out of turn shows.
    test::CaptureBuffers buffers(1, 300, kChannels);
    test::CaptureBuffers more(5, 1000, kChannels);
    buffers.QueueAll(*device);
    more.QueueAll(*device);
    std::vector<CaptureBuffer*> order{&buffers[0]};
    for (size_t i = 0; i < more.Count(); ++i) order.push_back(&more[i]);

    std::string why;
    ASSERT_TRUE(device->Start(&why)) << why;
    for (size_t next = 0; next < order.size();) {
        ASSERT_TRUE(event.Wait(2000)) << "no event for buffer " << next;
        while (next < order.size() && order[next]->done.load()) {
            EXPECT_EQ(order[next]->recorded, order[next]->size) << next;
            device->Consumed(static_cast<int64_t>(order[next]->recorded / 4));
            ++next;
        }
        for (size_t later = next + 1; later < order.size(); ++later)
            EXPECT_FALSE(order[later]->done.load()) << later << " done before " << next;
    }
    device->Reset();
    EXPECT_FALSE(device->HasEnded());
}

// Reset wakes the thread wherever it waits, hands every queued buffer back
// and leaves the buffers alone from then on.
TEST(CaptureDeviceGeneratorTest, ResetHandsEverythingBackPromptlyWhereverTheThreadWaits) {
    ManualClock clock;  // never advanced: a real-time device waits for it
    test::ScopedClock useClock(clock);
    const struct {
        const char* name;
        bool realTime;
        size_t buffers;
        size_t busyBuffers;  // handed back before Reset
    } cases[] = {
        {"paced by a clock that stands still", true, 4, 0},
        {"fast, waiting for the session to consume", false, 5, 2},
        {"waiting for buffers", false, 2, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Event event;
        auto device = OpenGenerator(9, c.realTime, event);
        test::CaptureBuffers buffers(c.buffers, 441, kChannels);
        buffers.QueueAll(*device);
        std::string why;
        ASSERT_TRUE(device->Start(&why)) << why;
        for (int i = 0; i < 100 && buffers.DoneCount() < int(c.busyBuffers); ++i) event.Wait(20);
        EXPECT_EQ(buffers.DoneCount(), int(c.busyBuffers));

        const auto before = std::chrono::steady_clock::now();
        device->Reset();
        EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(500));
        EXPECT_EQ(buffers.DoneCount(), int(c.buffers));
        std::vector<std::string> contents;
        for (size_t i = 0; i < buffers.Count(); ++i) contents.push_back(buffers.Storage(i));
        // A thread still writing would change a buffer within the bound.
        EXPECT_FALSE(test::WaitFor(
            [&] {
                for (size_t i = 0; i < buffers.Count(); ++i)
                    if (buffers.Storage(i) != contents[i]) return true;
                return false;
            },
            std::chrono::milliseconds(20)));
        EXPECT_FALSE(device->HasEnded());
    }
}

TEST(CaptureDeviceGeneratorTest, SameSeedGivesTheSameBytesWhateverTheBufferSize) {
    const int64_t frames = 3 * kRate;  // crosses from a track into a pause
    auto record = [&](uint32_t seed, int64_t bufferFrames) {
        Event event;
        auto device = OpenGenerator(seed, false, event);
        device->SetFrameLimit(frames);
        test::CaptureBuffers buffers(3, bufferFrames, kChannels);
        const std::string bytes = test::RecordUntilEnd(*device, event, buffers);
        EXPECT_EQ(device->EndReason(), "frame limit reached");
        EXPECT_EQ(bytes.size(), size_t(frames) * 4);
        return bytes;
    };
    const std::string reference = record(42, 4410);
    EXPECT_EQ(record(42, 333), reference);
    EXPECT_EQ(record(42, 65536), reference);
    EXPECT_NE(record(43, 4410), reference);
}

// A real-time generator hands a buffer back only once the process clock has
// advanced by the audio delivered since Start.
TEST(CaptureDeviceGeneratorTest, RealTimeDeliveryFollowsTheClock) {
    ManualClock clock;
    test::ScopedClock useClock(clock);
    Event event;
    auto device = OpenGenerator(5, true, event);
    EXPECT_TRUE(device->IsRealTime());
    test::CaptureBuffers buffers(3, kRate / 10, kChannels);  // 100 ms each
    buffers.QueueAll(*device);
    const int64_t start = clock.Ticks();
    std::string why;
    ASSERT_TRUE(device->Start(&why)) << why;
    for (int step = 0; step < 200 && buffers.DoneCount() < 3; ++step) {
        const int64_t elapsed = clock.Ticks() - start;
        EXPECT_LE(buffers.DoneCount(), elapsed / 100) << "early at " << elapsed << " ms";
        clock.Advance(10);
        event.Wait(10);
    }
    EXPECT_EQ(buffers.DoneCount(), 3);
    device->Reset();
}

}  // namespace
}  // namespace wk
