#include "client/network/block_sequence.h"

namespace quavelink {

BlockSequence::Step BlockSequence::accept(std::uint32_t blockNumber) {
    if (!started) {
        started = true;
        expected = blockNumber + 1;
        return {Kind::First};
    }
    // Unsigned differences keep this right across the wrap from 0xFFFFFFFF to 0.
    std::uint32_t ahead = blockNumber - expected;
    std::uint32_t behind = expected - 1 - blockNumber;
    if (ahead == 0) {
        expected = blockNumber + 1;
        return {Kind::Next};
    }
    if (ahead < kMaxGap) {
        expected = blockNumber + 1;
        return {Kind::Gap, ahead};
    }
    if (behind < kMaxGap) return {Kind::Stale};
    expected = blockNumber + 1;
    return {Kind::Restart};
}

}  // namespace quavelink
