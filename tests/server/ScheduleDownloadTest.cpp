#include "server/ScheduleDownload.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "core/Clock.h"
#include "core/ConfigStore.h"
#include "core/EventLog.h"
#include "platform/HttpClientCurl.h"
#include "scheduler/ScheduleTask.h"
#include "scheduler/Scheduler.h"
#include "server/ChannelList.h"
#include "server/Credentials.h"
#include "server/TimeCheck.h"
#include "streamstore/StreamNameFile.h"
#include "ServiceClientTest.h"
#include "support/TempHome.h"

namespace wk {
namespace {

// Local clock of every test: 2026-03-10 12:00:00.000 UTC.
const DateTime kNow(2026, 3, 10, 12, 0, 0, 0);

struct Answer {
    int status = 200;
    std::string body;
};

// A loopback stand-in for the service: the time check reports our clock plus
// a fixed offset; the schedule and channel answers are scripted.
class FakeService {
public:
    FakeService() {
        m_server.Post("/check", [this](const httplib::Request&, httplib::Response& res) {
            ++timeChecks;
            if (m_holdTimeCheck) {
                m_timeCheckEntered.set_value();
                m_release.get_future().wait();
                m_holdTimeCheck = false;
            }
            std::lock_guard lock(m_mutex);
            res.set_content(m_timeAnswer, "text/plain");
        });
        m_server.Post("/schedule", [this](const httplib::Request& req, httplib::Response& res) {
            ++scheduleRequests;
            std::lock_guard lock(m_mutex);
            m_lastScheduleQuery = req.target;
            m_lastScheduleBody = req.body;
            res.status = m_schedule.status;
            res.set_content(m_schedule.body, "text/plain");
        });
        m_server.Post("/channels", [this](const httplib::Request&, httplib::Response& res) {
            ++channelRequests;
            std::lock_guard lock(m_mutex);
            res.status = m_channels.status;
            res.set_content(m_channels.body, "text/plain");
        });
        m_port = m_server.bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
        while (!m_server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        SetOffset(2.0);
    }
    ~FakeService() {
        m_server.stop();
        m_thread.join();
    }
    std::string Url(const char* path) const {
        return "http://127.0.0.1:" + std::to_string(m_port) + path;
    }
    void SetOffset(double seconds) {
        char text[64];
        std::snprintf(text, sizeof text, "OK\n%.3f\n", EpochSeconds(kNow) + seconds);
        SetTimeAnswer(text);
    }
    void SetTimeAnswer(std::string text) {
        std::lock_guard lock(m_mutex);
        m_timeAnswer = std::move(text);
    }
    void SetSchedule(Answer answer) {
        std::lock_guard lock(m_mutex);
        m_schedule = std::move(answer);
    }
    void SetChannels(Answer answer) {
        std::lock_guard lock(m_mutex);
        m_channels = std::move(answer);
    }
    std::string LastScheduleQuery() {
        std::lock_guard lock(m_mutex);
        return m_lastScheduleQuery;
    }
    std::string LastScheduleBody() {
        std::lock_guard lock(m_mutex);
        return m_lastScheduleBody;
    }
    // The next time check waits inside the handler until Release.
    std::future<void> HoldNextTimeCheck() {
        m_holdTimeCheck = true;
        return m_timeCheckEntered.get_future();
    }
    void Release() { m_release.set_value(); }

    std::atomic<int> timeChecks{0};
    std::atomic<int> scheduleRequests{0};
    std::atomic<int> channelRequests{0};

private:
    std::mutex m_mutex;
    std::string m_timeAnswer;
    Answer m_schedule;
    Answer m_channels;
    std::string m_lastScheduleQuery;
    std::string m_lastScheduleBody;
    std::atomic<bool> m_holdTimeCheck{false};
    std::promise<void> m_timeCheckEntered;
    std::promise<void> m_release;
    httplib::Server m_server;
    int m_port = 0;
    std::thread m_thread;
};

class ScheduleDownloadTest : public test::ServiceClientTest {
protected:
    ScheduleDownloadTest() : ServiceClientTest(kNow) {}
    void SetUp() override {
        ServiceClientTest::SetUp();
        ASSERT_TRUE(WriteCredentials({"me", "pw", "-"}, nullptr));
        Configure(m_service.Url("/check"), m_service.Url("/schedule"), m_service.Url("/channels"));
    }
    static void Configure(const std::string& timeCheck, const std::string& schedule,
                          const std::string& channels) {
        ConfigStore config;
        config.Load();
        config.SetString("TimeCheckURL", timeCheck);
        config.SetString("ScheduleURL", schedule);
        config.SetString("URLChanelList", channels);
        ASSERT_TRUE(config.Save());
    }
    static void AddOnce(Scheduler& scheduler, const char* line) {
        const auto task = Scheduler::TaskFromLine(line);
        ASSERT_NE(task, nullptr) << line;
        scheduler.insertTask(*task);
    }

