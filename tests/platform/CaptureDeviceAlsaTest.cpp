#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

#include "core/Event.h"
#include "platform/CaptureBuffers.h"
#include "platform/CaptureDeviceAlsa.h"
#include "platform/MachineSettings.h"
#include "support/TempHome.h"

namespace wk {
namespace {

constexpr int kRate = 44100;

// Points HOME at a temporary folder with its own ALSA configuration. ALSA
// reads ~/.asoundrc once and caches it, so the cache is dropped on both ends.
class AlsaHome {
public:
    explicit AlsaHome(const std::string& asoundrc) {
        if (const char* home = std::getenv("HOME")) m_oldHome = home;
        test::WriteFile(m_dir.File(".asoundrc"), asoundrc);
        setenv("HOME", m_dir.Path().c_str(), 1);
        snd_config_update_free_global();
    }
    ~AlsaHome() {
        if (m_oldHome) {
            setenv("HOME", m_oldHome->c_str(), 1);
        } else {
            unsetenv("HOME");
        }
        snd_config_update_free_global();
    }
    AlsaHome(const AlsaHome&) = delete;
    AlsaHome& operator=(const AlsaHome&) = delete;
    std::string File(const std::string& name) const { return m_dir.File(name); }

private:
    test::TempDir m_dir;
    std::optional<std::string> m_oldHome;
};

// Stereo frames of distinct samples.
std::string Tone(int64_t frames) {
    std::string s;
    for (int64_t i = 0; i < frames * 2; ++i) {
        const auto v = static_cast<uint16_t>(1000 + i * 13);
        s += static_cast<char>(v & 0xFF);
        s += static_cast<char>(v >> 8);
    }
    return s;
}

// A "file" PCM whose input is a raw file: ALSA's own capture path without a
// sound card. Its "null" slave neither paces nor fills, and at the end of the
// input it goes on returning frames it did not fill, so the recording is cut
// by the frame limit before the input runs out.
TEST(CaptureDeviceAlsaTest, RecordsExactlyWhatThePcmDelivers) {
    test::TempDir fixtures;
    const std::string raw = fixtures.File("tone.raw");
    constexpr int64_t kInputFrames = 30000;
    constexpr int64_t kRecorded = 20000;
    test::WriteFile(raw, Tone(kInputFrames));
    AlsaHome home("pcm.testsrc { type file; slave.pcm \"null\"; file \"/dev/null\"; infile \"" +
                  raw + "\"; format \"raw\" }\n");

    CaptureDeviceAlsa device("testsrc");
    EXPECT_EQ(device.Name(), "alsa:testsrc");
    EXPECT_TRUE(device.IsRealTime());
    std::string why;
    ASSERT_TRUE(device.SupportsFormat(kRate, 2, &why)) << why;
    Event event;
    ASSERT_TRUE(device.Open(kRate, 2, &event, &why)) << why;
    device.SetFrameLimit(kRecorded);
    // Buffers larger than a period: the device reads them in several goes.
    test::CaptureBuffers buffers(3, 4000, 2);
    const std::string got = test::RecordUntilEnd(device, event, buffers);
    EXPECT_EQ(device.EndReason(), "frame limit reached");
    ASSERT_EQ(got.size(), size_t(kRecorded) * 4);
    EXPECT_TRUE(got == Tone(kRecorded)) << "the recording differs from the input";
    device.Close();
}

TEST(CaptureDeviceAlsaTest, AnUnknownPcmIsRefusedWithItsName) {
    AlsaHome home("");
    CaptureDeviceAlsa device("wavkeep_no_such_pcm");
    std::string supportsWhy, openWhy;
    EXPECT_FALSE(device.SupportsFormat(kRate, 2, &supportsWhy));
    Event event;
    EXPECT_FALSE(device.Open(kRate, 2, &event, &openWhy));
    EXPECT_NE(supportsWhy.find("alsa:wavkeep_no_such_pcm"), std::string::npos) << supportsWhy;
    EXPECT_NE(openWhy.find("alsa:wavkeep_no_such_pcm"), std::string::npos) << openWhy;
    test::CaptureBuffers buffers(1, 64, 2);
    EXPECT_FALSE(device.AddBuffer(&buffers[0], &openWhy));
}

class CaptureDeviceAlsaSettingsTest : public test::TempHomeTest {};

TEST_F(CaptureDeviceAlsaSettingsTest, TheStoredDeviceNumberNamesThePcm) {
    EXPECT_EQ(CaptureDeviceAlsa::StoredPcmName(), "default");
    const struct {
        const char* stored;
        const char* pcm;
    } cases[] = {{"0", "default"}, {"-1", "default"}, {"1", "plughw:1"}, {"3", "plughw:3"}};
    for (const auto& c : cases) {
        ASSERT_TRUE(MachineSettings::Set(MachineSettings::kLastSelectedMixer, c.stored));
        EXPECT_EQ(CaptureDeviceAlsa::StoredPcmName(), c.pcm) << c.stored;
        EXPECT_EQ(CaptureDeviceAlsa().Name(), std::string("alsa:") + c.pcm) << c.stored;
    }
}

}  // namespace
}  // namespace wk
