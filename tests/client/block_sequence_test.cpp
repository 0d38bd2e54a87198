#include "client/network/block_sequence.h"

#include <gtest/gtest.h>

namespace quavelink {
namespace {

using Kind = BlockSequence::Kind;

TEST(BlockSequence, CountsMissingBlocksAndDropsLateOnes) {
    BlockSequence sequence;
    EXPECT_EQ(sequence.accept(500).kind, Kind::First);
    EXPECT_EQ(sequence.accept(501).kind, Kind::Next);
    auto gap = sequence.accept(505);
    EXPECT_EQ(gap.kind, Kind::Gap);
    EXPECT_EQ(gap.missing, 3u);
    // A block that turns up after its successors is not played out of order.
    EXPECT_EQ(sequence.accept(503).kind, Kind::Stale);
    EXPECT_EQ(sequence.accept(505).kind, Kind::Stale);
    EXPECT_EQ(sequence.accept(506).kind, Kind::Next);
}

TEST(BlockSequence, FollowsTheNumbersAcrossTheirWrap) {
    BlockSequence sequence;
    sequence.accept(0xFFFFFFFEu);
    EXPECT_EQ(sequence.accept(0xFFFFFFFFu).kind, Kind::Next);
    EXPECT_EQ(sequence.accept(0).kind, Kind::Next);
    auto gap = sequence.accept(3);
    EXPECT_EQ(gap.kind, Kind::Gap);
    EXPECT_EQ(gap.missing, 2u);
    EXPECT_EQ(sequence.accept(0xFFFFFFFFu).kind, Kind::Stale);
}

TEST(BlockSequence, ANumberFarAwayStartsANewNumberingInsteadOfAHugeLoss) {
    BlockSequence sequence;
    sequence.accept(90000);
    // A restarted server counts from 0 again.
    EXPECT_EQ(sequence.accept(0).kind, Kind::Restart);
    EXPECT_EQ(sequence.accept(1).kind, Kind::Next);
    EXPECT_EQ(sequence.accept(1 + BlockSequence::kMaxGap + 1).kind, Kind::Restart);
    sequence.reset();
    EXPECT_EQ(sequence.accept(7).kind, Kind::First);
}

}  // namespace
}  // namespace quavelink
