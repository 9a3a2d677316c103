// A recording session through ALSA's own capture path (a "file" PCM that
// replays a raw fixture, no sound card) writes the same side files as the
// same audio through the WAV-file input.

#include <alsa/asoundlib.h>

#include <cstdlib>
#include <optional>

#include "platform/CaptureDeviceAlsa.h"
#include "platform/CaptureDeviceWavFile.h"
#include "support/RecordToEnd.h"
#include "support/TempHome.h"
#include "support/WavFile.h"

namespace wk {
namespace {

constexpr int64_t kFrames = 5 * 44100;

// Records `kFrames` frames from the device into base_1.* until the input's frame limit.
void RecordSession(std::unique_ptr<QueuedCaptureDevice> device, const std::string& base) {
    device->SetFrameLimit(kFrames);
    RecordingSession session;
    session.SetDevice(std::move(device));
    session.Configure(kEngineVorbis, 128, 0, 10, base);
    test::RecordToEnd(session);
    EXPECT_EQ(session.EndReason(), kEndFrameLimit);
}

TEST(AlsaFixtureSessionTest, AlsaAndWavInputGiveTheSameSideFiles) {
    test::TempDir dir;
    const std::vector<int16_t> pcm((kFrames + 44100) * 2,
                                   1000);  // a constant +1000, longer than the read
    test::WriteFile(dir.File("tone.raw"), test::PcmBytes(pcm));
    test::WriteFile(dir.File("tone.wav"), test::WavFile(pcm));

    std::optional<std::string> oldHome;
    if (const char* home = std::getenv("HOME")) oldHome = home;
    test::WriteFile(dir.File(".asoundrc"),
                    "pcm.testsrc { type file; slave.pcm \"null\"; file \"/dev/null\"; infile \"" +
                        dir.File("tone.raw") + "\"; format \"raw\" }\n");
    setenv("HOME", dir.Path().c_str(), 1);
    snd_config_update_free_global();
    RecordSession(std::make_unique<CaptureDeviceAlsa>("testsrc"), dir.File("alsa"));
    if (oldHome)
        setenv("HOME", oldHome->c_str(), 1);
    else
        unsetenv("HOME");
    snd_config_update_free_global();

    RecordSession(std::make_unique<CaptureDeviceWavFile>(dir.File("tone.wav")), dir.File("wav"));
    // Wave bytes of 3, fingerprint bytes of 30 (the last step may hold the
    // silence that pads the final block).
    for (const auto& [ext, value] : {std::pair{".dat", 3}, std::pair{".fgp", 30}}) {
        const std::string fromAlsa = test::ReadFile(dir.File(std::string("alsa_1") + ext));
        EXPECT_EQ(fromAlsa, test::ReadFile(dir.File(std::string("wav_1") + ext))) << ext;
        EXPECT_EQ(fromAlsa.substr(0, 499), std::string(499, char(value))) << ext;
    }
}

}  // namespace
}  // namespace wk
