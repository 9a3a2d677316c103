// A recording session through ALSA's own capture path (a "file" PCM that
// replays a raw fixture, no sound card) writes the same side files as the
// same audio through the WAV-file input.

#include <alsa/asoundlib.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <thread>

#include "platform/CaptureDeviceAlsa.h"
#include "platform/CaptureDeviceWavFile.h"
#include "platform/WavReader.h"
#include "recording/RecordingSession.h"
#include "support/TempHome.h"

namespace wk {
namespace {

constexpr int64_t kFrames = 5 * 44100;

std::string ConstantPcm(int64_t frames, int16_t value) {
    std::string s;
    for (int64_t i = 0; i < frames * 2; ++i) {
        s += static_cast<char>(value & 0xFF);
        s += static_cast<char>((value >> 8) & 0xFF);
    }
    return s;
}

// Records `frames` frames from the device into base_1.* and waits for the end.
void RecordSession(std::unique_ptr<QueuedCaptureDevice> device, const std::string& base) {
    device->SetFrameLimit(kFrames);
    RecordingSession session;
    session.SetDevice(std::move(device));
    session.Configure(kEngineVorbis, 128, 0, 10, base);
    session.Open();
    session.Start();
    for (int i = 0; i < 1000 && !session.HasEndedByItself(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(session.HasEndedByItself());
    EXPECT_EQ(session.EndReason(), kEndFrameLimit);
    session.Stop();
    session.Close();
}

TEST(AlsaFixtureSessionTest, AlsaAndWavInputGiveTheSameSideFiles) {
    test::TempDir dir;
    const std::string pcm = ConstantPcm(kFrames + 44100, 1000);  // longer than the read
    test::WriteFile(dir.File("tone.raw"), pcm);
    test::WriteFile(dir.File("tone.wav"), WavHeader(44100, 2, kFrames + 44100) + pcm);

    std::optional<std::string> oldHome;
    if (const char* home = std::getenv("HOME")) oldHome = home;
    test::WriteFile(dir.File(".asoundrc"),
                    "pcm.testsrc { type file; slave.pcm \"null\"; file \"/dev/null\"; infile \"" +
                        dir.File("tone.raw") + "\"; format \"raw\" }\n");
    setenv("HOME", dir.Path().c_str(), 1);
    snd_config_update_free_global();
    RecordSession(std::make_unique<CaptureDeviceAlsa>("testsrc"), dir.File("alsa"));
    if (oldHome) setenv("HOME", oldHome->c_str(), 1);
    else unsetenv("HOME");
    snd_config_update_free_global();

    RecordSession(std::make_unique<CaptureDeviceWavFile>(dir.File("tone.wav")), dir.File("wav"));

    for (const char* ext : {".dat", ".fgp"}) {
        const std::string fromAlsa = test::ReadFile(dir.File(std::string("alsa_1") + ext));
        const std::string fromWav = test::ReadFile(dir.File(std::string("wav_1") + ext));
        EXPECT_EQ(fromAlsa, fromWav) << ext;
        ASSERT_GE(fromAlsa.size(), 500u) << ext;
        // A constant +1000: wave bytes of 3, fingerprint bytes of 30 (the last
        // step may hold the silence that pads the final block).
        const char expected = std::string(ext) == ".dat" ? 3 : 30;
        EXPECT_EQ(fromAlsa.substr(0, 499), std::string(499, expected)) << ext;
    }
}

}  // namespace
}  // namespace wk
