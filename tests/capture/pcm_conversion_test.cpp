#include "capture/pcm_conversion.h"

#include <gtest/gtest.h>

#include <limits>

namespace quavelink {
namespace {

TEST(ToPcm16, FullScaleAndQuarter) {
    EXPECT_EQ(toPcm16(1.0f), 32767);
    EXPECT_EQ(toPcm16(-1.0f), -32767);
    EXPECT_EQ(toPcm16(0.25f), 8192);
    EXPECT_EQ(toPcm16(0.0f), 0);
}

TEST(ToPcm16, RoundsHalfAwayFromZero) {
    EXPECT_EQ(toPcm16(1.6f / 32767.0f), 2);
    EXPECT_EQ(toPcm16(1.4f / 32767.0f), 1);
    EXPECT_EQ(toPcm16(-1.6f / 32767.0f), -2);
    EXPECT_EQ(toPcm16(-1.4f / 32767.0f), -1);
}

TEST(ToPcm16, BeyondFullScaleSaturates) {
    EXPECT_EQ(toPcm16(1.5f), 32767);
    EXPECT_EQ(toPcm16(-2.0f), -32767);
    EXPECT_EQ(toPcm16(1000.0f), 32767);
    EXPECT_EQ(toPcm16(std::numeric_limits<float>::infinity()), 32767);
    EXPECT_EQ(toPcm16(-std::numeric_limits<float>::infinity()), -32767);
}

TEST(ToPcm16, NanIsSilence) { EXPECT_EQ(toPcm16(std::numeric_limits<float>::quiet_NaN()), 0); }

TEST(ChannelPair, PairsNeedFourChannels) {
    EXPECT_EQ(chooseChannelPair(2, 1), 0);
    EXPECT_EQ(chooseChannelPair(1, 3), 0);
    EXPECT_EQ(chooseChannelPair(6, 2), 2);
    EXPECT_EQ(chooseChannelPair(6, 3), 0);
    EXPECT_EQ(chooseChannelPair(8, 3), 3);
    EXPECT_EQ(chooseChannelPair(4, 1), 1);
}

}  // namespace
}  // namespace quavelink