    FakeService m_service;
};

// The channel list shares the fake service and the configured home.
class ChannelListTest : public ScheduleDownloadTest {};

TEST_F(ScheduleDownloadTest, ServedTasksAreMovedToLocalTimeAndCollisionsSkipped) {
    Scheduler scheduler;
    AddOnce(scheduler, "O 10/03/2026  22:00:00 -> 10/03/2026  23:00:00 Radio\tExisting");
    m_service.SetSchedule({200,
                           "O 10/03/2026  20:00:02 -> 10/03/2026  21:00:02 Radio\tEvening\r\n"
                           "O 10/03/2026  21:00:02 -> 10/03/2026  22:00:02 Radio\tTouches\r\n"
                           "O 10/03/2026  18:00:02 -> 10/03/2026  17:00:02 Radio\tBackwards\r\n"
                           "not a task line\r\n"
                           "O 10/03/2026  20:30:02 -> 10/03/2026  20:40:02 Radio\tInside\r\n"
                           "D 08:00:02 -> 09:00:02 Radio\tMorning\r\n"});
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
    EXPECT_EQ(m_service.timeChecks.load(), 3);
    EXPECT_EQ(m_service.LastScheduleQuery(), "/schedule?a=download");
    EXPECT_EQ(m_service.LastScheduleBody(), "lang=german&country=49&a=download");

    const auto tasks = scheduler.Tasks();
    ASSERT_EQ(tasks.size(), 3u);
    EXPECT_EQ(tasks[1]->Description(), "Evening");
    EXPECT_EQ(tasks[1]->Start(), DateTime(2026, 3, 10, 20, 0, 0));
    EXPECT_EQ(tasks[1]->End(), DateTime(2026, 3, 10, 21, 0, 0));
    EXPECT_EQ(tasks[2]->Kind(), 'D');
    EXPECT_EQ(tasks[2]->Start(), DateTime(2026, 3, 10, 8, 0, 0));
    EXPECT_EQ(tasks[2]->End(), DateTime(2026, 3, 10, 9, 0, 0));

    const std::string saved = test::ReadFile(HomeFile("schedule.txt"));
    EXPECT_NE(saved.find("O 10/03/2026  20:00:00 -> 10/03/2026  21:00:00 Radio\tEvening"),
              std::string::npos)
        << saved;
    EXPECT_NE(saved.find("D 08:00:00 -> 09:00:00 Radio\tMorning"), std::string::npos) << saved;
    EXPECT_EQ(saved.find("Touches"), std::string::npos);
    EXPECT_EQ(saved.find("Inside"), std::string::npos);
}

TEST_F(ScheduleDownloadTest, FractionalDifferenceIsTruncatedToTheMillisecond) {
    Scheduler scheduler;
    const auto r = ParseScheduleReqResult(
        scheduler, {"O 10/03/2026  20:00:02 -> 10/03/2026  21:00:02 Radio\tShow"}, 2.0006);
    ASSERT_EQ(r.inserted, 1);
    const auto tasks = scheduler.Tasks();
    EXPECT_EQ(tasks[0]->Start().ToStreamTime(),
              DateTime(2026, 3, 10, 20, 0, 0).ToStreamTime());
    // A negative difference moves the task later (in a schedule of its own:
    // the first one's task is in the file).
    std::filesystem::remove(HomeFile("schedule.txt"));
    Scheduler other;
    ASSERT_EQ(ParseScheduleReqResult(
                  other, {"O 10/03/2026  20:00:00 -> 10/03/2026  21:00:00 Radio\tShow"}, -0.5)
                  .inserted,
              1);
    EXPECT_EQ(other.Tasks()[0]->Start().ToStreamTime(),
              DateTime(2026, 3, 10, 20, 0, 0, 500).ToStreamTime());
}

TEST_F(ScheduleDownloadTest, NoValidLineLeavesScheduleUntouched) {
    Scheduler scheduler;
    int notices = 0;
    const auto r = ParseScheduleReqResult(scheduler, {"", "X 1", "O garbage"}, 2.0,
                                          [&notices] { ++notices; });
    EXPECT_EQ(r.inserted, 0);
    EXPECT_FALSE(r.saved);
    EXPECT_EQ(notices, 0);
    EXPECT_EQ(scheduler.TaskCount(), 0u);
    EXPECT_FALSE(std::ifstream(HomeFile("schedule.txt")).good());
}

TEST_F(ScheduleDownloadTest, FailedTimeCheckReportsAndSendsNoRequest) {
    // The last: a clock two days ahead of ours.
    for (const char* answer : {"ERROR\n", "OK\nnan\n", "OK\n1e300\n", "", "OK\n1773316800\n"}) {
        m_service.SetTimeAnswer(answer);
        Scheduler scheduler;
        const auto r = RunScheduleDownload(m_http, scheduler);
        EXPECT_EQ(r.code, 1) << answer;
        EXPECT_FALSE(r.answered);
    }
    EXPECT_EQ(m_service.scheduleRequests.load(), 0);
    const std::string events = test::ReadFile(HomeFile("events.txt"));
    EXPECT_NE(events.find("Timecheck failed. Aborting schedule download."), std::string::npos)
        << events;
}

TEST_F(ScheduleDownloadTest, HostileScheduleAnswersChangeNothing) {
    const std::string huge = "O " + std::string(2'000'000, '9');
    const std::string binary("\0\xff\x01O 10/03\n\x7f\x80", 12);
    const Answer answers[] = {{200, ""}, {200, binary}, {200, huge}, {500, "O 10/03/2026"}};
    for (const Answer& answer : answers) {
        m_service.SetSchedule(answer);
        Scheduler scheduler;
        const auto r = RunScheduleDownload(m_http, scheduler);
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(r.answered, answer.status == 200);
        EXPECT_EQ(r.parse.inserted, 0);
        EXPECT_EQ(scheduler.TaskCount(), 0u);
    }
    // Refused connection for the schedule request itself.
    Configure(m_service.Url("/check"), "http://127.0.0.1:1/schedule", m_service.Url("/channels"));
    Scheduler scheduler;
    const auto r = RunScheduleDownload(m_http, scheduler);
    EXPECT_EQ(r.code, 0);
    EXPECT_FALSE(r.answered);
    EXPECT_FALSE(std::ifstream(HomeFile("schedule.txt")).good());
    // Refused connection for the time check.
    Configure("http://127.0.0.1:1/check", m_service.Url("/schedule"), m_service.Url("/channels"));
    EXPECT_EQ(RunScheduleDownload(m_http, scheduler).code, 1);
}

TEST_F(ScheduleDownloadTest, ASecondRunWhileOneIsBusyReturnsAtOnce) {
    m_service.SetSchedule({200, "O 10/03/2026  20:00:02 -> 10/03/2026  21:00:02 Radio\tShow\n"});
    Scheduler scheduler;
    std::future<void> entered = m_service.HoldNextTimeCheck();
    ScheduleDownloadResult first;
    std::thread worker([&] { first = RunScheduleDownload(m_http, scheduler); });
    entered.wait();
    const auto second = RunScheduleDownload(m_http, scheduler);
    m_service.Release();
    worker.join();
    EXPECT_EQ(second.code, -1);
    EXPECT_EQ(first.code, 0);
    EXPECT_EQ(first.parse.inserted, 1);
    EXPECT_EQ(m_service.scheduleRequests.load(), 1);
    // The flag is free again afterwards.
    EXPECT_EQ(RunScheduleDownload(m_http, scheduler).code, 0);
}

TEST_F(ChannelListTest, MergedAndBadLinesSkipped) {
    StreamNameFile list;
    list.load();
    const size_t before = list.Records().size();
    m_service.SetChannels({200,
                           "Radio One\tOne\t12\r\n"
                           "only two\tfields\r\n"
                           "Bad/Name\tOne\t3\r\n"
                           "Music TV\tTwo\t7\textra\r\n"
                           "default\tOne\t1\r\n"});
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
    const std::string binary("\0\xff\x01\n\x7f\x80", 6);
    m_service.SetChannels({500, "Radio One\tOne\t12\n"});
    EXPECT_FALSE(LoadStreamListFromService(m_http, list));
    m_service.SetChannels({200, ""});
    EXPECT_FALSE(LoadStreamListFromService(m_http, list));
    m_service.SetChannels({200, binary});
    EXPECT_FALSE(LoadStreamListFromService(m_http, list));
    EXPECT_EQ(m_service.channelRequests.load(), 3);
    Configure(m_service.Url("/check"), m_service.Url("/schedule"), "http://127.0.0.1:1/x");
    EXPECT_FALSE(LoadStreamListFromService(m_http, list));
    EXPECT_EQ(list.Records().size(), before);
}

}  // namespace
}  // namespace wk
