#include "core/SystemInfo.h"

#include <gtest/gtest.h>

#include <cmath>

#include "core/ClockDifference.h"
#include "core/PrintableText.h"

namespace wk {
namespace {

TEST(SystemInfoTest, MakeFileNameSafeReplacesPathAndShellCharactersButNotColon) {
    std::string name = "AC/DC: Back*In?Black\\<live>|\"x\"&~@";
    MakeFileNameSafe(name);
    EXPECT_EQ(name, "AC_DC: Back_In_Black__live___x____");
}

TEST(SystemInfoTest, GetFileExtensionTakesLastComponentOnly) {
    const struct { const char* in; const char* ext; } cases[] = {
        {"a/b.c/chunk.mp3", ".mp3"}, {"desc.des", ".des"}, {"dir.x/noext", ""},
        {".hidden", ""}, {"x.tar.gz", ".gz"}, {"", ""},
    };
    for (auto& c : cases) EXPECT_EQ(GetFileExtension(c.in), c.ext) << c.in;
}

TEST(SystemInfoTest, TextFromStrangersIsPrintableAndAtMostOneScreenLine) {
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"Artist\x1b[2J\x07", "Artist?[2J?"},
        {"tab\there\r\n", "tab?here??"},
        {"M\xc3\xbcller \xfc\xe9", "M\xc3\xbcller \xfc\xe9"},  // UTF-8 and Latin-1 letters stay
        {"csi\xc2\x9b" "1m \x9b" "2J\x7f", "csi?1m ?2J?"},      // C1 as UTF-8 and as a byte, DEL
        {std::string("nul\0x", 5), "nul?x"},
    };
    for (const auto& c : cases) EXPECT_EQ(PrintableText(c.in), c.out) << c.in;
    EXPECT_EQ(ScreenLine("ERR busy\r\n" + std::string(100, 'x')), "ERR busy");
    const std::string line = ScreenLine("\x1b[2J" + std::string(10'000'000, 'y'));
    EXPECT_EQ(line, "?[2J" + std::string(kScreenLineChars - 7, 'y') + "...");
}

TEST(SystemInfoTest, ClockDifferencesBeyondADayOrNoneAtAllAreRefused) {
    for (const char* good : {"0", "-7.5", "2.37", "86400", "-86400", "1e3", "+5"})
        EXPECT_EQ(CheckClockDifferenceText(good), "") << good;
    for (const char* bad : {"", "nan", "inf", "-inf", "1e30", "86400.5", "-86401", "1e5", "0x10",
                            "1,5", "2 s", "1e999"}) {
        const std::string why = CheckClockDifferenceText(bad);
        EXPECT_NE(why.find("-86400 to 86400"), std::string::npos) << bad << ": " << why;
    }
    EXPECT_FALSE(IsPlausibleClockDifference(std::nan("")));
    EXPECT_TRUE(IsPlausibleClockDifference(-86400.0));
}

}  // namespace
}  // namespace wk
