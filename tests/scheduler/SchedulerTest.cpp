#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/Clock.h"
#include "core/ConfigStore.h"
#include "scheduler/PeriodCheck.h"
#include "scheduler/Scheduler.h"
#include "scheduler/TaskKinds.h"
#include "support/TempHome.h"

namespace wk {
namespace {

// 7 November 2003 is a Friday.
const DateTime kFriday(2003, 11, 7);

DateTime On(const DateTime& day, int h, int mi = 0, int s = 0, int ms = 0) {
    return DateTime(day.year, day.month, day.day, h, mi, s, ms);
}

template <typename T>
std::unique_ptr<T> Make(const DateTime& start, const DateTime& end,
                        const std::string& stream = "Radio 1",
                        const std::string& description = "") {
    auto task = std::make_unique<T>();
    task->SetStart(start);
    task->SetEnd(end);
    task->SetStreamName(stream);
    task->SetDescription(description);
    return task;
}

std::unique_ptr<WeeklyTask> MakeWeekly(int weekday, const DateTime& start, const DateTime& end,
                                       const std::string& stream = "Radio 1",
                                       const std::string& description = "") {
    auto task = Make<WeeklyTask>(start, end, stream, description);
    task->SetWeekday(weekday);
    return task;
}

std::unique_ptr<SwitchedTask> MakeSwitched(bool on, const DateTime& start, const DateTime& end) {
    auto task = Make<SwitchedTask>(start, end);
    task->SetSwitchedOn(on);
    return task;
}

class SchedulerTest : public test::TempHomeTest {
protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        SetClock(&m_clock);
    }
    void TearDown() override {
        SetClock(nullptr);
        TempHomeTest::TearDown();
    }

    std::vector<std::string> Streams(const Scheduler& scheduler) const {
        std::vector<std::string> names;
        for (const auto& task : scheduler.Tasks()) names.push_back(task->StreamName());
        return names;
    }

