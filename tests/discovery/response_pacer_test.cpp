#include "discovery/response_pacer.h"

#include <gtest/gtest.h>

namespace quavelink {
namespace {

using std::chrono::milliseconds;

constexpr std::uint32_t kFlooder = 0x7F000002;
constexpr std::uint32_t kListener = 0x7F000001;

// Queries from `address` every `everyMs` from `fromMs` up to (not including) `toMs`; returns
// how many were answered.
int answered(ResponsePacer& pacer, std::uint32_t address, std::int64_t fromMs, std::int64_t toMs,
             std::int64_t everyMs = 1) {
    int count = 0;
    for (std::int64_t t = fromMs; t < toMs; t += everyMs)
        count += pacer.mayAnswer(address, milliseconds(t));
    return count;
}

TEST(ResponsePacer, OneAddressGetsTwoAnswersAtOnceThenTenASecond) {
    ResponsePacer pacer;
    EXPECT_TRUE(pacer.mayAnswer(kFlooder, milliseconds(1000)));
    EXPECT_TRUE(pacer.mayAnswer(kFlooder, milliseconds(1000)));
    EXPECT_FALSE(pacer.mayAnswer(kFlooder, milliseconds(1000)));
    EXPECT_FALSE(pacer.mayAnswer(kFlooder, milliseconds(1099)));
    EXPECT_TRUE(pacer.mayAnswer(kFlooder, milliseconds(1100)));
    // A query a millisecond for ten seconds.
    EXPECT_EQ(answered(pacer, kFlooder, 1101, 11101), 100);
}

TEST(ResponsePacer, AClientAskingNowAndThenIsAlwaysAnswered) {
    ResponsePacer pacer;
    EXPECT_EQ(answered(pacer, kListener, 0, 60000, 500), 120);
}

TEST(ResponsePacer, AnotherAddressIsAnsweredWhileOneFloods) {
    ResponsePacer pacer;
    for (std::int64_t t = 0; t < 5000; ++t) {
        pacer.mayAnswer(kFlooder, milliseconds(t));
        if (t % 1000 == 500) {
            EXPECT_TRUE(pacer.mayAnswer(kListener, milliseconds(t))) << t;
        }
    }
}

// A flood with a new (forged) sender address for every query: every address is fresh, so only
// the overall limit and the reserve hold it, at twenty-five answers at once and then sixty a
// second.
TEST(ResponsePacer, ManyAddressesTogetherGetSixtyAnswersASecond) {
    ResponsePacer pacer;
    int count = 0;
    std::uint32_t address = 0x0A000000;
    for (std::int64_t t = 0; t < 10000; ++t) count += pacer.mayAnswer(++address, milliseconds(t));
    EXPECT_EQ(count, 20 + 10000 / 20 - 1 + 5 + 10000 / 100 - 1);
}

// A thousand forged addresses that take turns, a query a millisecond, spend the overall budget
// as soon as it grows back; listeners that start looking meanwhile are answered all the same.
TEST(ResponsePacer, ListenersAreAnsweredWhileForgedAddressesSpendTheOverallBudget) {
    ResponsePacer pacer;
    int flood = 0;
    for (std::int64_t t = 0; t < 30000; ++t) {
        flood +=
            pacer.mayAnswer(0x0A000000 + static_cast<std::uint32_t>(t % 1000), milliseconds(t));
        if (t >= 2000 && t % 1000 == 0) {
            EXPECT_TRUE(
                pacer.mayAnswer(0xC0A80000 + static_cast<std::uint32_t>(t / 1000), milliseconds(t)))
                << t;
        }
    }
    EXPECT_LE(flood, 30 * 60 + 25);
}

// More addresses than are remembered, each asking again and again: forgetting one must not
// hand it a fresh burst while its budget is still spent.
TEST(ResponsePacer, AddressesBeyondTheRememberedOnesStayWithinTheOverallLimit) {
    ResponsePacer pacer;
    const std::uint32_t addresses = ResponsePacer::kRememberedAddresses * 2;
    int count = 0;
    for (std::int64_t t = 0; t < 10000; ++t) {
        count += pacer.mayAnswer(0x0A000000 + static_cast<std::uint32_t>(t) % addresses,
                                 milliseconds(t));
    }
    EXPECT_LE(count, 20 + 10000 / 20 + 5 + 2);
    EXPECT_GE(count, 10000 / 20);
}

}  // namespace
}  // namespace quavelink
