// "wavkeep import", "descriptions" and "shift" on a recorded stream.

#include <algorithm>
#include <filesystem>

#include "WavkeepRun.h"
#include "descriptions/Description.h"
#include "streamstore/ChunkName.h"

namespace wk {
namespace {

using DescriptionsCommandTest = test::WavkeepRunTest;

TEST_F(DescriptionsCommandTest, ImportedFileIsMovedOntoTheRecording) {
    ASSERT_EQ(Run({"config", "set", "Encoder", "Lame encoder"}), 0);
    ASSERT_EQ(Run({"record", "--for", "180", "--input", "generator:5:fast"}), 0);
    std::string fgp;
    for (const auto& name : Chunks(".fgp")) fgp += HomeText("Streams/Default/" + name);
    ASSERT_GE(fgp.size(), 17000u);
    const auto first = ParseChunkName(Chunks(".fgp")[0]);
    ASSERT_TRUE(first);
    const StreamTime s0 = first->start.ToStreamTime();

    // A track from 101 s to 140 s, its snippet taken at 100 s; the file's
    // clock runs 2.37 s late against the recording.
    Description d;
    d.artist = "Generated";
    d.title = "Tune";
    d.start = s0 + 101000 + 2370;
    d.end = s0 + 140000 + 2370;
    const std::string snippet = fgp.substr(10000, 400);
    d.fingerprint =
        Base64Encode({reinterpret_cast<const uint8_t*>(snippet.data()), snippet.size()});
    d.fingerprintTime = s0 + 100000 + 2370;
    test::WriteFile(m_io.File("late.des"), "# 0.9\r\n# \r\n# \r\n" + d.ToLine() + "\r\n");

    EXPECT_EQ(Run({"import", m_io.File("late.des")}), 1);  // not from a trusted user
    ASSERT_EQ(Run({"import", m_io.File("late.des"), "--trust"}), 0) << Err();
    EXPECT_EQ(test::ReadFile(m_io.File("late.des")).find(d.ToLine()), 15u);  // left as it was
    ASSERT_EQ(Run({"descriptions"}), 0);
    ASSERT_EQ(Out().rfind("1\t", 0), 0u) << Out();
    const StreamTime found = DateTime::ParseLongText(Out().substr(2, 24)).ToStreamTime();
    EXPECT_NEAR(double(found - s0), 101000.0, 20.0) << Out();
    EXPECT_NE(Out().find("Generated - Tune\tcomplete"), std::string::npos) << Out();

    ASSERT_EQ(Run({"shift", "-1.5"}), 0);
    EXPECT_EQ(Out(), "1 descriptions moved by -1500 ms\n");
    EXPECT_EQ(Run({"shift", "500"}), 0);
    EXPECT_EQ(Out(), "0 descriptions moved by 500000 ms\n");  // would leave the recording
}

TEST_F(DescriptionsCommandTest, TagTextReachesTheTerminalWithoutControlCharacters) {
    // Tags and a file name that would clear the screen, retitle the window
    // and ring the bell.
    std::filesystem::create_directories(m_home.File("Streams/Default"));
    test::WriteFile(m_home.File("Streams/Default/desc.des"),
                    "# 0.9\r\n# \r\n# \r\n07/11/2003  10:00:00.000\t07/11/2003  10:03:00.000\t"
                    "Evil\x1b[2J\tSong\x07\t\t\t\t17\t\t0\r\n");
    ASSERT_EQ(Run({"descriptions"}), 0) << Err();
    EXPECT_NE(Out().find("\tEvil?[2J - Song?\t"), std::string::npos) << Out();

    std::string tag(128, '\0');
    const auto put = [&tag](size_t at, const std::string& text) {
        tag.replace(at, text.size(), text);
    };
    put(0, "TAG");
    put(3, "Title\x1b]0;owned\x07");
    put(33,
        "Art\x9b"
        "2J");
    std::filesystem::create_directories(m_home.File("Songs"));
    test::WriteFile(m_home.File("Songs/x\x1b[2J.mp3"), tag);
    ASSERT_EQ(Run({"songs"}), 0) << Err();
    EXPECT_EQ(Out().rfind("x?[2J.mp3\t", 0), 0u) << Out();
    EXPECT_NE(Out().find("\tArt?2J - Title?]0;owned?"), std::string::npos) << Out();
    EXPECT_EQ(Out().find_first_of("\x1b\x07\x9b"), std::string::npos) << Out();
}

// Imports from two processes at once, many times over: each merges into
// desc.des as the other left it, so no description is lost.
TEST_F(DescriptionsCommandTest, ImportsFromTwoProcessesAtOnceKeepEveryDescription) {
    constexpr int kRounds = 8;
    constexpr int kPerFile = 3;
    const StreamTime t0 = DateTime(2024, 1, 1, 10, 0, 0).ToStreamTime();
    const auto file = [&](int round, int who, const std::string& name) {
        std::string text = "# 0.9\r\n# \r\n# _WAVKEEP_STAFF_\r\n";
        for (int i = 0; i < kPerFile; ++i) {
            Description d;
            d.artist = who == 0 ? "A" : "B";
            d.title = std::to_string(round) + "." + std::to_string(i);
            d.start = t0 + ((round * 2 + who) * kPerFile + i) * 200000;
            d.end = d.start + 182000;
            text += d.ToLine() + "\r\n";
        }
        test::WriteFile(m_io.File(name), text);
        return m_io.File(name);
    };
    for (int round = 0; round < kRounds; ++round) {
        test::ChildProcess a, b;
        ASSERT_TRUE(Spawn(a, {"import", file(round, 0, std::to_string(round) + "a.des")}, "a"));
        ASSERT_TRUE(Spawn(b, {"import", file(round, 1, std::to_string(round) + "b.des")}, "b"));
        EXPECT_EQ(a.Wait(), 0) << test::ReadFile(m_io.File("a.err"));
        EXPECT_EQ(b.Wait(), 0) << test::ReadFile(m_io.File("b.err"));
    }
    const auto count = [&] {
        EXPECT_EQ(Run({"descriptions"}), 0);
        const std::string listed = Out();
        return std::count(listed.begin(), listed.end(), '\n');
    };
    EXPECT_EQ(count(), kRounds * 2 * kPerFile);

    // The same file again, its extension in capitals: read as it is named,
    // trusted, and nothing doubled.
    ASSERT_EQ(Run({"import", file(0, 0, "PL.DES")}), 0) << Err();
    const std::string all = std::to_string(kRounds * 2 * kPerFile);
    EXPECT_EQ(Out().rfind("imported 3 descriptions into Default (now " + all + ", were " + all +
                              "; 3 held already)",
                          0),
              0u)
        << Out();
    EXPECT_EQ(count(), kRounds * 2 * kPerFile);

    // A description file that cannot be replaced fails the import.
    const std::string desc = m_home.File("Streams/Default/desc.des");
    std::filesystem::rename(desc, desc + ".kept");
    std::filesystem::create_directories(desc + "/x");
    EXPECT_EQ(Run({"import", file(kRounds, 0, "late.des")}), 1);
    EXPECT_NE(Err().find("was not imported"), std::string::npos) << Err();
}

}  // namespace
}  // namespace wk
