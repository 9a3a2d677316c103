#include "descriptions/TimeShifting.h"

#include "descriptions/DescriptionStore.h"

namespace wk {

int64_t TimeShiftAmount(int64_t seconds, int milliseconds, bool toPast) {
    const int64_t amount = seconds * 1000 + milliseconds;
    return toPast ? -amount : amount;
}

int ShiftDescriptionsWithin(DescriptionStore& store, int64_t amount, int index, StreamTime viewStart,
                            StreamTime viewEnd) {
    int moved = 0;
    auto& records = store.Records();
    for (size_t i = 0; i < records.size(); ++i) {
        if (index >= 0 && static_cast<size_t>(index) != i) continue;
        Description& d = *records[i];
        const StreamTime start = d.start + amount;
        const StreamTime end = d.end + amount;
        if (start > viewStart && end < viewEnd) {
            d.start = start;
            d.end = end;
            ++moved;
        }
    }
    return moved;
}

}  // namespace wk
