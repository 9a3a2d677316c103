#pragma once
// The time check: how far the service's clock runs ahead of ours.
//
// Request: a form post to "TimeCheckURL" with a=timeCheck, login, passwd and
// localTime (seconds since 1970 UTC with exactly three decimals). Answer: line
// 1 "OK" (at position 0), line 2 the server clock in seconds since 1970.
// One sample = server clock - our clock read right after the answer arrived.

#include <optional>
#include <string>

#include "core/DateTime.h"

namespace wk {

class HttpClient;

// Seconds since 1970-01-01 UTC of a local wall-clock moment, with milliseconds.
double EpochSeconds(const DateTime& local);
// "1068199999.007": the whole seconds, a point and exactly three digits.
std::string LocalClockText(const DateTime& local);
// A plain decimal conversion: leading blanks, digits, an optional fraction;
// whatever follows is ignored; nothing read gives 0. No sign, exponent,
// "nan" or "inf": a server clock is none of those.
double ParseServerClock(const std::string& text);

// One time-check sample: the server clock of an answer's second line minus
// `local` (seconds since 1970). Empty when the line holds no number or one
// that is more than a day off ours (garbage, "nan", a number cut short by a
// broken answer): such a clock is not applied anywhere.
std::optional<double> ClockSample(const std::string& line, double local);

struct TimeCheckResult {
    bool ok = false;
    double difference = 0;  // seconds, server minus local
    int samples = 0;
    std::string error;      // why it failed
};

// Up to three rounds against `url` with the stored credentials; a failing
// round ends the rounds, the samples gathered so far are averaged.
TimeCheckResult RunAutoTimeCheck(HttpClient& http, const std::string& url);

// The last measured difference, kept in the program home for the commands
// that need one ("timecheck.txt": the difference in seconds and the local
// time of the measurement). Empty when none was stored or the stored one is
// not plausible (ClockDifference.h); an implausible one is not stored.
std::optional<double> LastTimeDifference();
bool StoreTimeDifference(double difference);

}  // namespace wk
