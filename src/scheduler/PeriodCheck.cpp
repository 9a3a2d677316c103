#include "scheduler/PeriodCheck.h"

#include "core/Translation.h"

namespace wk {

std::string ValidatePeriod(const DateTime& start, const DateTime& end, const DateTime& now,
                           bool mustEndInFuture) {
    if (mustEndInFuture && end <= now) return TranslateText(kTextPeriodInPast);
    if (start > end) return TranslateText(kTextStartAfterEnd);
    return {};
}

}  // namespace wk
