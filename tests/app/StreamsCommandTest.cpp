// "wavkeep streams", "info" and "delete" on a stream recorded by "wavkeep record".

#include <filesystem>
#include <fstream>

#include "WavkeepRun.h"
#include "streamstore/ChunkName.h"
#include "support/Regex.h"

namespace wk {
namespace {

using StreamsCommandTest = test::WavkeepRunTest;

TEST_F(StreamsCommandTest, InfoThenDeleteAMiddleStretchRenumbers) {
    ASSERT_EQ(Run({"config", "set", "Encoder", "Lame encoder"}), 0);
    ASSERT_EQ(Run({"record", "--for", "60", "--input", "generator:4:fast"}), 0);
    const auto mp3 = [&] { return test::FileNames(m_home.File("Streams/Default"), ".mp3"); };
    ASSERT_FALSE(mp3().empty());
    const auto first = ParseChunkName(mp3()[0]);
    ASSERT_TRUE(first);
    const DateTime start = first->start;
    const StreamTime t0 = start.ToStreamTime();
    ASSERT_EQ(Run({"info"}), 0);
    EXPECT_NE(Out().find(start.LongText() + "  chunk 10 s  duration 0:01:00  chunks present 6"),
              std::string::npos)
        << Out();
    EXPECT_NE(Out().find("(0:01:00)"), std::string::npos) << Out();

    // From the middle of chunk 2 to the middle of chunk 5: chunks 3 and 4 go.
    const std::string from = DateTime::FromStreamTime(t0 + 15000).LongText();
    const std::string to = DateTime::FromStreamTime(t0 + 45000).LongText();
    ASSERT_EQ(Run({"delete", "--from", from, "--to", to}), 0) << Err();
    EXPECT_EQ(Out(), "2 chunks deleted\n");
    const std::string head = start.FileNamePrefix();
    const std::string later = DateTime::FromStreamTime(t0 + 40000).FileNamePrefix();
    // No empty seventh chunk followed the sixth.
    EXPECT_EQ(mp3(), (std::vector<std::string>{head + "20_10_1.mp3", head + "20_10_2.mp3",
                                               later + "20_10_1.mp3", later + "20_10_2.mp3"}));
    ASSERT_EQ(Run({"info"}), 0);
    EXPECT_NE(Out().find("duration 0:00:20  chunks present 2"), std::string::npos) << Out();
    // Sizes in a unit that shows them.
    ASSERT_EQ(Run({"disk"}), 0);
    EXPECT_TRUE(test::RegexSearch(
        Out(), "^streams use [1-9]\\d*\\.\\d KiB of 100\\.0 MiB allowed"))
        << Out();

    EXPECT_EQ(Run({"delete", "--from", "yesterday", "--to", "today"}), 2);
    EXPECT_EQ(Run({"delete"}), 2);
    EXPECT_EQ(Run({"delete", "--all"}), 1);
    EXPECT_EQ(mp3().size(), 4u);
    EXPECT_EQ(Run({"delete", "--all", "--yes"}), 0);
    EXPECT_TRUE(mp3().empty());
    EXPECT_EQ(HomeText("Streams/Default/desc.des"), "# 0.9\r\n# \r\n# \r\n");
}

TEST_F(StreamsCommandTest, StreamListEditing) {
    EXPECT_EQ(Run({"streams", "add", "Jazz FM"}), 0);
    EXPECT_EQ(Run({"streams", "add", "jazz fm"}), 1);  // names compare without case
    // Names the list file would store otherwise (it trims blanks and splits
    // at TABs), and names that are no folder.
    for (const char* name : {"../outside", " x", "y ", "a\tb", "..", "bell\a"})
        EXPECT_EQ(Run({"streams", "add", name}), 2) << name;
    EXPECT_TRUE(std::filesystem::is_directory(m_home.File("Streams/Jazz FM")));
    // One name is one folder: recording into another spelling is refused
    // before a folder is made.
    EXPECT_EQ(Run({"record", "--stream", "jazz fm", "--for", "5", "--input", "generator:1:fast"}),
              1);
    EXPECT_NE(Err().find("the list has it as \"Jazz FM\""), std::string::npos) << Err();
    EXPECT_FALSE(std::filesystem::exists(m_home.File("Streams/jazz fm")));
    EXPECT_EQ(Run({"streams", "activate", "Jazz FM"}), 0);
    EXPECT_EQ(Run({"streams", "activate", "Nowhere"}), 1);
    // A list an older version saved with "..": never a stream.
    std::ofstream(m_home.File("Streams/StreamFileNames.txt"), std::ios::app | std::ios::binary)
        << "..\tOne\t3\t120\t360\t15\t1\t0\t1\t0\r\n";
    EXPECT_EQ(Run({"streams", "activate", ".."}), 1);
    test::WriteFile(m_io.File("other.txt"),
                    "Rock\tTwo\t3\t120\t360\t15\t7\t42\t0\r\nbroken line\r\n");
    EXPECT_EQ(Run({"streams", "import", m_io.File("other.txt")}), 0);
    EXPECT_EQ(Out(), "1 streams added\n");
    EXPECT_EQ(Run({"streams", "import", m_io.File("missing.txt")}), 1);
    ASSERT_EQ(Run({"streams"}), 0);
    for (const char* line : {"* Default\tradio\t0\tyes\t-", "  Jazz FM\tradio\t0\tyes\t-",
                             "  Rock\tmusic TV\t42\tno\t-"})
        EXPECT_NE(Out().find(line), std::string::npos) << Out();
    EXPECT_TRUE(std::filesystem::is_directory(m_home.File("Streams/Rock")));

    // A stream that is not in the list is a failure, whichever command names it.
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"info", "--stream", "Nope"},
                                               {"descriptions", "--stream", "Nope"},
                                               {"shift", "1", "--stream", "Nope"},
                                               {"export", "--stream", "Nope"},
                                               {"info", "--stream", "rock"}}) {
        EXPECT_EQ(Run(args), 1) << args[0];
        EXPECT_NE(Err().find("no stream "), std::string::npos) << args[0];
    }
}

}  // namespace
}  // namespace wk
