#include "client/output_buffer_size.h"

#include <gtest/gtest.h>

namespace quavelink {
namespace {

constexpr std::int64_t kSecond = 1'000'000;

// Each run dry grows the buffer at once, up to its most; it shrinks a ms at a time only after
// 30 calm seconds, never below the size asked for; a new stream's count starts again, and
// runs dry in its first two seconds (the sound server setting it up) grow nothing.
TEST(OutputBufferSize, GrowsAtOnceWhenTheStreamRanDryAndShrinksSlowlyAfterACalmStretch) {
    OutputBufferSize size(6, 20);
    size.newStream(0);
    EXPECT_EQ(size.update(0, kSecond), 6);
    EXPECT_EQ(size.update(1, 2 * kSecond), 10);
    EXPECT_EQ(size.update(1, 3 * kSecond), 10);  // the same run dry, read again
    EXPECT_EQ(size.update(3, 4 * kSecond), 14);  // two more since: one step a reading
    EXPECT_EQ(size.update(4, 5 * kSecond), 18);
    EXPECT_EQ(size.update(5, 6 * kSecond), 20);  // at most the most

    EXPECT_EQ(size.update(5, 35 * kSecond), 20);  // 29 calm seconds
    EXPECT_EQ(size.update(5, 36 * kSecond), 19);
    EXPECT_EQ(size.update(5, 45 * kSecond), 19);
    EXPECT_EQ(size.update(5, 46 * kSecond), 18);
    std::int64_t now = 46 * kSecond;
    while (now < 400 * kSecond) {
        now += kSecond;
        size.update(5, now);
    }
    EXPECT_EQ(size.ms(), 6);

    size.newStream(now);
    EXPECT_EQ(size.update(2, now + kSecond), 6);
    EXPECT_EQ(size.update(2, now + 3 * kSecond), 6);  // those two are not counted again
    EXPECT_EQ(size.update(3, now + 4 * kSecond), 10);
}

}  // namespace
}  // namespace quavelink
