#pragma once
// The check the command line and the task dialogs make before they schedule
// a period.

#include <string>

#include "core/DateTime.h"

namespace wk {

inline constexpr const char* kTextPeriodInPast =
    "Can not schedule recording in the past. Please, set end time to some time in future.";
inline constexpr const char* kTextStartAfterEnd =
    "Error! Start time is greater than end time. Please, enter valid time interval.";

// Empty when the period may be scheduled, else the (translated) text to
// Report. `mustEndInFuture` is for once tasks; daily and weekly times refer
// to any day, so their end may lie before `now` today.
std::string ValidatePeriod(const DateTime& start, const DateTime& end, const DateTime& now,
                           bool mustEndInFuture = true);

}  // namespace wk
