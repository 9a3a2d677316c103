#include <linux/videodev2.h>

#include <climits>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "platform/TunerFake.h"
#include "platform/TunerV4l2.h"
#include "support/TempHome.h"

namespace wk {
namespace {

namespace fs = std::filesystem;

TEST(TunerV4l2, ChannelNumbersBecomeTheDeviceUnit) {
    struct Case {
        int channel;
        bool radio;
        uint32_t caps;
        uint32_t expected;
    };
    const std::vector<Case> cases = {
        {8692, false, 0, 8692},                      // 543.25 MHz, 62.5 kHz units
        {8692, false, V4L2_TUNER_CAP_LOW, 8692000},  // 62.5 Hz units
        {8692, false, V4L2_TUNER_CAP_1HZ | V4L2_TUNER_CAP_LOW, 543250000},
        {1601600, true, V4L2_TUNER_CAP_LOW, 1601600},  // 100.1 MHz
        {1601600, true, 0, 1602},                      // rounded to 62.5 kHz
        {1601600, true, V4L2_TUNER_CAP_1HZ, 100100000},
        {1, true, V4L2_TUNER_CAP_1HZ, 63},  // 62.5 Hz rounded
        {-5, false, 0, 0},
        {INT_MAX, false, V4L2_TUNER_CAP_1HZ, UINT32_MAX},
        {INT_MAX, true, 0, 2147484},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TunerV4l2::DeviceFrequency(c.channel, c.radio, c.caps), c.expected)
            << c.channel << (c.radio ? " radio" : " TV") << " caps " << c.caps;
}

class TunerV4l2Test : public test::TempHomeTest {};

TEST_F(TunerV4l2Test, NoTunerInTheDeviceFolderFailsCleanly) {
    const std::string dir = m_dir.File("dev");
    fs::create_directories(dir + "/video1");
    test::WriteFile(dir + "/video0", "not a device");
    test::WriteFile(dir + "/radio0", "not a device");
    fs::create_symlink("/dev/null", dir + "/videoX");
    for (const std::string& folder : {m_dir.File("missing"), dir}) {
        SCOPED_TRACE(folder);
        TunerV4l2 tuner(folder);
        EXPECT_FALSE(tuner.OpenDevice(49, true));
        EXPECT_FALSE(tuner.IsOpen());
        EXPECT_EQ(tuner.VideoPath(), "");
        EXPECT_EQ(tuner.RadioPath(), "");
        EXPECT_FALSE(tuner.RunTunedGraph(8692, false));
        EXPECT_FALSE(tuner.RunTunedGraph(1601600, true));
    }
}

TEST_F(TunerV4l2Test, NodesThatAreNoTunersAreSkippedOrFailWhenTuned) {
    // /dev/null is a character device that answers every V4L2 request with an error.
    const std::string dir = m_dir.File("dev");
    fs::create_directories(dir);
    fs::create_symlink("/dev/null", dir + "/video0");
    fs::create_symlink("/dev/null", dir + "/radio3");
    fs::create_symlink("/dev/null", dir + "/radio12");
    TunerV4l2 tuner(dir);
    ASSERT_TRUE(tuner.OpenDevice(49, false));
    EXPECT_TRUE(tuner.IsOpen());
    EXPECT_EQ(tuner.VideoPath(), "");
    EXPECT_EQ(tuner.RadioPath(), dir + "/radio3");
    EXPECT_FALSE(tuner.RunTunedGraph(8692, false));
    EXPECT_FALSE(tuner.RunTunedGraph(1601600, true));
}

TEST(TunerSelection, InstalledTunerReplacesTheDefaultUntilCleared) {
    Tuner& standard = GetTuner();
    EXPECT_NE(dynamic_cast<TunerV4l2*>(&standard), nullptr);
    TunerFake fake;
    SetTuner(&fake);
    EXPECT_EQ(&GetTuner(), &fake);
    SetTuner(nullptr);
    EXPECT_EQ(&GetTuner(), &standard);
}

}  // namespace
}  // namespace wk