    ManualClock m_clock{On(kFriday, 12)};
};

// --- tasks -----------------------------------------------------------------

TEST_F(SchedulerTest, ActivityAtTheEdgesOfThePeriod) {
    ASSERT_EQ(kFriday.WeekDay(), 5);
    const DateTime ten = On(kFriday, 10);
    const DateTime eleven = On(kFriday, 11);
    const std::shared_ptr<ScheduleTask> once = Make<OnceTask>(ten, eleven);
    const std::shared_ptr<ScheduleTask> daily = Make<DailyTask>(ten, eleven);
    const std::shared_ptr<ScheduleTask> friday = MakeWeekly(5, ten, eleven);
    const std::shared_ptr<ScheduleTask> thursday = MakeWeekly(4, ten, eleven);
    const std::shared_ptr<ScheduleTask> on = MakeSwitched(true, ten, eleven);
    const std::shared_ptr<ScheduleTask> off = MakeSwitched(false, ten, eleven);
    const struct {
        std::shared_ptr<ScheduleTask> task;
        DateTime t;
        bool active;
    } cases[] = {
        {once, On(kFriday, 9, 59, 59, 999), false},
        {once, ten, true},
        {once, On(kFriday, 10, 59, 59, 999), true},
        {once, eleven, false},
        {daily, ten, true},
        {daily, On(kFriday, 10, 59, 59, 999), true},
        {daily, eleven, false},
        {friday, On(kFriday, 10, 30), true},
        {friday, eleven, false},
        {thursday, On(kFriday, 10, 30), false},
        {on, On(kFriday, 23), true},  // a switched task ignores the clock
        {off, On(kFriday, 10, 30), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.task->IsActive(c.t), c.active) << c.task->Kind() << ' ' << c.t.LongText();
}

TEST_F(SchedulerTest, AdvanceMovesRecurringTasksToTheirNextOccurrence) {
    // Dated long ago on purpose: advancing starts from today's date.
    const DateTime old(2003, 1, 1);
    const struct {
        const char* name;
        std::shared_ptr<ScheduleTask> task;
        DateTime now;
        DateTime start;  // expected
        DateTime end;
    } cases[] = {
        {"weekly Wednesday on a Friday", MakeWeekly(3, On(old, 10), On(old, 11)), On(kFriday, 12),
         DateTime(2003, 11, 12, 10), DateTime(2003, 11, 12, 11)},
        {"weekly today, end passed", MakeWeekly(5, On(old, 10), On(old, 11)), On(kFriday, 12),
         DateTime(2003, 11, 14, 10), DateTime(2003, 11, 14, 11)},
        {"weekly today, end ahead", MakeWeekly(5, On(old, 10), On(old, 13)), On(kFriday, 12),
         DateTime(2003, 11, 7, 10), DateTime(2003, 11, 7, 13)},
        {"weekly today, end now", MakeWeekly(5, On(old, 10), On(old, 12)), On(kFriday, 12),
         DateTime(2003, 11, 7, 10), DateTime(2003, 11, 7, 12)},
        {"weekly Sunday on a Friday", MakeWeekly(0, On(old, 10), On(old, 11)), On(kFriday, 12),
         DateTime(2003, 11, 9, 10), DateTime(2003, 11, 9, 11)},
        {"weekly Monday across the year", MakeWeekly(1, On(old, 10, 0, 0, 250), On(old, 11)),
         DateTime(2003, 12, 31, 12), DateTime(2004, 1, 5, 10, 0, 0, 250), DateTime(2004, 1, 5, 11)},
        {"daily after its occurrence", Make<DailyTask>(On(kFriday, 10), On(kFriday, 11)),
         On(kFriday, 12), DateTime(2003, 11, 8, 10), DateTime(2003, 11, 8, 11)},
        {"daily into a leap day", Make<DailyTask>(On(old, 22), On(old, 23)),
         DateTime(2004, 2, 28, 23, 30), DateTime(2004, 2, 29, 22), DateTime(2004, 2, 29, 23)},
        {"daily already far ahead",
         Make<DailyTask>(DateTime(2003, 11, 10, 10), DateTime(2003, 11, 10, 11)), On(kFriday, 12),
         DateTime(2003, 11, 10, 10), DateTime(2003, 11, 10, 11)},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(c.task->Advance(c.now)) << c.name;
        EXPECT_EQ(c.task->Start().LongText(), c.start.LongText()) << c.name;
        EXPECT_EQ(c.task->End().LongText(), c.end.LongText()) << c.name;
    }

    for (std::shared_ptr<ScheduleTask> task :
         {std::shared_ptr<ScheduleTask>(Make<OnceTask>(On(old, 10), On(old, 11))),
          std::shared_ptr<ScheduleTask>(MakeSwitched(true, On(old, 10), On(old, 11)))}) {
        EXPECT_FALSE(task->Advance(On(kFriday, 12))) << task->Kind();
        EXPECT_EQ(task->Start(), On(old, 10)) << task->Kind();
        EXPECT_EQ(task->End(), On(old, 11)) << task->Kind();
    }
}

TEST_F(SchedulerTest, RecurringTasksRecordAgainOnTheirNextDays) {
    m_clock.Set(On(kFriday, 8));
    test::WriteFile(HomeFile("schedule.txt"),
                    std::string(kScheduleLegend) +
                        "\nD 10:00:00 -> 11:00:00 Daily\n"
                        "W 14:00:00 -> 15:00:00 6 Saturday       Weekly\n");
    Scheduler scheduler;
    ASSERT_TRUE(scheduler.load());

    // One controller pass every ten minutes for eight and a half days.
    std::vector<std::string> began;
    const ScheduleTask* previous = nullptr;
    const DateTime last(2003, 11, 15, 16);
    for (DateTime now = m_clock.Now(); now <= last; now = m_clock.Now()) {
        scheduler.advanceRecurringTasks(now);
        const ScheduleTask* active = scheduler.findActiveTask(now);
        if (active != nullptr && active != previous)
            began.push_back(now.LongText() + " " + active->StreamName());
        previous = active;
        m_clock.Advance(10 * kMsPerMinute);
    }
    const std::vector<std::string> expected = {
        "07/11/2003  10:00:00.000 Daily",  "08/11/2003  10:00:00.000 Daily",
        "08/11/2003  14:00:00.000 Weekly", "09/11/2003  10:00:00.000 Daily",
        "10/11/2003  10:00:00.000 Daily",  "11/11/2003  10:00:00.000 Daily",
        "12/11/2003  10:00:00.000 Daily",  "13/11/2003  10:00:00.000 Daily",
        "14/11/2003  10:00:00.000 Daily",  "15/11/2003  10:00:00.000 Daily",
        "15/11/2003  14:00:00.000 Weekly",
    };
    EXPECT_EQ(began, expected);
}

// --- lines -----------------------------------------------------------------

TEST_F(SchedulerTest, LinesHaveTheirFixedLayouts) {
    const DateTime a(2003, 11, 7, 17, 42, 11, 999);
    const DateTime b(2003, 11, 7, 18, 0, 0);
    const std::string longStream(100, 's');
    const std::string longDescription(100, 'd');
    const std::string cutText = longStream + "\t" + std::string(27, 'd');
    const struct {
        std::shared_ptr<ScheduleTask> task;
        std::string line;
    } cases[] = {
        {Make<OnceTask>(a, b, "Radio 1", "News"),
         "O 07/11/2003  17:42:11 -> 07/11/2003  18:00:00 Radio 1\tNews"},
        {Make<DailyTask>(DateTime(2003, 11, 7, 6, 30), DateTime(2003, 11, 7, 7, 15), "Jazz FM",
                         "Breakfast"),
         "D 06:30:00 -> 07:15:00 Jazz FM\tBreakfast"},
        {MakeWeekly(3, On(kFriday, 20), On(kFriday, 22), "Classic", "Opera"),
         "W 20:00:00 -> 22:00:00 3 Wednesday      Classic\tOpera"},
        {MakeWeekly(0, On(kFriday, 20), On(kFriday, 22), "Classic", ""),
         "W 20:00:00 -> 22:00:00 0 Sunday         Classic\t"},
        {MakeWeekly(7, On(kFriday, 20), On(kFriday, 22), "X", "y"),
         "W 20:00:00 -> 22:00:00 7 Error          X\ty"},
        {MakeWeekly(-1, On(kFriday, 20), On(kFriday, 22), "X", "y"),
         "W 20:00:00 -> 22:00:00 ? Error          X\ty"},
        // Line ends inside the text would split the task over two lines.
        {Make<DailyTask>(On(kFriday, 6), On(kFriday, 7), "Jazz\r\nFM", "two\nlines"),
         "D 06:00:00 -> 07:00:00 Jazz  FM\ttwo lines"},
        // Text beyond the line buffer is cut.
        {Make<OnceTask>(a, b, longStream, longDescription),
         "O 07/11/2003  17:42:11 -> 07/11/2003  18:00:00 " + cutText},
        // A damaged date prints wider than its slot; the text keeps its place.
        {Make<OnceTask>(a, DateTime(123456, 11, 7, 18), "R", "d"),
         "O 07/11/2003  17:42:11 -> 07/11/123456  18:00: R\td"},
    };
    for (const auto& c : cases) {
        const std::string line = c.task->WriteLine();
        EXPECT_EQ(line, c.line);
        EXPECT_LT(line.size(), c.task->LineBufferLength()) << line;
    }
}

TEST_F(SchedulerTest, TaskFromLineReadsEachKind) {
    // Daily and weekly lines are dated today.
    const struct {
        std::string line;
        char kind;  // 0: no task
        DateTime start;
        DateTime end;
        int weekday;
        std::string stream;
        std::string description;
    } cases[] = {
        {"O 07/11/2003  17:42:11 -> 08/11/2003  01:00:00 Radio 1\tNews", 'O',
         DateTime(2003, 11, 7, 17, 42, 11), DateTime(2003, 11, 8, 1), 0, "Radio 1", "News"},
        {"D 06:30:00 -> 07:15:00 Jazz FM", 'D', On(kFriday, 6, 30), On(kFriday, 7, 15), 0,
         "Jazz FM", ""},
        {"D 06:30:00 -> 07:15:00 Jazz FM\tA\tB\r", 'D', On(kFriday, 6, 30), On(kFriday, 7, 15), 0,
         "Jazz FM", "A\tB"},
        {"D 06:30:00 -> 07:15:00 ", 'D', On(kFriday, 6, 30), On(kFriday, 7, 15), 0, "", ""},
        // The digit counts, not the name.
        {"W 20:00:00 -> 22:00:00 3 Monday         Classic\tOpera", 'W', On(kFriday, 20),
         On(kFriday, 22), 3, "Classic", "Opera"},
        {std::string("O 07/11/2003  17:42:11 -> 08/11/2003  01:00:00 ").append(300, 'x'), 'O',
         DateTime(2003, 11, 7, 17, 42, 11), DateTime(2003, 11, 8, 1), 0,
         std::string(kTaskTextLimit, 'x'), ""},
        {"O 07/11/2003  17:42:11 -> 08/11/2003  01:00:00", 0, {}, {}, 0, "", ""},  // too short
        {"D 06:30:00 -> 07:15:00", 0, {}, {}, 0, "", ""},
        {"W 20:00:00 -> 22:00:00 3 Wednesday     ", 0, {}, {}, 0, "", ""},
        {"W 20:00:00 -> 22:00:00 7 Error          X\ty", 0, {}, {}, 0, "", ""},
        {"W 20:00:00 -> 22:00:00 x Error          X\ty", 0, {}, {}, 0, "", ""},
        {"O 31/02/2003  17:42:11 -> 08/11/2003  01:00:00 R\td", 0, {}, {}, 0, "", ""},
        {"O garbage garbage garbage garbage garbage garbage", 0, {}, {}, 0, "", ""},
        {"D 25:00:00 -> 07:15:00 Jazz FM", 0, {}, {}, 0, "", ""},
        {"C 07/11/2003  17:42:11 -> 08/11/2003  01:00:00 Radio 1\tNews", 0, {}, {}, 0, "", ""},
        {"o 07/11/2003  17:42:11 -> 08/11/2003  01:00:00 Radio 1\tNews", 0, {}, {}, 0, "", ""},
        {kScheduleLegend, 0, {}, {}, 0, "", ""},
        {"", 0, {}, {}, 0, "", ""},
        {"\r", 0, {}, {}, 0, "", ""},
    };
    for (const auto& c : cases) {
        const auto task = Scheduler::TaskFromLine(c.line);
        if (c.kind == 0) {
            EXPECT_EQ(task, nullptr) << c.line;
            continue;
        }
        ASSERT_NE(task, nullptr) << c.line;
        EXPECT_EQ(task->Kind(), c.kind) << c.line;
        EXPECT_EQ(task->Start().LongText(), c.start.LongText()) << c.line;
        EXPECT_EQ(task->End().LongText(), c.end.LongText()) << c.line;
        EXPECT_EQ(task->Weekday(), c.weekday) << c.line;
        EXPECT_EQ(task->StreamName(), c.stream) << c.line;
        EXPECT_EQ(task->Description(), c.description) << c.line;
    }
}

// --- the file --------------------------------------------------------------

TEST_F(SchedulerTest, SaveWritesTheLegendAndEveryTaskButSwitchedOnes) {
    Scheduler scheduler;
    scheduler.insertTask(*Make<OnceTask>(DateTime(2003, 11, 7, 17, 42, 11),
                                         DateTime(2003, 11, 7, 18), "Radio 1", "News"));
    scheduler.insertTask(*MakeSwitched(true, On(kFriday, 12), On(kFriday, 13)));
    scheduler.insertTask(*Make<DailyTask>(On(kFriday, 6, 30), On(kFriday, 7, 15), "Jazz FM", ""));
    scheduler.insertTask(*MakeWeekly(2, On(kFriday, 20), On(kFriday, 22), "Classic", "Opera"));
    ASSERT_TRUE(scheduler.save());
    EXPECT_EQ(test::ReadFile(HomeFile("schedule.txt")),
              " LEGEND: O - once; D - daily; W - weekly\n"
              "O 07/11/2003  17:42:11 -> 07/11/2003  18:00:00 Radio 1\tNews\n"
              "D 06:30:00 -> 07:15:00 Jazz FM\t\n"
              "W 20:00:00 -> 22:00:00 2 Tuesday        Classic\tOpera\n");
    for (const auto& e : std::filesystem::directory_iterator(m_dir.Path()))
        EXPECT_EQ(e.path().filename().string().find(".new"), std::string::npos) << e.path();

    // Reading it back gives the same tasks; the switched one stays in memory.
    std::vector<ScheduleTask*> replaced;
    scheduler.SetTaskDeletedHandler([&](ScheduleTask* task) { replaced.push_back(task); });
    ASSERT_TRUE(scheduler.load());
    EXPECT_EQ(replaced.size(), 3u);
    std::string lines;
    for (const auto& task : scheduler.Tasks()) {
        lines += task->Kind();
        lines += task->WriteLine();
        lines += '|';
    }
    EXPECT_EQ(lines,
              "C|"
              "OO 07/11/2003  17:42:11 -> 07/11/2003  18:00:00 Radio 1\tNews|"
              "DD 06:30:00 -> 07:15:00 Jazz FM\t|"
              "WW 20:00:00 -> 22:00:00 2 Tuesday        Classic\tOpera|");
}

TEST_F(SchedulerTest, LoadFailuresLeaveTheListAlone) {
    Scheduler scheduler;
    scheduler.insertTask(*Make<OnceTask>(On(kFriday, 10), On(kFriday, 11), "kept"));
    EXPECT_FALSE(scheduler.load());  // no file yet
    EXPECT_EQ(Streams(scheduler), std::vector<std::string>{"kept"});

    // A schedule that cannot be replaced stays as it was (a folder in its
    // place stops even root).
    std::filesystem::create_directories(HomeFile("schedule.txt/old"));
    EXPECT_FALSE(scheduler.save());
    EXPECT_TRUE(std::filesystem::is_directory(HomeFile("schedule.txt/old")));
}

// The daemon's list lives for days; a command changes the file meanwhile.
TEST_F(SchedulerTest, SaveKeepsWhatOthersSavedMeanwhile) {
    Scheduler daemon;
    ScheduleTask* a = daemon.insertTask(*Make<OnceTask>(On(kFriday, 10), On(kFriday, 11), "a"));
    ASSERT_TRUE(daemon.save());
    Scheduler shell;
    ASSERT_TRUE(shell.load());
    shell.insertTask(*Make<OnceTask>(On(kFriday, 12), On(kFriday, 13), "b"));
    ASSERT_TRUE(shell.save());
    daemon.deleteTask(a);
    daemon.insertTask(*Make<OnceTask>(On(kFriday, 14), On(kFriday, 15), "c"));
    ASSERT_TRUE(daemon.save());
    Scheduler read;
    ASSERT_TRUE(read.load());
    EXPECT_EQ(Streams(read), (std::vector<std::string>{"b", "c"}));
    EXPECT_EQ(Streams(daemon), (std::vector<std::string>{"b", "c"}));
}

TEST_F(SchedulerTest, HostileFileKeepsItsGoodLines) {
    std::string binary;
    for (int i = 0; i < 256; ++i) binary += static_cast<char>(i == '\n' ? 0 : i);
    std::string bytes = std::string(kScheduleLegend) + "\r\n";
    bytes += "O 07/11/2003  17:42:11 -> 07/11/2003  18:00:00 Good once\tCR LF\r\n";
    bytes += binary + "\n";
    bytes += 'O';
    bytes += binary;
    bytes += binary;
    bytes += '\n';
    bytes += std::string(1 << 20, 'O') + "\n";
    bytes += "O 07/11/2003  17:42:11 -> 07/11/2003  18:00:00 ";
    bytes.append(1 << 20, 'x');
    bytes += '\n';
    bytes += "O 07/11\nD 10:00\nW\nD\n\n\r\n";
    bytes += "X 07/11/2003  17:42:11 -> 07/11/2003  18:00:00 unknown kind\n";
    bytes += "C 07/11/2003  17:42:11 -> 07/11/2003  18:00:00 switched\n";
    bytes += "D 10:00:00 -> 11:00:00 Good daily\n";
    bytes += "W 10:00:00 -> 11:00:00 9 Error          bad weekday\n";
    bytes += "W 10:00:00 -> 11:00:00 1 Monday         Good weekly";  // no final line end
    test::WriteFile(HomeFile("schedule.txt"), bytes);

    Scheduler scheduler;
    ASSERT_TRUE(scheduler.load());
    const auto tasks = scheduler.Tasks();
    ASSERT_EQ(tasks.size(), 4u);
    EXPECT_EQ(tasks[0]->StreamName(), "Good once");
    EXPECT_EQ(tasks[0]->Description(), "CR LF");
    EXPECT_EQ(tasks[1]->StreamName(), std::string(kTaskTextLimit, 'x'));
    EXPECT_EQ(tasks[2]->StreamName(), "Good daily");
    EXPECT_EQ(tasks[3]->StreamName(), "Good weekly");
    EXPECT_EQ(tasks[3]->Weekday(), 1);
}

// --- the list --------------------------------------------------------------

TEST_F(SchedulerTest, InsertKeepsAClonedTaskAndDeleteOnlyListedOnes) {
    Scheduler scheduler;
    std::vector<std::string> deleted;
    scheduler.SetTaskDeletedHandler(
        [&](ScheduleTask* task) { deleted.push_back(task->StreamName()); });

    const auto mine = Make<OnceTask>(On(kFriday, 10), On(kFriday, 11), "mine");
    ScheduleTask* kept = scheduler.insertTask(*mine);
    ASSERT_NE(kept, nullptr);
    EXPECT_NE(kept, mine.get());
    kept->SetStreamName("changed");
    scheduler.EvaluateStatus(*kept, On(kFriday, 12), true);
    EXPECT_EQ(mine->StreamName(), "mine");
    EXPECT_EQ(mine->StatusCode(), kStatusNotEvaluated);

    EXPECT_FALSE(scheduler.deleteTask(mine.get()));
    EXPECT_FALSE(scheduler.deleteTask(nullptr));
    EXPECT_TRUE(deleted.empty());
    EXPECT_EQ(scheduler.TaskCount(), 1u);

    EXPECT_TRUE(scheduler.deleteTask(kept));
    EXPECT_EQ(deleted, std::vector<std::string>{"changed"});
    EXPECT_EQ(scheduler.TaskCount(), 0u);
    EXPECT_FALSE(scheduler.deleteTask(kept));  // already gone
    EXPECT_EQ(deleted.size(), 1u);
}

TEST_F(SchedulerTest, FindActiveTaskTakesTheFirstInListOrder) {
    Scheduler scheduler;
    scheduler.insertTask(*Make<OnceTask>(On(kFriday, 9), On(kFriday, 10), "earlier"));
    scheduler.insertTask(*Make<DailyTask>(On(kFriday, 10), On(kFriday, 12), "first"));
    scheduler.insertTask(*Make<OnceTask>(On(kFriday, 11), On(kFriday, 12), "second"));
    const struct {
        DateTime t;
        std::string stream;  // empty: none
    } cases[] = {
        {On(kFriday, 8), ""},
        {On(kFriday, 9, 30), "earlier"},
        {On(kFriday, 11, 30), "first"},
        {On(kFriday, 12), ""},
    };
    for (const auto& c : cases) {
        const ScheduleTask* task = scheduler.findActiveTask(c.t);
        EXPECT_EQ(task == nullptr ? "" : task->StreamName(), c.stream) << c.t.LongText();
    }
}

class FakeStatusSource : public TaskStatusSource {
public:
    bool HasRecordedChunks(const std::string& stream, const DateTime&, const DateTime&) override {
        return chunks || stream == "recorded";
    }
    bool HasDescription(const std::string&, const DateTime&, const DateTime&) override {
        return description;
    }
    bool IsRecording(const ScheduleTask&) override { return recording; }
    bool IsStreamActive(const std::string&) override { return active; }

    bool chunks = false;
    bool description = false;
    bool recording = false;
    bool active = false;
};

TEST_F(SchedulerTest, StatusCodes) {
    const DateTime now = On(kFriday, 12);
    const DateTime past = On(kFriday, 10);
    const DateTime future = On(kFriday, 14);
    const struct {
        DateTime start;
        DateTime end;
        int32_t stored;
        bool refresh;
        bool chunks, description, recording, active;
        int32_t expected;
    } cases[] = {
        {past, On(kFriday, 11), 0, false, false, false, false, false, 1},
        {past, now, 0, true, false, false, false, false, 1},  // end == now is over
        {past, On(kFriday, 11), 0, true, true, true, false, false, 3},
        {past, On(kFriday, 11), 0, true, true, false, false, false, 4},
        {past, future, 0, true, false, false, true, false, 5},
        {past, future, 0, true, false, false, false, false, 6},
        {now, future, 0, true, false, false, false, false, 6},  // start == now is running
        {On(kFriday, 13), future, 0, true, false, false, false, true, 7},
        {On(kFriday, 13), future, 0, true, false, false, false, false, 8},
        {past, On(kFriday, 11), 2, true, true, true, false, false, 2},   // final
        {past, On(kFriday, 11), 5, false, true, true, false, false, 5},  // kept without refresh
        {past, On(kFriday, 11), 5, true, true, true, false, false, 3},
    };
    Scheduler scheduler;
    auto source = std::make_shared<FakeStatusSource>();
    scheduler.SetStatusSource(source);
    for (const auto& c : cases) {
        *source = FakeStatusSource();
        source->chunks = c.chunks;
        source->description = c.description;
        source->recording = c.recording;
        source->active = c.active;
        auto task = Make<OnceTask>(c.start, c.end);
        task->SetStatusCode(c.stored);
        EXPECT_EQ(scheduler.EvaluateStatus(*task, now, c.refresh), c.expected)
            << c.start.TimeText() << "-" << c.end.TimeText() << " stored " << c.stored;
        EXPECT_EQ(task->StatusCode(), c.expected);
    }

    // The default source knows of no recordings and no stream on air.
    scheduler.SetStatusSource(nullptr);
    auto over = Make<OnceTask>(past, On(kFriday, 11), "recorded");
    auto coming = Make<OnceTask>(future, On(kFriday, 15));
    EXPECT_EQ(scheduler.EvaluateStatus(*over, now, true), kStatusNothingRecorded);
    EXPECT_EQ(scheduler.EvaluateStatus(*coming, now, true), kStatusStreamInactive);
}

TEST_F(SchedulerTest, RemoveFinishedTasksFollowsTheDownloadSettings) {
    const DateTime now = On(kFriday, 12);
    const DateTime ended = On(kFriday, 11);
    const struct {
        const char* scheduleDownload;
        const char* playlistDownload;
        std::vector<std::string> removed;
    } cases[] = {
        // Downloads off: every once task that is over goes.
        {"0", "1", {"nothing", "recorded", "final"}},
        {"1", "0", {"nothing", "recorded", "final"}},
        // Downloads on: only the ones with nothing recorded, or marked final.
        {"1", "1", {"nothing", "final"}},
    };
    for (const auto& c : cases) {
        ConfigStore config;
        config.SetString("AutoScheduleDownload", c.scheduleDownload);
        config.SetString("AutoPlaylistDownload", c.playlistDownload);
        ASSERT_TRUE(config.Save());

        Scheduler scheduler;
        scheduler.SetStatusSource(std::make_shared<FakeStatusSource>());
        scheduler.insertTask(*Make<OnceTask>(On(kFriday, 10), ended, "nothing"));
        scheduler.insertTask(*Make<OnceTask>(On(kFriday, 10), ended, "recorded"));
        scheduler.insertTask(*Make<OnceTask>(On(kFriday, 11), On(kFriday, 13), "running"));
        scheduler.insertTask(*Make<OnceTask>(On(kFriday, 13), On(kFriday, 14), "coming"));
        scheduler.insertTask(*Make<OnceTask>(On(kFriday, 10), ended, "final"))
            ->SetStatusCode(kStatusFinal);
        scheduler.insertTask(*Make<DailyTask>(On(kFriday, 10), ended, "daily"));
        scheduler.insertTask(*MakeWeekly(5, On(kFriday, 10), ended, "weekly"));
        scheduler.insertTask(*MakeSwitched(true, On(kFriday, 10), ended))
            ->SetStreamName("switched");

        std::vector<std::string> removed;
        int nested = -1;
        scheduler.SetTaskDeletedHandler([&](ScheduleTask* task) {
            removed.push_back(task->StreamName());
            // A second call while one runs returns at once.
            nested = scheduler.removeFinishedTasks(now);
        });
        EXPECT_EQ(scheduler.removeFinishedTasks(now), static_cast<int>(c.removed.size()));
        EXPECT_EQ(removed, c.removed) << c.scheduleDownload << c.playlistDownload;
        EXPECT_EQ(nested, 0);
        EXPECT_EQ(scheduler.TaskCount(), 8 - c.removed.size());
        EXPECT_EQ(scheduler.removeFinishedTasks(now), 0);  // the flag was cleared
    }
}

TEST_F(SchedulerTest, FindAndInsertFromTwoThreads) {
    Scheduler scheduler;
    constexpr int kInserts = 200;
    std::atomic<bool> stop{false};
    std::atomic<int> found{0};
    std::thread reader([&] {
        while (!stop.load()) {
            const auto lock = scheduler.LockGuard();
            if (const ScheduleTask* task = scheduler.findActiveTask(On(kFriday, 10, 30)))
                found += task->StreamName().empty() ? 0 : 1;
        }
    });
    for (int i = 0; i < kInserts; ++i) {
        ScheduleTask* task = scheduler.insertTask(
            *Make<OnceTask>(On(kFriday, 10), On(kFriday, 11), std::to_string(i)));
        if (i % 2 == 1) scheduler.deleteTask(task);
    }
    stop = true;
    reader.join();
    EXPECT_EQ(scheduler.TaskCount(), static_cast<size_t>(kInserts / 2));
    EXPECT_EQ(scheduler.findActiveTask(On(kFriday, 10, 30))->StreamName(), "0");
}

TEST(PeriodCheckTest, Texts) {
    const DateTime now(2003, 11, 7, 12);
    const std::string past =
        "Can not schedule recording in the past. Please, set end time to some time in future.";
    const std::string reversed =
        "Error! Start time is greater than end time. Please, enter valid time interval.";
    const struct {
        DateTime start;
        DateTime end;
        bool once;
        std::string text;
    } cases[] = {
        {DateTime(2003, 11, 7, 13), DateTime(2003, 11, 7, 14), true, ""},
        {DateTime(2003, 11, 7, 10), DateTime(2003, 11, 7, 12, 0, 1), true, ""},
        {DateTime(2003, 11, 7, 10), DateTime(2003, 11, 7, 12), true, past},
        {DateTime(2003, 11, 7, 15), DateTime(2003, 11, 7, 11), true, past},
        {DateTime(2003, 11, 7, 15), DateTime(2003, 11, 7, 14), true, reversed},
        {DateTime(2003, 11, 7, 9), DateTime(2003, 11, 7, 10), false, ""},
        {DateTime(2003, 11, 7, 10), DateTime(2003, 11, 7, 9), false, reversed},
        {DateTime(2003, 11, 7, 10), DateTime(2003, 11, 7, 10), false, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ValidatePeriod(c.start, c.end, now, c.once), c.text)
            << c.start.LongText() << " " << c.end.LongText() << " " << c.once;
}

}  // namespace
}  // namespace wk
