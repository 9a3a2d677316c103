#include "player/TimeRuler.h"

#include <array>
#include <cstdio>

namespace wk {
namespace {

constexpr StreamTime kSecond = kMsPerSecond;
constexpr StreamTime kMinute = kMsPerMinute;
constexpr StreamTime kHour = kMsPerHour;
constexpr StreamTime kDay = kMsPerDay;
constexpr StreamTime kWeek = 7 * kDay;
// 2000-01-03, the first Monday of stream time.
constexpr StreamTime kFirstMonday = 2 * kDay;
// Pixels between the end of one label and the next tick.
constexpr int kLabelGap = 10;

constexpr std::array<RulerStep, 36> kSteps = {{
    {1, RulerFormat::kMilliseconds},         {2, RulerFormat::kMilliseconds},
    {5, RulerFormat::kMilliseconds},         {10, RulerFormat::kMilliseconds},
    {20, RulerFormat::kMilliseconds},        {50, RulerFormat::kMilliseconds},
    {100, RulerFormat::kMilliseconds},       {200, RulerFormat::kMilliseconds},
    {500, RulerFormat::kMilliseconds},       {kSecond, RulerFormat::kSeconds},
    {2 * kSecond, RulerFormat::kSeconds},    {5 * kSecond, RulerFormat::kSeconds},
    {10 * kSecond, RulerFormat::kSeconds},   {15 * kSecond, RulerFormat::kSeconds},
    {30 * kSecond, RulerFormat::kSeconds},   {kMinute, RulerFormat::kMinutes},
    {2 * kMinute, RulerFormat::kMinutes},    {5 * kMinute, RulerFormat::kMinutes},
    {10 * kMinute, RulerFormat::kMinutes},   {15 * kMinute, RulerFormat::kMinutes},
    {30 * kMinute, RulerFormat::kMinutes},   {kHour, RulerFormat::kMinutes},
    {2 * kHour, RulerFormat::kMinutes},      {3 * kHour, RulerFormat::kMinutes},
    {6 * kHour, RulerFormat::kMinutes},      {12 * kHour, RulerFormat::kMinutes},
    {kDay, RulerFormat::kDays},              {2 * kDay, RulerFormat::kDays},
    {kWeek, RulerFormat::kDays},             {2 * kWeek, RulerFormat::kDays},
    {4 * kWeek, RulerFormat::kDays},         {8 * kWeek, RulerFormat::kDays},
    {16 * kWeek, RulerFormat::kDays},        {52 * kWeek, RulerFormat::kDays},
    {104 * kWeek, RulerFormat::kDays},       {520 * kWeek, RulerFormat::kDays},
}};

StreamTime FloorDiv(StreamTime a, StreamTime b) {
    StreamTime q = a / b;
    if (a % b != 0 && (a < 0) != (b < 0)) --q;
    return q;
}

const char* WeekDayName(const DateTime& d) {
    static const char* const kNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    const int day = d.WeekDay();
    return day >= 0 && day < 7 ? kNames[day] : "";
}

}  // namespace

RulerStep ChooseRulerStep(StreamTime width, int pixels, const std::function<int(RulerFormat)>& labelWidth) {
    if (width <= 0 || pixels <= 0) return kSteps.back();
    for (const RulerStep& s : kSteps) {
        const double spacing = static_cast<double>(s.step) / static_cast<double>(width) * pixels;
        if (spacing >= labelWidth(s.format) + kLabelGap) return s;
    }
    return kSteps.back();
}

StreamTime FirstTick(StreamTime start, StreamTime step) {
    const StreamTime origin = step % kWeek == 0 ? kFirstMonday : 0;
    const StreamTime k = FloorDiv(start - origin, step);
    StreamTime tick = origin + k * step;
    if (tick < start) tick += step;
    return tick;
}

StreamTime DayStart(StreamTime t) { return FloorDiv(t, kDay) * kDay; }

std::string RulerLabel(StreamTime t, RulerFormat format) {
    const DateTime d = DateTime::FromStreamTime(t);
    char text[32];
    switch (format) {
        case RulerFormat::kMilliseconds:
            std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", d.hour, d.minute, d.second,
                          d.millisecond);
            break;
        case RulerFormat::kSeconds:
            std::snprintf(text, sizeof text, "%02d:%02d:%02d", d.hour, d.minute, d.second);
            break;
        case RulerFormat::kMinutes:
            std::snprintf(text, sizeof text, "%02d:%02d", d.hour, d.minute);
            break;
        case RulerFormat::kDays:
            std::snprintf(text, sizeof text, "%s %02d/%02d", WeekDayName(d), d.day, d.month);
            break;
    }
    return text;
}

std::string RulerDate(StreamTime t) {
    const DateTime d = DateTime::FromStreamTime(t);
    char text[32];
    std::snprintf(text, sizeof text, "%s %02d/%02d/%04d", WeekDayName(d), d.day, d.month, d.year);
    return text;
}

}  // namespace wk
