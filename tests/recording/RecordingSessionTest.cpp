#include "recording/RecordingSession.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include <vorbis/vorbisfile.h>

#include "core/CTError.h"
#include "core/Clock.h"
#include "platform/CaptureDeviceGenerator.h"
#include "support/TempHome.h"

namespace wk {
namespace {

class RecordingSessionTest : public ::testing::Test {
protected:
    void SetUp() override { SetClock(&m_clock); }
    void TearDown() override { SetClock(nullptr); }
    ManualClock m_clock;
    test::TempDir m_dir;
};

TEST_F(RecordingSessionTest, StopWhileWaitingForAudioIsPromptAndAbortDeletesTheChunk) {
    RecordingSession session;
    // Paced by a manual clock that never moves: no audio ever arrives.
    session.SetDevice(std::make_unique<CaptureDeviceGenerator>(1, true));
    session.Configure(kEngineLame, 128, 0, 10, m_dir.File("rec"));
    session.Open();
    session.Start();
    EXPECT_TRUE(std::filesystem::exists(m_dir.File("rec_1.mp3")));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto before = std::chrono::steady_clock::now();
    session.Stop(true);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(2000));
    EXPECT_FALSE(std::filesystem::exists(m_dir.File("rec_1.mp3")));
    EXPECT_FALSE(std::filesystem::exists(m_dir.File("rec_1.dat")));
    EXPECT_FALSE(std::filesystem::exists(m_dir.File("rec_1.fgp")));
    session.Close();
    EXPECT_EQ(session.State(), 1);
}

TEST_F(RecordingSessionTest, StateCodesAndAnInputThatEnds) {
    RecordingSession session;
    auto code = [](const std::function<void()>& f) {
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
    session.Open();
    EXPECT_EQ(code([&] { session.Open(); }), kErrControllerNotIdle);
    session.Start();
    EXPECT_EQ(code([&] { session.Close(); }), kErrControllerStarted);
    for (int i = 0; i < 1000 && !session.HasEndedByItself(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_TRUE(session.HasEndedByItself());
    EXPECT_EQ(session.EndReason(), kEndFrameLimit);
    session.Stop();
    session.Close();
    // Three seconds of mono in 2-second chunks: two files, the whole input kept.
    EXPECT_TRUE(std::filesystem::exists(m_dir.File("mono_2.ogg")));
    EXPECT_FALSE(std::filesystem::exists(m_dir.File("mono_3.ogg")));
    const auto fgp = std::filesystem::file_size(m_dir.File("mono_1.fgp")) +
                     std::filesystem::file_size(m_dir.File("mono_2.fgp"));
    EXPECT_NEAR(double(fgp), 300.0, 3.0);
    // Each mono sample went to both channels of the stereo Ogg stream, at its own pace.
    int64_t frames = 0;
    for (const char* name : {"mono_1.ogg", "mono_2.ogg"}) {
        OggVorbis_File vf;
        ASSERT_EQ(ov_fopen(m_dir.File(name).c_str(), &vf), 0) << name;
        frames += ov_pcm_total(&vf, -1);
        ov_clear(&vf);
    }
    EXPECT_NEAR(double(frames), 3.0 * 44100, 2304.0);
}

}  // namespace
}  // namespace wk
