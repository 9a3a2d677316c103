#include <gtest/gtest.h>

#include "descriptions/DescriptionStore.h"
#include "descriptions/TimeShifting.h"

namespace wk {
namespace {

TEST(TimeShiftingTest, AmountAndTheViewLimit) {
    EXPECT_EQ(TimeShiftAmount(2, 500, true), -2500);
    EXPECT_EQ(TimeShiftAmount(0, 999, false), 999);

    DescriptionStore store;
    Description a, b;
    a.start = 10000;
    a.end = 20000;
    b.start = 50000;
    b.end = 97000;
    store.Add(a);
    store.Add(b);
    // The view covers 0..100 s: moving both 4 s on would push b's end out.
    EXPECT_EQ(ShiftDescriptionsWithin(store, 4000, -1, 0, 100000), 1);
    EXPECT_EQ(store.Records()[0]->start, 14000);
    EXPECT_EQ(store.Records()[1]->end, 97000);
    // Only the selected one moves; a start on the view's edge is outside.
    EXPECT_EQ(ShiftDescriptionsWithin(store, -40000, 1, 0, 100000), 1);
    EXPECT_EQ(store.Records()[1]->start, 10000);
    EXPECT_EQ(store.Records()[0]->start, 14000);
    EXPECT_EQ(ShiftDescriptionsWithin(store, -14000, 0, 0, 100000), 0);
    EXPECT_EQ(store.Records()[0]->start, 14000);
}

}  // namespace
}  // namespace wk
