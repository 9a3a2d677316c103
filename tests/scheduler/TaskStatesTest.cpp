#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "core/Clock.h"
#include "core/ConfigStore.h"
#include "scheduler/Scheduler.h"
#include "scheduler/TaskKinds.h"
#include "scheduler/TaskStates.h"
#include "support/TempHome.h"

namespace wk {
namespace {

// 7 November 2003 is a Friday; "now" is noon.
DateTime Fri(int h, int mi = 0) {
    return DateTime(2003, 11, 7, h, mi);
}

struct Answers {
    bool chunks = false, described = false, recording = false, active = false;
};

// Answers by stream name; "recording" stands for the controller's task
// having the same stream, start and end as the task asked about.
class ScriptedSource : public TaskStatusSource {
public:
    bool HasRecordedChunks(const std::string& s, const DateTime&, const DateTime&) override {
        return answers[s].chunks;
    }
    bool HasDescription(const std::string& s, const DateTime&, const DateTime&) override {
        return answers[s].described;
    }
    bool IsRecording(const ScheduleTask& task) override { return answers[task.StreamName()].recording; }
    bool IsStreamActive(const std::string& s) override { return answers[s].active; }
    std::map<std::string, Answers> answers;
};

class TaskStatesTest : public test::TempHomeTest {
protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        SetClock(&m_clock);
        ConfigStore config;
        config.SetString("AutoScheduleDownload", "1");
        config.SetString("AutoPlaylistDownload", "1");
        ASSERT_TRUE(config.Save());
        // Made in the temporary home, where schedule.txt is.
        m_scheduler = std::make_unique<Scheduler>();
        m_rows = std::make_unique<ScheduleRows>(*m_scheduler);
        m_scheduler->SetStatusSource(m_source);
    }
    void TearDown() override {
        m_rows.reset();
        m_scheduler.reset();
        SetClock(nullptr);
        TempHomeTest::TearDown();
    }
    std::vector<std::string> Streams() const {
        std::vector<std::string> names;
        for (const ScheduleRow& r : m_rows->Rows()) names.push_back(r.stream.empty() ? r.kind : r.stream);
        return names;
    }

