#include <cstdio>
#include <filesystem>
#include <future>
#include <thread>

#include "ServiceClientTest.h"
#include "scheduler/ScheduleTask.h"
#include "scheduler/Scheduler.h"
#include "server/ChannelList.h"
#include "server/Credentials.h"
#include "server/ScheduleDownload.h"
#include "server/TimeCheck.h"
#include "streamstore/StreamNameFile.h"

namespace wk {
namespace {

// Local clock of every test: 2026-03-10 12:00:00.000 UTC.
const DateTime kNow(2026, 3, 10, 12, 0, 0, 0);

// The service's clock runs 2 s ahead unless a test says otherwise.
class ScheduleDownloadTest : public test::ServiceClientTest {
protected:
    ScheduleDownloadTest() : ServiceClientTest(kNow) {}
    void SetUp() override {
        ServiceClientTest::SetUp();
        ASSERT_TRUE(WriteCredentials({"me", "pw", "-"}, nullptr));
        char text[64];
        std::snprintf(text, sizeof text, "OK\n%.3f\n", EpochSeconds(kNow) + 2.0);
        m_service.Script("/check", {{200, text}});
        Configure(m_service.Url("/check"), m_service.Url("/schedule"), m_service.Url("/channels"));
    }
    static void Configure(const std::string& timeCheck, const std::string& schedule,
                          const std::string& channels) {
        SetConfig(
            {{"TimeCheckURL", timeCheck}, {"ScheduleURL", schedule}, {"URLChanelList", channels}});
    }
    size_t Requests(const char* path) const { return m_service.Seen(path).size(); }
};

// The channel list shares the stand-in service and the configured home.
using ChannelListTest = ScheduleDownloadTest;

TEST_F(ScheduleDownloadTest, ServedTasksAreMovedToLocalTimeAndCollisionsSkipped) {
    Scheduler scheduler;
    scheduler.insertTask(
        *Scheduler::TaskFromLine("O 10/03/2026  22:00:00 -> 10/03/2026  23:00:00 Radio\tExisting"));
    m_service.Script("/schedule",
                     {{200,
                       "O 10/03/2026  20:00:02 -> 10/03/2026  21:00:02 Radio\tEvening\r\n"
                       "O 10/03/2026  21:00:02 -> 10/03/2026  22:00:02 Radio\tTouches\r\n"
                       "O 10/03/2026  18:00:02 -> 10/03/2026  17:00:02 Radio\tBackwards\r\n"
                       "not a task line\r\n"
                       "O 10/03/2026  20:30:02 -> 10/03/2026  20:40:02 Radio\tInside\r\n"
                       "D 08:00:02 -> 09:00:02 Radio\tMorning\r\n"}});
    int notices = 0;
    const ScheduleDownloadResult r =
        RunScheduleDownload(m_http, scheduler, [&notices] { ++notices; });

    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(r.answered);
    EXPECT_NEAR(r.difference, 2.0, 1e-9);
    EXPECT_EQ(r.parse.inserted, 2);
    EXPECT_EQ(r.parse.skipped, 3);
    EXPECT_TRUE(r.parse.saved);
    EXPECT_EQ(notices, 1);
    EXPECT_EQ(Requests("/check"), 3u);
    const auto seen = m_service.Seen("/schedule");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].target, "/schedule?a=download");
    EXPECT_EQ(seen[0].body, "lang=german&country=49&a=download");

    const auto tasks = scheduler.Tasks();
    ASSERT_EQ(tasks.size(), 3u);
    EXPECT_EQ(tasks[1]->Description(), "Evening");
    EXPECT_EQ(tasks[1]->Start(), DateTime(2026, 3, 10, 20, 0, 0));
    EXPECT_EQ(tasks[1]->End(), DateTime(2026, 3, 10, 21, 0, 0));
    EXPECT_EQ(tasks[2]->Kind(), 'D');
    EXPECT_EQ(tasks[2]->Start(), DateTime(2026, 3, 10, 8, 0, 0));
    const std::string saved = test::ReadFile(HomeFile("schedule.txt"));
    EXPECT_NE(saved.find("O 10/03/2026  20:00:00 -> 10/03/2026  21:00:00 Radio\tEvening"),
              std::string::npos)
        << saved;
    EXPECT_NE(saved.find("D 08:00:00 -> 09:00:00 Radio\tMorning"), std::string::npos) << saved;
    EXPECT_EQ(saved.find("Touches"), std::string::npos);
    EXPECT_EQ(saved.find("Inside"), std::string::npos);
}

TEST_F(ScheduleDownloadTest, FractionalDifferenceIsTruncatedToTheMillisecond) {
    const struct {
        const char* start;
        double difference;
        DateTime expected;
    } cases[] = {
        {"20:00:02", 2.0006, DateTime(2026, 3, 10, 20, 0, 0)},
        {"20:00:00", -0.5, DateTime(2026, 3, 10, 20, 0, 0, 500)},  // a negative one moves it later
    };
    for (const auto& c : cases) {
        std::filesystem::remove(HomeFile("schedule.txt"));
        Scheduler scheduler;
        const std::string line =
            std::string("O 10/03/2026  ") + c.start + " -> 10/03/2026  21:00:02 Radio\tShow";
        ASSERT_EQ(ParseScheduleReqResult(scheduler, {line}, c.difference).inserted, 1);
        EXPECT_EQ(scheduler.Tasks()[0]->Start().ToStreamTime(), c.expected.ToStreamTime())
            << c.start;
    }
}

