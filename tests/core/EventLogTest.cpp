#include "core/EventLog.h"

#include <thread>
#include <vector>

#include "core/Clock.h"
#include "core/ProgramHome.h"
#include "core/UserPrompt.h"
#include "support/TempHome.h"

namespace wk {
namespace {

class ScriptedPrompt : public UserPrompt {
public:
    explicit ScriptedPrompt(int answer) : m_answer(answer) {}
    int Show(const std::string& text, int style) override {
        asked.push_back(text);
        styles.push_back(style);
        return m_answer;
    }
    std::vector<std::string> asked;
    std::vector<int> styles;

private:
    int m_answer;
};

class EventLogTest : public test::TempHomeTest {
protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        SetClock(&m_clock);
        EventLog::Instance().Close();
        ASSERT_TRUE(EventLog::Instance().Open());
    }
    void TearDown() override {
        EventLog::Instance().Close();
        SetUserPrompt(nullptr);
        SetClock(nullptr);
        TempHomeTest::TearDown();
    }
    ManualClock m_clock{DateTime(2003, 7, 4, 9, 5, 3, 700)};
};

TEST_F(EventLogTest, LineFormatAndViewerText) {
    AddEvent("first");
    m_clock.Advance(kMsPerHour * 15);
    EXPECT_EQ(Report("second"), 1);
    EXPECT_EQ(test::ReadFile(HomeFile("events.txt")),
              "09:05:03  04/07/2003  first\n00:05:03  05/07/2003  second\n");
    EXPECT_EQ(EventLog::Instance().ViewerText(),
              "09:05:03  04/07/2003  first\r\n00:05:03  05/07/2003  second");
}

TEST_F(EventLogTest, ReportWithAStyleAsksInsteadOfLogging) {
    ScriptedPrompt prompt(kIdOk);
    SetUserPrompt(&prompt);
    EXPECT_EQ(ReportId(61208, kMbOk | kMbIconStop), kIdOk);
    ASSERT_EQ(prompt.asked.size(), 1u);
    EXPECT_EQ(prompt.asked[0], "Cannot determine sound card capabilities!");
    EXPECT_EQ(test::ReadFile(HomeFile("events.txt")), "");
    EXPECT_EQ(ReportId(61238), 1);
    EXPECT_EQ(test::ReadFile(HomeFile("events.txt")), "09:05:03  04/07/2003  StreamPath is not selected!\n");
}

TEST_F(EventLogTest, ClearingAnsweredNoKeepsEverythingYesDeletes) {
    AddEvent("keep me");
    ScriptedPrompt no(kIdNo);
    SetUserPrompt(&no);
    EXPECT_FALSE(ClearEvents());
    EXPECT_EQ(no.asked.at(0), "Do you really want to delete the events?");
    EXPECT_EQ(no.styles.at(0) & 0xF, kMbYesNo);
    EXPECT_EQ(test::ReadFile(HomeFile("events.txt")), "09:05:03  04/07/2003  keep me\n");
    EXPECT_EQ(EventLog::Instance().ViewerText(), "09:05:03  04/07/2003  keep me");

    ScriptedPrompt yes(kIdYes);
    SetUserPrompt(&yes);
    EXPECT_TRUE(ClearEvents());
    EXPECT_EQ(test::ReadFile(HomeFile("events.txt")), "");
    EXPECT_EQ(EventLog::Instance().ViewerText(), "");
    AddEvent("after");  // the log is usable again
    EXPECT_EQ(test::ReadFile(HomeFile("events.txt")), "09:05:03  04/07/2003  after\n");
}

TEST_F(EventLogTest, ShowEventsReadsTheFileAgainWhateverItsLineEnds) {
    EventLog::Instance().Close();
    std::string bytes = "10:00:00  01/01/2004  from elsewhere\r\n";
    bytes += std::string("11:00:00  01/01/2004  bin\x01\xff", 28) + "\n";
    bytes += "12:00:00  01/01/2004  " + std::string(1 << 20, 'L') + "\n";
    bytes += "13:00:00  01/01/2004  no final end";
    test::WriteFile(HomeFile("events.txt"), bytes);
    ASSERT_TRUE(EventLog::Instance().Open());
    AddEvent("added");
    ShowEvents();
    const auto lines = EventLog::Instance().ReadLines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "10:00:00  01/01/2004  from elsewhere");
    EXPECT_EQ(lines[2].size(), 22u + (1 << 20));
    EXPECT_EQ(lines[3], "13:00:00  01/01/2004  no final end");
    EXPECT_EQ(lines[4], "09:05:03  04/07/2003  added");
    EXPECT_EQ(EventLog::Instance().ViewerText().rfind("10:00:00  01/01/2004  from elsewhere\r\n", 0), 0u);
}

TEST_F(EventLogTest, EventsFromManyThreadsStayWholeLines) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) AddEvent("worker " + std::to_string(t) + " event " + std::to_string(i));
        });
    for (auto& th : threads) th.join();
    const auto lines = EventLog::Instance().ReadLines();
    ASSERT_EQ(lines.size(), 800u);
    for (const auto& line : lines) ASSERT_EQ(line.rfind("09:05:03  04/07/2003  worker ", 0), 0u) << line;
}

TEST_F(EventLogTest, UnopenableLogStillShowsEvents) {
    EventLog::Instance().Close();
    test::WriteFile(HomeFile("plain"), "x");
    SetProgramHome(HomeFile("plain") + "/sub");
    EXPECT_FALSE(EventLog::Instance().Open());
    AddEvent("shown only");
    EXPECT_EQ(EventLog::Instance().ViewerText(), "09:05:03  04/07/2003  shown only");
}

}  // namespace
}  // namespace wk