    const DateTime m_now = Fri(12);
    ManualClock m_clock{m_now};
    std::shared_ptr<ScriptedSource> m_source = std::make_shared<ScriptedSource>();
    std::unique_ptr<Scheduler> m_scheduler;
    std::unique_ptr<ScheduleRows> m_rows;
};

TEST_F(TaskStatesTest, RowsShowPhaseAnswersAndMp3Time) {
    const struct {
        char kind;
        DateTime start, end;
        Answers answers;
        int status;
        std::string duration;  // "" with the kind column alone
        std::string mp3At;
    } cases[] = {
        {'O', Fri(10), Fri(11, 50), {true, true}, 3, "01:50:00", "07/11/2003 12:20:00"},
        {'O', Fri(10), Fri(11, 29), {true, false}, 4, "01:29:00", ""},
        {'O', Fri(10), Fri(11), {false, true}, 1, "", ""},
        {'O', Fri(11), Fri(13), {false, false, true}, 5, "02:00:00", "07/11/2003 13:30:00"},
        {'O', Fri(11), Fri(13), {true, false, false}, 6, "02:00:00", "07/11/2003 13:30:00"},
        {'O', Fri(11), Fri(11, 30), {true, true}, 3, "00:30:00", ""},  // ready exactly now
        {'O', Fri(13), Fri(14), {false, false, false, true}, 7, "01:00:00", "07/11/2003 14:30:00"},
        {'O', Fri(13), Fri(14), {}, 8, "01:00:00", "07/11/2003 14:30:00"},
        {'D', Fri(13), Fri(14), {false, false, false, true}, 7, "01:00:00", ""},
        {'W', Fri(13), Fri(14), {}, 8, "01:00:00", ""},
        {'O', DateTime(2003, 11, 5, 11), Fri(12, 0), {true}, 4, "49:00:00", "07/11/2003 12:30:00"},
    };
    std::vector<std::string> order;
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        const std::string stream = std::string("s").append(std::to_string(i));
        m_source->answers[stream] = c.answers;
        std::unique_ptr<ScheduleTask> task = std::make_unique<OnceTask>();
        if (c.kind == 'D') task = std::make_unique<DailyTask>();
        if (c.kind == 'W') task = std::make_unique<WeeklyTask>();
        task->SetStart(c.start);
        task->SetEnd(c.end);
        task->SetStreamName(stream);
        task->SetDescription("d" + stream);
        m_rows->AddRow(*m_scheduler->insertTask(*task), m_now);
    }
    for (const ScheduleRow& r : m_rows->Rows()) {
        const size_t i = std::stoul(r.task->StreamName().substr(1));
        const auto& c = cases[i];
        SCOPED_TRACE("case " + std::to_string(i));
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.duration, c.duration);
        EXPECT_EQ(r.mp3At, c.mp3At);
        EXPECT_EQ(r.kindOnly, c.duration.empty());
        EXPECT_EQ(r.description, c.duration.empty() ? "" : "d" + r.task->StreamName());
        order.push_back(r.task->StreamName());
    }
    // By start; equal starts in the order they came.
    EXPECT_EQ(order, (std::vector<std::string>{"s10", "s0", "s1", "s2", "s3", "s4", "s5", "s6", "s7", "s8",
                                                "s9"}));
    EXPECT_EQ(m_rows->Rows()[1].from, "07/11/2003 10:00:00 - 07/11/2003 11:50:00");

    // The refresh pass asks again; a final status stays.
    m_source->answers["s1"].described = true;
    m_source->answers["s6"].active = false;
    m_scheduler->ForEachTask([](ScheduleTask& t) {
        if (t.StreamName() == "s7") t.SetStatusCode(kStatusFinal);
    });
    EXPECT_EQ(m_rows->RefreshStates(m_now), 3);
    const std::vector<ScheduleRow> rows = m_rows->Rows();
    EXPECT_EQ(rows[2].status, kStatusDescribed);  // s1
    EXPECT_EQ(rows[7].status, kStatusStreamInactive);  // s6
    EXPECT_EQ(rows[8].status, kStatusFinal);  // s7
}

TEST_F(TaskStatesTest, DeletingAsksAndReachesTheFile) {
    struct : UserPrompt {
        int Show(const std::string& t, int) override { return asked = t, answer; }
        int answer = kIdNo;
        std::string asked;
    } prompt;
    for (const char* name : {"a", "b", "over"}) {
        OnceTask task;
        task.SetStreamName(name);
        task.SetStart(name[0] == 'o' ? Fri(9) : Fri(13));
        task.SetEnd(name[0] == 'o' ? Fri(10) : Fri(14));
        m_scheduler->insertTask(task);
    }
    ASSERT_TRUE(m_scheduler->save());
    m_rows->Refresh(m_now);  // "over" recorded nothing: the scheduler removes it
    ASSERT_EQ(Streams(), (std::vector<std::string>{"a", "b"}));

    const ScheduleTask* a = m_rows->Rows()[0].task;
    EXPECT_FALSE(m_rows->DeleteSelected(a, prompt, m_now));
    EXPECT_EQ(prompt.asked, "Deleting Schedule item(s): Are you sure?");
    EXPECT_EQ(Streams(), (std::vector<std::string>{"a", "b"}));

    prompt.answer = kIdYes;
    EXPECT_TRUE(m_rows->DeleteSelected(a, prompt, m_now));
    EXPECT_EQ(Streams(), (std::vector<std::string>{"b"}));
    Scheduler fromFile;
    fromFile.load();
    EXPECT_EQ(fromFile.TaskCount(), 1u);
    // A row that is gone is not deleted twice.
    EXPECT_FALSE(m_rows->DeleteSelected(a, prompt, m_now));
}

}  // namespace
}  // namespace wk
