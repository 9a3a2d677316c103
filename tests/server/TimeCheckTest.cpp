#include <cmath>

#include "ServiceClientTest.h"
#include "server/Credentials.h"
#include "server/TimeCheck.h"

namespace wk {
namespace {

// 2003-11-07 17:46:39.750 UTC = 1068227199.75 s since 1970.
class TimeCheckTest : public test::ServiceClientTest {
protected:
    TimeCheckTest() : ServiceClientTest(DateTime(2003, 11, 7, 17, 46, 39, 750)) {}
    TimeCheckResult Check(std::vector<test::Answer> answers) {
        m_service.Script("/check", std::move(answers));
        return RunAutoTimeCheck(m_http, m_service.Url("/check"));
    }
};

TEST_F(TimeCheckTest, ClockTextsSamplesAndTheStoredDifference) {
    EXPECT_EQ(LocalClockText(DateTime(2003, 11, 7, 17, 46, 39, 7)), "1068227199.007");
    EXPECT_DOUBLE_EQ(ParseServerClock("  1068200000.25xyz"), 1068200000.25);
    EXPECT_DOUBLE_EQ(ParseServerClock("1e30"), 1.0);
    // No clock, a number cut short by a broken answer, or one more than a
    // day off ours is no sample: such a clock is applied nowhere.
    EXPECT_EQ(ClockSample("1068227201.25", 1068227199.75), 1.5);
    for (const char* none : {"garbage", "nan", "-5", "inf", "1068", "1068400000", ""})
        EXPECT_FALSE(ClockSample(none, 1068227199.75)) << none;
    EXPECT_FALSE(StoreTimeDifference(std::nan("")));
    EXPECT_FALSE(StoreTimeDifference(-1.8e9));
    test::WriteFile(HomeFile("timecheck.txt"), "1800000000.000\n");
    EXPECT_FALSE(LastTimeDifference());
    ASSERT_TRUE(StoreTimeDifference(-7.5));
    EXPECT_EQ(LastTimeDifference(), -7.5);
}

TEST_F(TimeCheckTest, SamplesAreAveragedAndAFailingRoundEndsTheRounds) {
    ASSERT_TRUE(WriteCredentials({"Ann Smith", "secret", "-"}, nullptr));
    // Our clock reads 1068227199.75; the service says +0.5 s, then fails.
    TimeCheckResult r = Check({{200, "OK\r\n1068227200.25\r\n"}, {200, "ERROR\r\n0\r\n"}});
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.samples, 1);
    EXPECT_NEAR(r.difference, 0.5, 1e-6);
    const auto seen = m_service.Seen("/check");
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].Param("login"), "Ann Smith");
    EXPECT_EQ(seen[0].Param("localTime"), "1068227199.750");
    // +2.0, +2.5 ("OKAY" begins with OK) and +1.5 average to +2.0.
    r = Check(
        {{200, "OK\n1068227201.75\n"}, {200, "OKAY\n1068227202.25\n"}, {200, "OK\n1068227201.25"}});
    EXPECT_EQ(r.samples, 3);
    EXPECT_NEAR(r.difference, 2.0, 1e-6);
}

TEST_F(TimeCheckTest, BadAnswersAndMissingAccount) {
    EXPECT_FALSE(Check({{200, "OK\n1068227200"}}).ok);  // no account yet
    EXPECT_TRUE(m_service.Seen("/check").empty());
    ASSERT_TRUE(WriteCredentials({"me", "pw", "-"}, nullptr));
    for (const char* answer : {"", "OK", " OK\n1068227200", "\x01\x02\xff\n\n", "OK\n1068400000"}) {
        const TimeCheckResult r = Check({{200, answer}});
        EXPECT_FALSE(r.ok) << answer;
        EXPECT_EQ(r.samples, 0);
        EXPECT_FALSE(r.error.empty());
    }
    EXPECT_FALSE(Check({{404, "OK\n1068227200"}}).ok);
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
        EXPECT_EQ(read.login, k.ok ? "me" : "unchanged");
    }
}

}  // namespace
}  // namespace wk
