#include <filesystem>
#include <functional>
#include <thread>

#include "core/CTError.h"
#include "platform/CaptureDeviceGenerator.h"
#include "recording/RecordingSession.h"
#include "support/OggDecode.h"
#include "support/SleeperClock.h"
#include "support/TempHome.h"

namespace wk {
namespace {

namespace fs = std::filesystem;

class RecordingSessionTest : public ::testing::Test {
protected:
    void SetUp() override { SetClock(&m_clock); }
    void TearDown() override { SetClock(nullptr); }
    test::SleeperClock m_clock;
    test::TempDir m_dir;
};

// The input is paced by a clock that never moves: no audio ever arrives, and
// a stop that waited for the next audio would never return.
TEST_F(RecordingSessionTest, StopWakesAnInputWaitingForAudioAndAbortDeletesTheChunk) {
    RecordingSession session;
    session.SetDevice(std::make_unique<CaptureDeviceGenerator>(1, true));
    session.Configure(kEngineLame, 128, 0, 10, m_dir.File("rec"));
    session.Open();
    session.Start();
    EXPECT_TRUE(fs::exists(m_dir.File("rec_1.mp3")));
    ASSERT_TRUE(m_clock.WaitAsleep());
    Event stopped;
    std::thread stopper([&] {
        session.Stop(true);
        stopped.Set();
    });
    const bool returned = stopped.Wait(10000);
    EXPECT_TRUE(returned) << "Stop did not wake the waiting input";
    if (!returned) m_clock.Advance(3600000);  // let the audio come, so that the test ends
    stopper.join();
    for (const char* ext : {".mp3", ".dat", ".fgp"})
        EXPECT_FALSE(fs::exists(m_dir.File("rec_1") + ext)) << ext;
    session.Close();
    EXPECT_EQ(session.State(), 1);
}

TEST_F(RecordingSessionTest, StateCodesAndAnInputThatEnds) {
    RecordingSession session;
    const auto code = [](const std::function<void()>& f) {
        try {
            f();
        } catch (const CTErrorRecorder& e) {
            return e.GetCode();
        }
        return 0;
    };
    EXPECT_EQ(code([&] { session.Start(); }), kErrControllerNotOpened);
    EXPECT_EQ(code([&] { session.Stop(); }), kErrControllerNotStarted);
    EXPECT_EQ(code([&] { session.Close(); }), kErrControllerNotOpened);
    auto device = std::make_unique<CaptureDeviceGenerator>(2, false);
    device->SetFrameLimit(44100 * 3);
    session.SetDevice(std::move(device));
    session.Configure(kEngineVorbis, 128, 3, 2, m_dir.File("mono"));  // mono, 2-second chunks
    Event ended;
    session.SetOnEndedByItself([&] { ended.Set(); });
    session.Open();
    EXPECT_EQ(code([&] { session.Open(); }), kErrControllerNotIdle);
    session.Start();
    EXPECT_EQ(code([&] { session.Close(); }), kErrControllerStarted);
    ASSERT_TRUE(ended.Wait(60000));
    EXPECT_TRUE(session.HasEndedByItself());
    EXPECT_EQ(session.EndReason(), kEndFrameLimit);
    session.Stop();
    session.Close();
    // Three seconds of mono in 2-second chunks: two files, the whole input
    // kept, each mono sample on both channels of the stereo Ogg stream.
    EXPECT_FALSE(fs::exists(m_dir.File("mono_3.ogg")));
    EXPECT_NEAR(
        double(fs::file_size(m_dir.File("mono_1.fgp")) + fs::file_size(m_dir.File("mono_2.fgp"))),
        300.0, 3.0);
    int64_t frames = 0;
    for (const char* name : {"mono_1.ogg", "mono_2.ogg"}) {
        const test::DecodedOgg d = test::DecodeOgg(m_dir.File(name));
        EXPECT_TRUE(d.valid && d.links.at(0).channels == 2) << name;
        EXPECT_TRUE(d.channels[0] == d.channels[1]) << name;
        frames += d.Frames();
    }
    EXPECT_NEAR(double(frames), 3.0 * 44100, 2304.0);
}

}  // namespace
}  // namespace wk
