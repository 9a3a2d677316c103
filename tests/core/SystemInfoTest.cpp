#include "core/SystemInfo.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace wk
