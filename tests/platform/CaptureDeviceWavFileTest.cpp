#include <gtest/gtest.h>

#include <chrono>

#include "core/Clock.h"
#include "core/Event.h"
#include "platform/CaptureBuffers.h"
#include "platform/CaptureDeviceWavFile.h"
#include "platform/ScopedClock.h"
#include "platform/WavReader.h"
#include "support/TempHome.h"
#include "support/WaitFor.h"

namespace wk {
namespace {

constexpr int kRate = 44100;

// `frames` stereo frames whose samples all differ, so any loss or shift shows.
std::string Pcm(int64_t frames, int channels = 2) {
    std::string s;
    for (int64_t i = 0; i < frames * channels; ++i) {
        const auto v = static_cast<uint16_t>(i * 7 + 3);
        s += static_cast<char>(v & 0xFF);
        s += static_cast<char>(v >> 8);
    }
    return s;
}

std::string Wav(int rate, int channels, int64_t frames) {
    return WavHeader(rate, channels, frames) + Pcm(frames, channels);
}

TEST(CaptureDeviceWavFileTest, FilesOfAnotherFormatAreRefusedBeforeAnythingIsDelivered) {
    test::TempDir dir;
    std::string eightBit = Wav(kRate, 2, 100);
    eightBit[34] = 8;
    const struct {
        const char* name;
        std::string bytes;
        std::vector<const char*> said;  // all in the message
    } cases[] = {
        {"other rate", Wav(22050, 2, 100), {"22050 Hz stereo", "44100 Hz stereo"}},
        {"mono", Wav(kRate, 1, 100), {"44100 Hz mono", "44100 Hz stereo"}},
        {"8-bit", eightBit, {"not 16-bit", "44100 Hz stereo"}},
        {"truncated header", Wav(kRate, 2, 100).substr(0, 30), {"format", "44100 Hz stereo"}},
        {"not a WAV file", "ID3\x03 this is an MP3 file, honestly", {"not a WAV file"}},
        {"empty", "", {"not a WAV file"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.File("bad.wav");
        test::WriteFile(path, c.bytes);
        CaptureDeviceWavFile device(path);
        std::string supportsWhy, openWhy;
        EXPECT_FALSE(device.SupportsFormat(kRate, 2, &supportsWhy));
        Event event;
        EXPECT_FALSE(device.Open(kRate, 2, &event, &openWhy));
        for (const char* text : c.said) {
            EXPECT_NE(supportsWhy.find(text), std::string::npos) << supportsWhy;
            EXPECT_NE(openWhy.find(text), std::string::npos) << openWhy;
        }
        test::CaptureBuffers buffers(1, 64, 2);
        std::string why;
        EXPECT_FALSE(device.AddBuffer(&buffers[0], &why));
        EXPECT_FALSE(device.Start(&why));
        EXPECT_FALSE(event.Wait(0));
        EXPECT_EQ(buffers[0].recorded, 0u);
    }
}

// The buffer that gets the last frame ends the device; none is wasted after it.
TEST(CaptureDeviceWavFileTest, DeliversExactlyTheFileThenEndsAtItsEnd) {
    test::TempDir dir;
    const std::string path = dir.File("good.wav");
    test::WriteFile(path, Wav(kRate, 2, 1000));
    const struct {
        int64_t bufferFrames;
        int64_t lastFill;  // frames in the last buffer
    } cases[] = {{256, 232}, {250, 250}, {4096, 1000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bufferFrames);
        CaptureDeviceWavFile device(path);
        Event event;
        std::string why;
        ASSERT_TRUE(device.SupportsFormat(kRate, 2, &why)) << why;
        ASSERT_TRUE(device.Open(kRate, 2, &event, &why)) << why;
        EXPECT_FALSE(device.IsRealTime());
        const size_t count = size_t((1000 + c.bufferFrames - 1) / c.bufferFrames);
        test::CaptureBuffers buffers(count + 1, c.bufferFrames, 2);
        buffers.QueueAll(device);
        ASSERT_TRUE(device.Start(&why)) << why;
        for (int i = 0; i < 100 && !device.HasEnded(); ++i) {
            device.Consumed(c.bufferFrames);
            event.Wait(20);
        }
        ASSERT_TRUE(device.HasEnded());
        EXPECT_EQ(device.EndReason(), "end of file");
        std::string got;
        for (size_t i = 0; i < count; ++i) {
            ASSERT_TRUE(buffers[i].done.load()) << i;
            got += buffers.Bytes(i);
        }
        EXPECT_EQ(got, Pcm(1000));
        EXPECT_EQ(int64_t(buffers[count - 1].recorded), c.lastFill * 4);
        EXPECT_FALSE(buffers[count].done.load());
        device.Reset();
        EXPECT_TRUE(buffers[count].done.load());
        EXPECT_EQ(buffers[count].recorded, 0u);
    }
}

// As fast as consumed: never more than two buffers ahead of the session, and
// an installed VirtualClock shows exactly the audio consumed.
TEST(CaptureDeviceWavFileTest, FastModeRunsTwoBuffersAheadOfTheSessionAndDrivesTheClock) {
    test::TempDir dir;
    const std::string path = dir.File("long.wav");
    constexpr int64_t kBufferFrames = 441;  // 10 ms
    constexpr size_t kBuffers = 12;
    test::WriteFile(path, Wav(kRate, 2, kBufferFrames * kBuffers));
    VirtualClock clock(DateTime(2004, 2, 29, 23, 59, 59, 0));
    test::ScopedClock useClock(clock);
    const int64_t start = clock.Ticks();

    CaptureDeviceWavFile device(path);
    Event event;
    std::string why;
    ASSERT_TRUE(device.Open(kRate, 2, &event, &why)) << why;
    test::CaptureBuffers buffers(kBuffers, kBufferFrames, 2);
    buffers.QueueAll(device);
    ASSERT_TRUE(device.Start(&why)) << why;
    for (size_t consumed = 0; consumed < kBuffers; ++consumed) {
        const int expected = int(std::min(consumed + QueuedCaptureDevice::kLeadBuffers, kBuffers));
        for (int i = 0; i < 100 && buffers.DoneCount() < expected; ++i) event.Wait(20);
        // A device that runs too far fills another buffer within the bound.
        EXPECT_FALSE(test::WaitFor([&] { return buffers.DoneCount() > expected; },
                                   std::chrono::milliseconds(5)));
        EXPECT_EQ(buffers.DoneCount(), expected) << "after consuming " << consumed;
        EXPECT_EQ(clock.Ticks() - start, int64_t(consumed) * 10);
        device.Consumed(kBufferFrames);
    }
    EXPECT_EQ(clock.Ticks() - start, int64_t(kBuffers) * 10);
    EXPECT_TRUE(device.HasEnded());
    device.Close();
}

}  // namespace
}  // namespace wk
