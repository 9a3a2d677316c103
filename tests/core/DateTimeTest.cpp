#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <random>
#include <string>

#include "core/DateTime.h"

namespace wk {
namespace {

namespace chr = std::chrono;

// The proleptic Gregorian calendar agrees with the stream-time calendar from
// 2000 to February 2100, so it serves as an independent reference there.
int64_t ReferenceDays(int y, int m, int d) {
    const chr::sys_days epoch = chr::year{2000} / chr::January / 1;
    const chr::sys_days date =
        chr::year{y} / chr::month{static_cast<unsigned>(m)} / chr::day{static_cast<unsigned>(d)};
    return (date - epoch).count();
}

void ExpectSameFields(const DateTime& a, const DateTime& b) {
    EXPECT_EQ(a.year, b.year);
    EXPECT_EQ(a.month, b.month);
    EXPECT_EQ(a.day, b.day);
    EXPECT_EQ(a.hour, b.hour);
    EXPECT_EQ(a.minute, b.minute);
    EXPECT_EQ(a.second, b.second);
    EXPECT_EQ(a.millisecond, b.millisecond);
}

TEST(DateTimeTest, EveryDayOfTheCenturyMatchesTheCalendarAndRoundTrips) {
    const chr::sys_days first = chr::year{2000} / chr::January / 1;
    const chr::sys_days end = chr::year{2100} / chr::January / 1;
    int index = 0;
    for (chr::sys_days day = first; day < end; day += chr::days{1}, ++index) {
        const chr::year_month_day ymd{day};
        // Vary the time of day so that every field takes part somewhere.
        const DateTime dt(static_cast<int>(ymd.year()), static_cast<int>(unsigned(ymd.month())),
                          static_cast<int>(unsigned(ymd.day())), index % 24, index % 60,
                          (index * 7) % 60, (index * 13) % 1000);
        const StreamTime expected = (day - first).count() * kMsPerDay +
                                    ((dt.hour * 60 + dt.minute) * 60 + dt.second) * kMsPerSecond +
                                    dt.millisecond;
        ASSERT_EQ(dt.ToStreamTime(), expected) << dt.LongText();
        ASSERT_TRUE(dt.IsValid()) << dt.LongText();
        ASSERT_EQ(dt.WeekDay(), static_cast<int>(chr::weekday{day}.c_encoding())) << dt.LongText();

        const DateTime back = DateTime::FromStreamTime(dt.ToStreamTime());
        ASSERT_EQ(back.ToStreamTime(), dt.ToStreamTime()) << dt.LongText();
        ExpectSameFields(back, dt);
        if (::testing::Test::HasFailure()) return;
    }
}

// Beyond what the walk over the century shows: the edges of a day, of the
// range, and of the calendar's one difference to the Gregorian one.
TEST(DateTimeTest, BoundariesOfTheRange) {
    EXPECT_EQ(DateTime(2000, 1, 1).ToStreamTime(), 0);
    ExpectSameFields(DateTime::FromStreamTime(-1), DateTime());
    // The last millisecond of a leap year must not become day 366 of it.
    ExpectSameFields(DateTime::FromStreamTime(366 * kMsPerDay - 1),
                     DateTime(2000, 12, 31, 23, 59, 59, 999));
    EXPECT_FALSE(DateTime(2003, 2, 29).IsValid());
    // No century rule: 2100 keeps its 29 February.
    const DateTime feb29(2100, 2, 29);
    EXPECT_TRUE(feb29.IsValid());
    ExpectSameFields(DateTime::FromStreamTime(feb29.ToStreamTime()), feb29);
    EXPECT_EQ(DateTime(2100, 3, 1).ToStreamTime(), (ReferenceDays(2100, 2, 28) + 2) * kMsPerDay);
}

TEST(DateTimeTest, HourTwentyFourIsValidAndMeansTheNextDay) {
    const DateTime late(2003, 12, 31, 24, 5, 6, 7);
    EXPECT_TRUE(late.IsValid());
    EXPECT_EQ(late.ToStreamTime(), DateTime(2004, 1, 1, 0, 5, 6, 7).ToStreamTime());
    ExpectSameFields(DateTime::FromStreamTime(late.ToStreamTime()),
                     DateTime(2004, 1, 1, 0, 5, 6, 7));
}

TEST(DateTimeTest, IsValidChecksEveryField) {
    const DateTime good(2003, 11, 7, 17, 42, 11, 5);
    ASSERT_TRUE(good.IsValid());
    struct Case {
        const char* what;
        int32_t DateTime::*field;
        int32_t value;
        bool valid;
    };
    const Case cases[] = {
        {"year 1999", &DateTime::year, 1999, false},
        {"month 0", &DateTime::month, 0, false},
        {"month 13", &DateTime::month, 13, false},
        {"day 0", &DateTime::day, 0, false},
        {"day 30 of Nov", &DateTime::day, 30, true},
        {"day 31 of Nov", &DateTime::day, 31, false},
        {"hour -1", &DateTime::hour, -1, false},
        {"hour 25", &DateTime::hour, 25, false},
        {"minute 60", &DateTime::minute, 60, false},
        {"minute -1", &DateTime::minute, -1, false},
        {"second 60", &DateTime::second, 60, false},
        {"ms 999", &DateTime::millisecond, 999, true},
        {"ms 1000", &DateTime::millisecond, 1000, false},
        {"ms -1", &DateTime::millisecond, -1, false},
    };
    for (const Case& c : cases) {
        DateTime dt = good;
        dt.*c.field = c.value;
        EXPECT_EQ(dt.IsValid(), c.valid) << c.what;
    }
}

TEST(DateTimeTest, CompareOrdersByFieldsFromYearDownAndIgnoresMilliseconds) {
    const DateTime a(2003, 11, 7, 17, 42, 11, 5);
    const DateTime b(2003, 11, 7, 17, 42, 11, 900);
    EXPECT_EQ(a.Compare(b), 0);
    EXPECT_TRUE(a == b);
    EXPECT_NE(a.ToStreamTime(), b.ToStreamTime());

    // Each pair differs in a more significant field in one direction and a
    // less significant one in the other, so a wrong field order shows.
    const struct {
        DateTime earlier, later;
    } cases[] = {
        {{2003, 12, 31, 23, 59, 59}, {2004, 1, 1, 0, 0, 0}},
        {{2004, 1, 31, 23, 59, 59}, {2004, 2, 1, 0, 0, 0}},
        {{2004, 2, 1, 23, 59, 59}, {2004, 2, 2, 0, 0, 0}},
        {{2004, 2, 2, 1, 59, 59}, {2004, 2, 2, 2, 0, 0}},
        {{2004, 2, 2, 2, 1, 59}, {2004, 2, 2, 2, 2, 0}},
        {{2004, 2, 2, 2, 2, 1, 999}, {2004, 2, 2, 2, 2, 2, 0}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.earlier.Compare(c.later), -1) << c.earlier.LongText();
        EXPECT_TRUE(c.later.Compare(c.earlier) == 1 && c.earlier < c.later &&
                    !(c.earlier > c.later))
            << c.later.LongText();
    }
}

TEST(DateTimeTest, TextForms) {
    const DateTime dt(2003, 11, 7, 17, 42, 11, 5);
    EXPECT_EQ(dt.LongText(), "07/11/2003  17:42:11.005");
    EXPECT_EQ(dt.DateText(), "07/11/2003");
    EXPECT_EQ(dt.TimeText(), "17:42:11");
    EXPECT_EQ(dt.TimeTextMs(), "17:42:11.005");
    EXPECT_EQ(dt.YearFirstDateText(), "2003/11/07 ");
    EXPECT_EQ(dt.FileNamePrefix(), "2003_11_07_17_42_11_");

    const DateTime small(2001, 2, 3, 4, 5, 6, 0);
    EXPECT_EQ(small.LongText(), "03/02/2001  04:05:06.000");
    EXPECT_EQ(small.FileNamePrefix(), "2001_02_03_04_05_06_");
}

TEST(DateTimeTest, ParsingRoundTripsTheTextForms) {
    for (StreamTime t = 0; t < 100 * 366 * kMsPerDay; t += 9'876'543'211) {
        const DateTime dt = DateTime::FromStreamTime(t);
        ExpectSameFields(DateTime::ParseLongText(dt.LongText()), dt);
        ExpectSameFields(DateTime::ParseDateText(dt.DateText()),
                         DateTime(dt.year, dt.month, dt.day));

        const DateTime into(2010, 6, 15, 1, 2, 3, 4);
        const DateTime withMs = DateTime::ParseTimeText(dt.TimeTextMs(), into);
        ExpectSameFields(withMs,
                         DateTime(2010, 6, 15, dt.hour, dt.minute, dt.second, dt.millisecond));
        const DateTime noMs = DateTime::ParseTimeText(dt.TimeText(), into);
        ExpectSameFields(noMs, DateTime(2010, 6, 15, dt.hour, dt.minute, dt.second, 0));
    }
}

TEST(DateTimeTest, ParsingShortAndDamagedText) {
    const struct {
        std::string text;
        DateTime expected;
    } cases[] = {
        {"", DateTime(0, 0, 0)},
        {"07/1", DateTime(0, 1, 7)},
        {"07/11/20", DateTime(20, 11, 7)},
        {"07/11/2003  17:4", DateTime(2003, 11, 7, 17, 4)},
        {"07/11/2003  17:42:11.0", DateTime(2003, 11, 7, 17, 42, 11, 0)},
        {"7/11/2003", DateTime(3, 1, 7)},  // fixed positions, not separators
        {"ab/cd/efgh  ij:kl:mn.opq", DateTime(0, 0, 0)},
        {"1x/2y/3z4w  5", DateTime(3, 2, 1, 5)},
        {"99/99/9999  99:99:99.99999", DateTime(9999, 99, 99, 99, 99, 99, 999)},
        {std::string("07/11/20\00003", 11), DateTime(20, 11, 7)},
    };
    for (const auto& c : cases) ExpectSameFields(DateTime::ParseLongText(c.text), c.expected);

    // Any bytes of any length parse into fields no wider than their digits.
    std::mt19937 random(12345);
    for (int round = 0; round < 500; ++round) {
        std::string text(static_cast<size_t>(round % 30), '\0');
        // Half digits, so that fields run to their full width often enough.
        for (char& c : text)
            c = static_cast<char>(random() % 2 ? '0' + random() % 10 : random() % 256);
        for (const DateTime& dt : {DateTime::ParseLongText(text), DateTime::ParseDateText(text),
                                   DateTime::ParseTimeText(text)}) {
            EXPECT_TRUE(dt.year >= 0 && dt.year <= 9999);
            EXPECT_TRUE(dt.month >= 0 && dt.month <= 99 && dt.day >= 0 && dt.day <= 99);
            EXPECT_TRUE(dt.hour >= 0 && dt.hour <= 99 && dt.minute >= 0 && dt.minute <= 99);
            EXPECT_TRUE(dt.second >= 0 && dt.second <= 99);
            EXPECT_TRUE(dt.millisecond >= 0 && dt.millisecond <= 999);
        }
    }
}

TEST(DateTimeTest, AddDurationCrossesMonthAndYearBoundaries) {
    const char* zone = std::getenv("TZ");
    const std::optional<std::string> old = zone ? std::optional<std::string>(zone) : std::nullopt;
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    const struct {
        DateTime from;
        int days, hours, minutes, seconds;
        DateTime expected;
    } cases[] = {
        {{2003, 12, 31, 23, 59, 30, 500}, 0, 0, 0, 45, {2004, 1, 1, 0, 0, 15}},
        {{2004, 2, 28, 12, 0, 0}, 1, 0, 0, 0, {2004, 2, 29, 12, 0, 0}},
        {{2003, 2, 28, 12, 0, 0}, 1, 0, 0, 0, {2003, 3, 1, 12, 0, 0}},
        {{2004, 3, 1, 0, 30, 0}, 0, 0, -31, 0, {2004, 2, 29, 23, 59, 0}},
        {{2003, 1, 31, 22, 0, 0}, 0, 3, 0, 0, {2003, 2, 1, 1, 0, 0}},
        {{2004, 1, 1, 0, 0, 0}, -1, 0, 0, 0, {2003, 12, 31, 0, 0, 0}},
        {{2003, 11, 7, 17, 42, 11}, 366, 1, 1, 1, {2004, 11, 7, 18, 43, 12}},
    };
    for (const auto& c : cases) {
        const DateTime got = c.from.AddDuration(c.days, c.hours, c.minutes, c.seconds);
        SCOPED_TRACE(c.from.LongText());
        ExpectSameFields(got, c.expected);
    }
    old ? ::setenv("TZ", old->c_str(), 1) : ::unsetenv("TZ");
    ::tzset();
}

}  // namespace
}  // namespace wk
