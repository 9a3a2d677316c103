#pragma once
// The ruler of the time line: which tick step fits a zoom, from
// milliseconds to weeks, and how its labels read. Toolkit-free; the
// renderer measures the labels and draws them.

#include <functional>
#include <string>

#include "core/DateTime.h"

namespace wk {

enum class RulerFormat {
    kMilliseconds,  // "17:42:11.250"
    kSeconds,       // "17:42:11"
    kMinutes,       // "17:42"
    kDays,          // "Fri 07/11"
};

struct RulerStep {
    StreamTime step = 0;
    RulerFormat format = RulerFormat::kMinutes;
};

// The finest step whose ticks lie at least labelWidth(format) + a little
// apart when `width` milliseconds are drawn across `pixels` pixels; the
// coarsest step when none does.
RulerStep ChooseRulerStep(StreamTime width, int pixels, const std::function<int(RulerFormat)>& labelWidth);

// The first tick at or after `start`: a multiple of the step from midnight
// of 2000-01-01, weeks and longer counted from a Monday.
StreamTime FirstTick(StreamTime start, StreamTime step);

std::string RulerLabel(StreamTime t, RulerFormat format);
// The day `t` falls on, for the ruler's date row: "Fri 07/11/2003".
std::string RulerDate(StreamTime t);

// Start of the day `t` falls on.
StreamTime DayStart(StreamTime t);

}  // namespace wk
