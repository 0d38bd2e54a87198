#include "client/output_buffer_size.h"

#include <algorithm>

namespace quavelink {
namespace {
// A stall of the sound server's thread reaches a few ms past what it usually is: one step
// covers most, and a second run dry soon after adds another.
constexpr int kGrowStepMs = 4;
// Stalls come in bursts of seconds, minutes apart: the size is kept through a burst's calm
// moments and given back a ms at a time once none came for a while.
constexpr std::int64_t kCalmUs = 30'000'000;
constexpr std::int64_t kShrinkEveryUs = 10'000'000;
// A stream's first moments are the sound server setting it up while the rest of the program
// starts its parts too: a run dry then says nothing of the pace the sound server keeps, and a
// step grown for it would stay for minutes.
constexpr std::int64_t kSettleUs = 2'000'000;
}  // namespace

void OutputBufferSize::newStream(std::int64_t nowUs) {
    seen = 0;
    calmSinceUs = nowUs;
    openedUs = nowUs;
}

int OutputBufferSize::update(std::uint64_t underflows, std::int64_t nowUs) {
    if (underflows > seen) {
        seen = underflows;
        if (nowUs - openedUs >= kSettleUs) {
            size = std::min(most, size + kGrowStepMs);
            calmSinceUs = nowUs;
        }
    } else if (size > base && nowUs - calmSinceUs >= kCalmUs) {
        size = std::max(base, size - 1);
        calmSinceUs = nowUs - (kCalmUs - kShrinkEveryUs);
    }
    return size;
}

}  // namespace quavelink
