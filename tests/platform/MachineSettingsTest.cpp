#include "platform/MachineSettings.h"

#include "support/TempHome.h"

namespace wk {
namespace {

using MachineSettingsTest = test::TempHomeTest;

TEST_F(MachineSettingsTest, SetThenGetKeepsOtherKeysAndReadsCrLf) {
    test::WriteFile(HomeFile("machine.ini"), "DefaultDir=/x/y\r\nnLastSelectedMixer=3\r\n");
    EXPECT_EQ(MachineSettings::GetInt(MachineSettings::kLastSelectedMixer, 0), 3);
    ASSERT_TRUE(MachineSettings::Set(MachineSettings::kLastSelectedMixer, "5"));
    EXPECT_EQ(MachineSettings::GetInt(MachineSettings::kLastSelectedMixer, 0), 5);
    EXPECT_EQ(MachineSettings::Get(MachineSettings::kDescriptionFolder).value_or(""), "/x/y");
    EXPECT_FALSE(MachineSettings::Get("missing").has_value());
    EXPECT_EQ(MachineSettings::GetInt("missing", -7), -7);
}

}  // namespace
}  // namespace wk
