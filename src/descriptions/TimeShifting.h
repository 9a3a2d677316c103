#pragma once
// Moving descriptions by hand ("Time shifting"): an amount in milliseconds,
// negative towards the past, applied to one description or to all, each only
// when it stays strictly inside the stretch the stream view covers.

#include <cstdint>

#include "core/DateTime.h"

namespace wk {

class DescriptionStore;

// seconds and milliseconds (0..999) as entered; "To Past" makes it negative.
int64_t TimeShiftAmount(int64_t seconds, int milliseconds, bool toPast);

// Moves record `index` (0-based), or every record when index < 0, by
// `amount` (start and end). Returns how many moved.
int ShiftDescriptionsWithin(DescriptionStore& store, int64_t amount, int index, StreamTime viewStart,
                            StreamTime viewEnd);

}  // namespace wk
