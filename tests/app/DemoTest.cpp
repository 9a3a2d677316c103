// "wavkeep demo": the whole chain through the real executables.


#include "WavkeepRun.h"
#include "support/Regex.h"

namespace wk {
namespace {

class DemoTest : public test::WavkeepRunTest {};

TEST_F(DemoTest, RecordsDownloadsMatchesAndExportsEveryCompleteTrack) {
    ASSERT_EQ(Run({"demo", "--minutes", "5", "--seed", "3"}), 0) << Out() << Err();
    const std::string out = Out();
    std::vector<std::string> m;
    ASSERT_TRUE(test::RegexSearch(
        out, R"((\d+) of (\d+) complete generator tracks start within 50 ms)", &m))
        << out;
    EXPECT_EQ(m[1], m[2]) << out;
    EXPECT_GE(std::stoi(m[1]), 1) << out;
    // The matching took the served playlist's 1.5 s error off.
    EXPECT_TRUE(test::RegexSearch(out, R"(-1(49\d|50\d) ms)")) << out;
    ASSERT_EQ(Run({"songs"}), 0);
    EXPECT_NE(Out().find(".mp3\t"), std::string::npos) << Out();
    EXPECT_NE(Out().find("Generator Band"), std::string::npos) << Out();
    EXPECT_EQ(Run({"demo", "--minutes", "2"}), 2);
    // Again in the same home: a stream of its own, since the first run's
    // recording covers the stretch a second one into Default would take.
    ASSERT_EQ(Run({"demo", "--minutes", "5", "--seed", "3"}), 0) << Out() << Err();
    EXPECT_NE(Out().find(", stream Demo 2\n"), std::string::npos) << Out();
}

// The second station's short form: every song's distance from its true start
// printed for both recordings, and the exit status telling the goals.
TEST_F(DemoTest, SecondStationPrintsEverySongsDistanceAndMeetsTheGoals) {
    EXPECT_EQ(Run({"demo", "--short"}), 2);
    ASSERT_EQ(Run({"demo", "--second-station", "--short"}), 0) << Out() << Err();
    const std::string out = Out();
    const std::string ms = R"(\s+[-+]\d+\.\d ms)";
    for (const char* song : {"Song 1   pause", "Song 2   fade", "Song 3   crossfade"})
        EXPECT_TRUE(test::RegexSearch(out, std::string(song) + ms + ms + ms + ms +
                                                  R"(\s+Generator Band - Song \d\.mp3)"))
            << song << '\n' << out;
    EXPECT_EQ(out.find("NOT"), std::string::npos) << out;
    EXPECT_NE(out.find("Ogg song start (found in the recording): 3 of 3 within 5 ms"),
              std::string::npos) << out;
}

}  // namespace
}  // namespace wk
