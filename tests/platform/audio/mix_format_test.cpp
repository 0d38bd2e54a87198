#include <gtest/gtest.h>

#include "platform/audio/audio_system.h"

namespace quavelink::audio {
namespace {

TEST(MixFormat, FloatFormatHasTheDerivedFields) {
    MixFormat format = FloatMixFormat(6, 48000, 0x3F);
    EXPECT_EQ(format.bitsPerSample, 32);
    EXPECT_EQ(format.blockAlign, 24);
    EXPECT_EQ(format.avgBytesPerSec, 48000u * 24);
    EXPECT_EQ(format.cbSize, 22);
}

TEST(MixFormat, BytesAreTheExtensibleLayout) {
    std::vector<std::uint8_t> bytes = FormatBytes(FloatMixFormat(2, 44100, 0x3));
    ASSERT_EQ(bytes.size(), 40u);
    EXPECT_EQ(bytes[0], 0xFE);
    EXPECT_EQ(bytes[1], 0xFF);
    EXPECT_EQ(bytes[2], 2);
    EXPECT_EQ(bytes[4] | bytes[5] << 8, 44100);
    EXPECT_EQ(bytes[14], 32);
    EXPECT_EQ(bytes[16], 22);
    EXPECT_EQ(bytes[20], 0x3);
    EXPECT_EQ(bytes[24], 0x03);  // the float subtype
}

TEST(MixFormat, PlainFormatHasEighteenBytes) {
    MixFormat format = FloatMixFormat(2, 48000, 0x3);
    format.formatTag = 3;
    format.cbSize = 0;
    EXPECT_EQ(FormatBytes(format).size(), 18u);
}

TEST(MixFormat, ChannelMaskDifferenceShowsInTheBytes) {
    EXPECT_NE(FormatBytes(FloatMixFormat(2, 48000, 0x3)), FormatBytes(FloatMixFormat(2, 48000, 0)));
    EXPECT_EQ(FormatBytes(FloatMixFormat(2, 48000, 0x3)),
              FormatBytes(FloatMixFormat(2, 48000, 0x3)));
}

}  // namespace
}  // namespace quavelink::audio
