#include "server/meter_scale.h"

#include <gtest/gtest.h>

namespace quavelink {
namespace {

TEST(MeterScale, KeepsQuietValuesAndRaisesLoudOnesLogarithmically) {
    EXPECT_EQ(meterLevel(0), 0);
    EXPECT_EQ(meterLevel(1500), 1500);
    EXPECT_EQ(meterLevel(1501), 1506);
    EXPECT_EQ(meterLevel(3000), 8636);
    EXPECT_EQ(meterLevel(10000), 21031);
    EXPECT_EQ(meterLevel(32767), 33250);
    EXPECT_NEAR(meterLevel(31268), 32768, 2);
}

TEST(MeterScale, NeverFallsAsTheValueRises) {
    int previous = meterLevel(0);
    for (int v = 1; v <= 32768; ++v) {
        int level = meterLevel(v);
        ASSERT_GE(level, previous) << v;
        previous = level;
    }
}

}  // namespace
}  // namespace quavelink
