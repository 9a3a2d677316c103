#include "server/TimeCheck.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>

#include "core/Clock.h"
#include "platform/HttpClientCurl.h"
#include "server/Credentials.h"
#include "ServiceClientTest.h"
#include "support/TempHome.h"

namespace wk {
namespace {

// A loopback service whose answers the test scripts, one per request.
class ScriptedService {
public:
    explicit ScriptedService(std::vector<std::string> answers) : m_answers(std::move(answers)) {
        m_server.Post("/check", [this](const httplib::Request& req, httplib::Response& res) {
            lastLocalTime = req.get_param_value("localTime");
            lastLogin = req.get_param_value("login");
            const size_t n = m_calls++;
            res.set_content(n < m_answers.size() ? m_answers[n] : "ERROR", "text/plain");
        });
        m_port = m_server.bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
        while (!m_server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~ScriptedService() {
        m_server.stop();
        m_thread.join();
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/check"; }
    size_t Calls() const { return m_calls; }
    std::string lastLocalTime, lastLogin;

private:
    std::vector<std::string> m_answers;
    std::atomic<size_t> m_calls{0};
    httplib::Server m_server;
    int m_port = 0;
    std::thread m_thread;
};

// 2003-11-07 17:46:39.750 UTC = 1068227199.75 s since 1970.
class TimeCheckTest : public test::ServiceClientTest {
protected:
    TimeCheckTest() : ServiceClientTest(DateTime(2003, 11, 7, 17, 46, 39, 750)) {}
};

TEST_F(TimeCheckTest, LocalClockTextServerClockParsingAndTheRange) {
    EXPECT_EQ(LocalClockText(DateTime(2003, 11, 7, 17, 46, 39, 7)), "1068227199.007");
    EXPECT_DOUBLE_EQ(ParseServerClock("  1068200000.25xyz"), 1068200000.25);
    for (const char* none : {"garbage", "nan", "-5", "inf"}) EXPECT_DOUBLE_EQ(ParseServerClock(none), 0.0);
    EXPECT_DOUBLE_EQ(ParseServerClock("1e30"), 1.0);
    // A difference beyond a day is neither stored nor read back.
    EXPECT_FALSE(StoreTimeDifference(std::nan("")));
    EXPECT_FALSE(StoreTimeDifference(-1.8e9));
    test::WriteFile(HomeFile("timecheck.txt"), "1800000000.000\n");
    EXPECT_FALSE(LastTimeDifference());
    ASSERT_TRUE(StoreTimeDifference(-7.5));
    EXPECT_EQ(LastTimeDifference(), -7.5);
}

TEST_F(TimeCheckTest, SamplesAreAveragedAndAFailingRoundEndsTheRounds) {
    Credentials account{"Ann Smith", "secret", "-"};
    ASSERT_TRUE(WriteCredentials(account, nullptr));
    {
        // Our clock reads 1068227199.75; the service says +0.5 s, then fails.
        ScriptedService service({"OK\r\n1068227200.25\r\n", "ERROR\r\n0\r\n"});
        const TimeCheckResult r = RunAutoTimeCheck(m_http, service.Url());
        EXPECT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.samples, 1);
        EXPECT_NEAR(r.difference, 0.5, 1e-6);
        EXPECT_EQ(service.Calls(), 2u);
        EXPECT_EQ(service.lastLogin, "Ann Smith");
        EXPECT_EQ(service.lastLocalTime, "1068227199.750");
    }
    {
        // +2.0, +2.5 ("OKAY" begins with OK) and +1.5 average to +2.0.
        ScriptedService service({"OK\n1068227201.75\n", "OKAY\n1068227202.25\n", "OK\n1068227201.25"});
        const TimeCheckResult r = RunAutoTimeCheck(m_http, service.Url());
        EXPECT_EQ(r.samples, 3);
        EXPECT_NEAR(r.difference, 2.0, 1e-6);
    }
}

TEST_F(TimeCheckTest, BadAnswersAndMissingAccount) {
    {
        ScriptedService service({"OK\n1068227200"});
        EXPECT_FALSE(RunAutoTimeCheck(m_http, service.Url()).ok);  // no account yet
        EXPECT_EQ(service.Calls(), 0u);
    }
    ASSERT_TRUE(WriteCredentials({"me", "pw", "-"}, nullptr));
    // Our clock reads 1068227199.75: no clock, a number cut short by a broken
    // answer, or a clock two days ahead is none to apply.
    for (const char* answer : {"", "OK", " OK\n1068227200", "\x01\x02\xff\n\n", "OK\nnan",
                               "OK\ngarbage", "OK\n1068", "OK\n1068400000"}) {
        ScriptedService service({answer});
        const TimeCheckResult r = RunAutoTimeCheck(m_http, service.Url());
        EXPECT_FALSE(r.ok) << answer;
        EXPECT_EQ(r.samples, 0);
        EXPECT_FALSE(r.error.empty());
    }
    EXPECT_FALSE(RunAutoTimeCheck(m_http, "http://127.0.0.1:1/nothing").ok);
}

TEST_F(TimeCheckTest, CredentialsFile) {
    EXPECT_EQ(Scramble(Scramble("pass.word!")), "pass.word!");
    Credentials c;
    EXPECT_FALSE(ReadCredentials(c));
    ASSERT_TRUE(WriteCredentials({"First Last", "pw", "x"}, nullptr));
    ASSERT_TRUE(ReadCredentials(c));
    EXPECT_EQ(c.login, "First Last");
    EXPECT_EQ(c.password, "pw");
    std::string why;
    EXPECT_FALSE(WriteCredentials({"a", "two words", "x"}, &why));
    EXPECT_FALSE(why.empty());
    const struct {
        const char* file;
        bool ok;
    } cases[] = {
        {"userID=me\r\npassword=\xd5\xd2\r\n\xdd\r\n", true},
        {"userID=me\npassword=\xd5\xd2\n", false},  // no third value
        {"user=me\npassword=\xd5\xd2\nx\n", false},
        {"userID=me", false},
        {"\x01\x02\x03", false},
    };
    for (const auto& k : cases) {
        test::WriteFile(HomeFile("Options.txt"), k.file);
        Credentials read{"unchanged", "", ""};
        EXPECT_EQ(ReadCredentials(read), k.ok) << k.file;
        if (!k.ok) {
            EXPECT_EQ(read.login, "unchanged");
        }
    }
}

}  // namespace
}  // namespace wk
