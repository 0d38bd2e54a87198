#include "server/wire_format.h"

#include <gtest/gtest.h>

#include <array>

namespace quavelink {
namespace {

TEST(MessageHeader, IsSixteenLittleEndianBytes) {
    std::array<std::uint8_t, 16> bytes{};
    writeMessageHeader({MSG_AUDIO, 0x01020304, 0xC3, 0}, bytes.data());
    std::array<std::uint8_t, 16> expected{0, 0, 0, 0, 4, 3, 2, 1, 0xC3, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(bytes, expected);

    MessageHeader back = readMessageHeader(bytes.data());
    EXPECT_EQ(back.messageId, MSG_AUDIO);
    EXPECT_EQ(back.blockNumber, 0x01020304u);
    EXPECT_EQ(back.flags, 0xC3u);
}

TEST(MessageFlags, CarryDeliveryRateAndRateCode) {
    EXPECT_EQ(audioMessageFlags(true, true, 3), 0xC3u);
    EXPECT_EQ(audioMessageFlags(false, false, 0), 0u);
    EXPECT_EQ(audioMessageFlags(true, false, 1), 0x41u);
    EXPECT_EQ(audioMessageFlags(false, true, 2), 0x82u);

    EXPECT_EQ(rateCodeFromFlags(0xC1), 3);
    EXPECT_EQ(rateCodeFromFlags(0x40), 1);
    EXPECT_EQ(rateCodeFromFlags(0x81), 2);
    // Bits outside 6 and 7 never leak into the rate code.
    EXPECT_EQ(rateCodeFromFlags(0xFFFFFF3F), 0);
}

TEST(ConnectValue, ProtocolVersionIsTheLowByte) {
    EXPECT_EQ(protocolVersionFromConnectValue(CONNECT_FLAG_SHARED | 0x1234501), 1u);
    EXPECT_EQ(protocolVersionFromConnectValue(0xFF), 255u);
}

}  // namespace
}  // namespace quavelink