TEST_F(ScheduleDownloadTest, FailedTimeCheckReportsAndSendsNoRequest) {
    // The last: a clock two days ahead of ours.
    for (const char* answer : {"ERROR\n", "OK\n1773316800\n"}) {
        m_service.Script("/check", {{200, answer}});
        Scheduler scheduler;
        const auto r = RunScheduleDownload(m_http, scheduler);
        EXPECT_EQ(r.code, 1) << answer;
        EXPECT_FALSE(r.answered);
    }
    Configure("http://127.0.0.1:1/check", m_service.Url("/schedule"), m_service.Url("/channels"));
    Scheduler scheduler;
    EXPECT_EQ(RunScheduleDownload(m_http, scheduler).code, 1);
    EXPECT_EQ(Requests("/schedule"), 0u);
    EXPECT_TRUE(EventSeen("Timecheck failed. Aborting schedule download."));
}

TEST_F(ScheduleDownloadTest, HostileOrUselessScheduleAnswersChangeNothing) {
    const test::Answer answers[] = {{200, ""},
                                    {200, std::string("\0\xff\x01O 10/03\n\x7f\x80", 12)},
                                    {200, "\nX 1\nO garbage\n"},
                                    {200, "O " + std::string(2'000'000, '9')},
                                    {500, "O 10/03/2026"}};
    for (const test::Answer& answer : answers) {
        m_service.Script("/schedule", {answer});
        Scheduler scheduler;
        int notices = 0;
        const auto r = RunScheduleDownload(m_http, scheduler, [&notices] { ++notices; });
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(r.answered, answer.status == 200);
        EXPECT_EQ(r.parse.inserted, 0);
        EXPECT_FALSE(r.parse.saved);
        EXPECT_EQ(notices, 0);
        EXPECT_EQ(scheduler.TaskCount(), 0u);
    }
    // Refused connection for the schedule request itself.
    Configure(m_service.Url("/check"), "http://127.0.0.1:1/schedule", m_service.Url("/channels"));
    Scheduler scheduler;
    const auto r = RunScheduleDownload(m_http, scheduler);
    EXPECT_EQ(r.code, 0);
    EXPECT_FALSE(r.answered);
    EXPECT_FALSE(std::filesystem::exists(HomeFile("schedule.txt")));
}

TEST_F(ScheduleDownloadTest, ASecondRunWhileOneIsBusyReturnsAtOnce) {
    m_service.Script("/schedule",
                     {{200, "O 10/03/2026  20:00:02 -> 10/03/2026  21:00:02 Radio\tShow\n"}});
    // The first time check waits in the service until the second run is over.
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    auto first_check = std::make_shared<std::atomic<bool>>(true);
    m_service.Handle("/check",
                     [&, released, first_check](const httplib::Request&, httplib::Response& res) {
                         if (first_check->exchange(false)) {
                             entered.set_value();
                             released.wait();
                         }
                         char text[64];
                         std::snprintf(text, sizeof text, "OK\n%.3f\n", EpochSeconds(kNow) + 2.0);
                         res.set_content(text, "text/plain");
                     });
    Scheduler scheduler;
    ScheduleDownloadResult first;
    std::thread worker([&] { first = RunScheduleDownload(m_http, scheduler); });
    entered.get_future().wait();
    const auto second = RunScheduleDownload(m_http, scheduler);
    release.set_value();
    worker.join();
    EXPECT_EQ(second.code, -1);
    EXPECT_EQ(first.code, 0);
    EXPECT_EQ(first.parse.inserted, 1);
    EXPECT_EQ(Requests("/schedule"), 1u);
    EXPECT_EQ(RunScheduleDownload(m_http, scheduler).code, 0);  // free again
}

TEST_F(ChannelListTest, MergedAndBadLinesSkipped) {
    StreamNameFile list;
    list.load();
    const size_t before = list.Records().size();
    m_service.Script("/channels", {{200,
                                    "Radio One\tOne\t12\r\n"
                                    "only two\tfields\r\n"
                                    "Bad/Name\tOne\t3\r\n"
                                    "Music TV\tTwo\t7\textra\r\n"
                                    "default\tOne\t1\r\n"}});
    EXPECT_TRUE(LoadStreamListFromService(m_http, list));
    EXPECT_EQ(list.Records().size(), before + 2);
    const StreamRecord* radio = list.Find("Radio One");
    ASSERT_NE(radio, nullptr);
    EXPECT_EQ(radio->sourceType, kSourceRadio);
    EXPECT_EQ(radio->serviceNumber, 12);
    const StreamRecord* tv = list.Find("Music TV");
    ASSERT_NE(tv, nullptr);
    EXPECT_EQ(tv->sourceType, kSourceMusicTv);
    EXPECT_FALSE(list.Contains("Bad/Name"));
    EXPECT_FALSE(list.Contains("only two"));
}

TEST_F(ChannelListTest, FailuresLeaveTheListUnchanged) {
    StreamNameFile list;
    list.load();
    const size_t before = list.Records().size();
    const test::Answer answers[] = {
        {500, "Radio One\tOne\t12\n"}, {200, ""}, {200, std::string("\0\xff\x01\n\x7f\x80", 6)}};
    for (const test::Answer& answer : answers) {
        m_service.Script("/channels", {answer});
        EXPECT_FALSE(LoadStreamListFromService(m_http, list));
    }
    EXPECT_EQ(Requests("/channels"), 3u);
    Configure(m_service.Url("/check"), m_service.Url("/schedule"), "http://127.0.0.1:1/x");
    EXPECT_FALSE(LoadStreamListFromService(m_http, list));
    EXPECT_EQ(list.Records().size(), before);
}

}  // namespace
}  // namespace wk
