#include <gtest/gtest.h>

#include "platform/CaptureDevice.h"
#include "platform/MachineSettings.h"
#include "support/TempHome.h"

namespace wk {
namespace {

class CaptureDeviceFactoryTest : public test::TempHomeTest {};

TEST_F(CaptureDeviceFactoryTest, MakesTheDeviceTheTextNames) {
    ASSERT_TRUE(MachineSettings::Set(MachineSettings::kLastSelectedMixer, "2"));
    const struct {
        const char* spec;
        const char* name;
        bool realTime;
    } cases[] = {
        {"alsa", "alsa:plughw:2", true},
        {"alsa:hw:1,0", "alsa:hw:1,0", true},
        {"file:/tmp/a.wav", "file:/tmp/a.wav", false},
        {"file:/srv/x:y/a.wav", "file:/srv/x:y/a.wav", false},
        {"file:/srv/x:y/a.wav:realtime", "file:/srv/x:y/a.wav:realtime", true},
        {"file:/srv/a.wav:fast", "file:/srv/a.wav", false},
        {"generator", "generator:1", true},
        {"generator:7", "generator:7", true},
        {"generator:4294967295:fast", "generator:4294967295:fast", false},
        {"generator:7:realtime", "generator:7", true},
    };
    for (const auto& c : cases) {
        std::string why;
        auto device = CreateCaptureDevice(c.spec, &why);
        ASSERT_NE(device, nullptr) << c.spec << ": " << why;
        EXPECT_EQ(device->Name(), c.name) << c.spec;
        EXPECT_EQ(device->IsRealTime(), c.realTime) << c.spec;
    }
}

TEST_F(CaptureDeviceFactoryTest, RefusesTextsItDoesNotUnderstand) {
    for (const char* spec :
         {"", "mic", "alsa:", "ALSA", "file:", "file::realtime", "generator:", "generator:x1",
          "generator:-1", "generator:4294967296", "generator:7:slow", "generator::fast"}) {
        std::string why;
        EXPECT_EQ(CreateCaptureDevice(spec, &why), nullptr) << spec;
        EXPECT_NE(why.find(spec), std::string::npos) << spec << ": " << why;
    }
}

}  // namespace
}  // namespace wk
