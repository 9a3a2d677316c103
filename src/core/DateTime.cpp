#include "core/DateTime.h"

#include <array>
#include <cstdio>
#include <ctime>

namespace wk {

namespace {

constexpr std::array<int, 12> kMonthLengths = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
constexpr int64_t kDaysPerFourYears = 4 * 365 + 1;

// Reads up to `width` decimal digits starting at `pos`. A field that begins
// past the end of the text, or at a non-digit, reads as 0: the text forms are
// written by this program, and a damaged file must not stop it from loading.
int32_t ReadField(std::string_view text, size_t pos, size_t width) {
    int32_t value = 0;
    for (size_t i = pos; i < text.size() && i < pos + width; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') break;
        value = value * 10 + (c - '0');
    }
    return value;
}

template <typename... Args>
std::string Format(const char* format, Args... args) {
    // Fields of an out-of-range record print wider than their padding; the
    // buffer is large enough for every field at its widest int32 value.
    char buffer[128];
    const int n = std::snprintf(buffer, sizeof buffer, format, args...);
    if (n <= 0) return {};
    return std::string(buffer, static_cast<size_t>(n) < sizeof buffer ? static_cast<size_t>(n)
                                                                      : sizeof buffer - 1);
}

DateTime FromTm(const std::tm& tm) {
    return DateTime(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                    0);
}

}  // namespace

DateTime DateTime::Now() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    if (localtime_r(&now, &tm) == nullptr) return DateTime();
    return FromTm(tm);
}

int DateTime::DaysInMonth(int32_t year, int32_t month) {
    if (month < 1 || month > 12) return 0;
    if (month == 2 && IsLeapYear(year)) return 29;
    return kMonthLengths[static_cast<size_t>(month - 1)];
}

StreamTime DateTime::ToStreamTime() const {
    // Unsigned arithmetic: a garbage record must give a garbage number, not
    // undefined behaviour. Valid records never come near wrapping.
    uint64_t days = 0;
    if (year > 2000) {
        const uint64_t years = static_cast<uint64_t>(year) - 2000;
        // Leap years among 2000..year-1 are the multiples of four, 2000 included.
        days = years * 365 + (years + 3) / 4;
    }
    // Conversion to unsigned is modular, so negative fields subtract as they should.
    const auto u = [](int32_t v) { return static_cast<uint64_t>(v); };
    for (int32_t m = 1; m < month && m <= 12; ++m) days += u(DaysInMonth(year, m));
    days += u(day) - 1;

    const uint64_t seconds = (u(hour) * 60 + u(minute)) * 60 + u(second);
    const uint64_t total =
        days * static_cast<uint64_t>(kMsPerDay) + seconds * 1000 + u(millisecond);
    return static_cast<StreamTime>(total);
}

DateTime DateTime::FromStreamTime(StreamTime t) {
    if (t < 0) return DateTime();
    DateTime result;
    result.millisecond = static_cast<int32_t>(t % 1000);
    t /= 1000;
    result.second = static_cast<int32_t>(t % 60);
    t /= 60;
    result.minute = static_cast<int32_t>(t % 60);
    t /= 60;
    result.hour = static_cast<int32_t>(t % 24);
    int64_t days = t / 24;

    // Whole four-year cycles first so that far-off stream times do not walk
    // year by year; each cycle starts with its leap year.
    int64_t year = 2000 + 4 * (days / kDaysPerFourYears);
    days %= kDaysPerFourYears;
    while (days >= DaysInYear(static_cast<int32_t>(year))) {
        days -= DaysInYear(static_cast<int32_t>(year));
        ++year;
    }
    result.year = static_cast<int32_t>(year);
    int32_t month = 1;
    while (month < 12 && days >= DaysInMonth(result.year, month)) {
        days -= DaysInMonth(result.year, month);
        ++month;
    }
    result.month = month;
    result.day = static_cast<int32_t>(days + 1);
    return result;
}

int DateTime::WeekDay() const {
    const int64_t days = ToStreamTime() / kMsPerDay;
    const int64_t weekDay = (days + 6) % 7;
    return static_cast<int>(weekDay < 0 ? weekDay + 7 : weekDay);
}

bool DateTime::IsValid() const {
    return year >= 2000 && month >= 1 && month <= 12 && day >= 1 &&
           day <= DaysInMonth(year, month) && hour >= 0 && hour <= 24 && minute >= 0 &&
           minute <= 59 && second >= 0 && second <= 59 && millisecond >= 0 && millisecond <= 999;
}

int DateTime::Compare(const DateTime& other) const {
    const int32_t mine[] = {year, month, day, hour, minute, second};
    const int32_t theirs[] = {other.year, other.month,  other.day,
                              other.hour, other.minute, other.second};
    for (size_t i = 0; i < std::size(mine); ++i) {
        if (mine[i] < theirs[i]) return -1;
        if (mine[i] > theirs[i]) return 1;
    }
    return 0;
}

DateTime DateTime::AddDuration(int days, int hours, int minutes, int seconds) const {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    const std::time_t start = std::mktime(&tm);
    if (start == static_cast<std::time_t>(-1)) return DateTime();

    const int64_t delta = ((static_cast<int64_t>(days) * 24 + hours) * 60 + minutes) * 60 +
                          static_cast<int64_t>(seconds);
    const std::time_t end = static_cast<std::time_t>(static_cast<int64_t>(start) + delta);
    std::tm out{};
    if (localtime_r(&end, &out) == nullptr) return DateTime();
    return FromTm(out);
}

std::string DateTime::LongText() const {
    return Format("%02d/%02d/%04d  %02d:%02d:%02d.%03d", day, month, year, hour, minute, second,
                  millisecond);
}

std::string DateTime::DateText() const {
    return Format("%02d/%02d/%04d", day, month, year);
}

std::string DateTime::TimeText() const {
    return Format("%02d:%02d:%02d", hour, minute, second);
}

std::string DateTime::TimeTextMs() const {
    return Format("%02d:%02d:%02d.%03d", hour, minute, second, millisecond);
}

std::string DateTime::YearFirstDateText() const {
    return Format("%04d/%02d/%02d ", year, month, day);
}

std::string DateTime::FileNamePrefix() const {
    return Format("%04d_%02d_%02d_%02d_%02d_%02d_", year, month, day, hour, minute, second);
}

DateTime DateTime::ParseLongText(std::string_view text) {
    return DateTime(ReadField(text, 6, 4), ReadField(text, 3, 2), ReadField(text, 0, 2),
                    ReadField(text, 12, 2), ReadField(text, 15, 2), ReadField(text, 18, 2),
                    ReadField(text, 21, 3));
}

DateTime DateTime::ParseDateText(std::string_view text) {
    return DateTime(ReadField(text, 6, 4), ReadField(text, 3, 2), ReadField(text, 0, 2));
}

DateTime DateTime::ParseTimeText(std::string_view text, DateTime into) {
    into.hour = ReadField(text, 0, 2);
    into.minute = ReadField(text, 3, 2);
    into.second = ReadField(text, 6, 2);
    into.millisecond = ReadField(text, 9, 3);
    return into;
}

int64_t DateTime::ToEpochMilliseconds() const {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return static_cast<int64_t>(std::mktime(&tm)) * 1000 + millisecond;
}

}  // namespace wk
