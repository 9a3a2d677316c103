#include "core/Trace.h"

#include <filesystem>
#include <sstream>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core/Clock.h"
#include "support/Regex.h"
#include "support/TempHome.h"

namespace wk {
namespace {

class TraceTest : public test::TempHomeTest {
protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        SetClock(&m_clock);
        SetTraceFileBase(HomeFile("Log"));
        SetTraceLevel(kTraceInfo);
    }
    void TearDown() override {
        SetTraceLevel(0);
        SetTraceFileBase("");
        SetClock(nullptr);
        TempHomeTest::TearDown();
    }
    std::vector<std::string> TraceFiles() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(m_dir.Path()))
            if (e.path().filename().string().rfind("Log_", 0) == 0)
                names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string Expected(const char* stamp) const {
        char pid[16];
        std::snprintf(pid, sizeof pid, "%X", static_cast<unsigned>(::getpid()));
        return std::string("Log_") + stamp + "_" + pid + ".txt";
    }
    ManualClock m_clock{DateTime(2003, 11, 7, 23, 59, 58, 250)};
};

TEST_F(TraceTest, ThresholdDecidesWhatIsWrittenAndAFileIsOnlyCreatedWhenNeeded) {
    Trace(kTraceDebug, "too detailed");
    EXPECT_TRUE(TraceFiles().empty());
    Trace(kTraceInfo, "hello %d", 42);
    Trace(kTraceError, "bad");
    ASSERT_EQ(TraceFiles(), std::vector<std::string>{Expected("20031107_235958")});
    const std::string text = test::ReadFile(HomeFile(TraceFiles()[0]));
    const std::string line(R"(23:59:58\.250 [0-9A-F]+ INF: hello 42\r\n23:59:58\.250 [0-9A-F]+ ERR: bad\r\n)");
    EXPECT_TRUE(test::RegexMatch(text, line)) << text;
    SetTraceLevel(-5);
    Trace(kTraceError, "off");
    EXPECT_EQ(test::ReadFile(HomeFile(TraceFiles()[0])), text);
}

TEST_F(TraceTest, FirstMessageOfANewDayStartsANewFile) {
    Trace(kTraceInfo, "before midnight");
    m_clock.Advance(3000);  // 00:00:01.250 the next day
    Trace(kTraceInfo, "after midnight");
    EXPECT_EQ(TraceFiles(),
              (std::vector<std::string>{Expected("20031107_235958"), Expected("20031108_000001")}));
    const std::string second = test::ReadFile(HomeFile(Expected("20031108_000001")));
    EXPECT_EQ(second.rfind("00:00:01.250 ", 0), 0u);
    EXPECT_NE(second.find("after midnight"), std::string::npos);
    EXPECT_EQ(second.find("before"), std::string::npos);
}

TEST_F(TraceTest, TagsFollowTheTensDigit) {
    SetTraceLevel(99);
    const struct {
        int level;
        const char* tag;
    } cases[] = {{5, ""}, {10, "ERR"}, {19, "ERR"}, {20, "INF"}, {35, "DBG"}, {45, "-->"},
                 {55, ""}, {-1, ""}};
    std::string expected;
    for (const auto& c : cases) {
        EXPECT_STREQ(TraceTag(c.level), c.tag);
        Trace(c.level, "L%d", c.level);
    }
    const std::string text = test::ReadFile(HomeFile(TraceFiles().at(0)));
    EXPECT_NE(text.find(" -->: L45\r\n"), std::string::npos);
    EXPECT_NE(text.find(" : L55\r\n"), std::string::npos);
}

TEST_F(TraceTest, LongMessageIsCutButTheLineStillEnds) {
    const std::string huge(100000, 'x');
    Trace(kTraceInfo, "%s", huge.c_str());
    const std::string text = test::ReadFile(HomeFile(TraceFiles().at(0)));
    const auto colon = text.find(": ");
    ASSERT_NE(colon, std::string::npos);
    EXPECT_EQ(text.size() - (colon + 2), size_t{kTraceMessageLimit} + 2);
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
}

TEST_F(TraceTest, NewBaseNameClosesTheFile) {
    Trace(kTraceInfo, "one");
    SetTraceFileBase(HomeFile("Other"));
    Trace(kTraceInfo, "two");
    EXPECT_EQ(TraceFiles().size(), 1u);
    EXPECT_TRUE(std::filesystem::exists(HomeFile("Other_20031107_235958_") +
                                        Expected("x").substr(6)));
}

TEST_F(TraceTest, UncreatableFileLosesTheMessageQuietly) {
    SetTraceFileBase(HomeFile("missing/dir/Log"));
    Trace(kTraceError, "lost");
    EXPECT_EQ(CurrentTraceFile(), "");
}

TEST_F(TraceTest, LinesOfManyThreadsNeverInterleave) {
    constexpr int kThreads = 4, kLines = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) Trace(kTraceInfo, "thread %d line %d %s", t, i, "payload");
        });
    for (auto& th : threads) th.join();
    std::istringstream in(test::ReadFile(HomeFile(TraceFiles().at(0))));
    const std::string shape(R"(\d\d:\d\d:\d\d\.\d{3} [0-9A-F]+ INF: thread \d line \d+ payload\r)");
    int count = 0;
    std::vector<int> next(kThreads, 0);
    for (std::string line; std::getline(in, line); ++count) {
        ASSERT_TRUE(test::RegexMatch(line, shape)) << line;
        int t = 0, i = 0;
        std::sscanf(line.c_str() + line.find("thread"), "thread %d line %d", &t, &i);
        EXPECT_EQ(i, next[t]++) << "per-thread order";
    }
    EXPECT_EQ(count, kThreads * kLines);
}

}  // namespace
}  // namespace wk
