#pragma once
// Date-time record and stream time.
//
// Stream time is a signed 64-bit count of milliseconds since
// 2000-01-01 00:00:00.000 of the local wall clock. A DateTime holds local time
// and converts to stream time by pure calendar arithmetic: month lengths
// 31,28,31,30,31,30,31,31,30,31,30,31 and a leap year every fourth year with no
// century rule, so the arithmetic is exact from 2000 to 2099 (2100 counts as a
// leap year). No time zone or daylight-saving correction enters it.

#include <cstdint>
#include <string>
#include <string_view>

namespace wk {

using StreamTime = int64_t;

inline constexpr StreamTime kMsPerSecond = 1000;
inline constexpr StreamTime kMsPerMinute = 60 * kMsPerSecond;
inline constexpr StreamTime kMsPerHour = 60 * kMsPerMinute;
inline constexpr StreamTime kMsPerDay = 24 * kMsPerHour;

struct DateTime {
    int32_t year = 2000;
    int32_t month = 1;
    int32_t day = 1;
    int32_t hour = 0;
    int32_t minute = 0;
    int32_t second = 0;
    int32_t millisecond = 0;

    DateTime() = default;
    DateTime(int32_t y, int32_t mo, int32_t d, int32_t h = 0, int32_t mi = 0, int32_t s = 0,
             int32_t ms = 0)
        : year(y), month(mo), day(d), hour(h), minute(mi), second(s), millisecond(ms) {}

    // The current local time from the C library clock in whole seconds
    // (millisecond 0). Only the SystemClock calls this; everything else asks a Clock.
    static DateTime Now();

    StreamTime ToStreamTime() const;
    // A negative stream time gives the default record.
    static DateTime FromStreamTime(StreamTime t);

    // 0 = Sunday .. 6 = Saturday; 2000-01-01 is a Saturday.
    int WeekDay() const;

    // Every field within its range; hour 24 is accepted.
    bool IsValid() const;

    // Compare year..second; the millisecond field takes no part.
    int Compare(const DateTime& other) const;  // -1, 0, 1
    bool operator==(const DateTime& o) const { return Compare(o) == 0; }
    bool operator!=(const DateTime& o) const { return Compare(o) != 0; }
    bool operator<(const DateTime& o) const { return Compare(o) < 0; }
    bool operator>(const DateTime& o) const { return Compare(o) > 0; }
    bool operator<=(const DateTime& o) const { return Compare(o) <= 0; }
    bool operator>=(const DateTime& o) const { return Compare(o) >= 0; }

    // Adds a duration through the C library's local time (mktime/localtime),
    // so a daylight-saving change inside the span is handled as the platform
    // handles it. The millisecond field of the result is 0.
    DateTime AddDuration(int days, int hours, int minutes, int seconds) const;

    // Text forms, all fields zero-padded.
    std::string LongText() const;           // "DD/MM/YYYY  hh:mm:ss.mmm" (24 characters)
    std::string DateText() const;           // "DD/MM/YYYY"
    std::string TimeText() const;           // "hh:mm:ss"
    std::string TimeTextMs() const;         // "hh:mm:ss.mmm"
    std::string YearFirstDateText() const;  // "YYYY/MM/DD " (eleven characters)
    std::string FileNamePrefix() const;     // "YYYY_MM_DD_hh_mm_ss_"

    // Fixed-position parsing: each field is read as decimal digits up to its
    // width or the end of the text; nothing else is checked.
    static DateTime ParseLongText(std::string_view text);  // positions 0,3,6 / 12,15,18,21
    static DateTime ParseDateText(std::string_view text);  // DD/MM/YYYY, time fields 0
    // "hh:mm:ss" (millisecond 0) or "hh:mm:ss.mmm"; sets only the time fields of `into`.
    static DateTime ParseTimeText(std::string_view text, DateTime into);
    static DateTime ParseTimeText(std::string_view text) { return ParseTimeText(text, DateTime()); }

    // Milliseconds since 1970-01-01 00:00:00 UTC of this local wall-clock
    // moment, through the C library's local time (mktime).
    int64_t ToEpochMilliseconds() const;

    static bool IsLeapYear(int32_t year) { return year % 4 == 0; }
    static int DaysInMonth(int32_t year, int32_t month);
    static int DaysInYear(int32_t year) { return IsLeapYear(year) ? 366 : 365; }
};

}  // namespace wk
