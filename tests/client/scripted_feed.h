#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "client/output/audio_output.h"

namespace quavelink::test {

// Keeps the output holding about 20 ms once it can tell what it holds, at the constant sample
// value `level`; stalls once, for `stall`, when asked to.
struct ScriptedFeed : PlayoutFeed {
    static constexpr std::int64_t kKeepUs = 20000;
    std::atomic<std::uint64_t> frames{0}, pulls{0}, ranDry{0};
    std::atomic<std::int64_t> heldUs{-1}, leastUs{0};
    std::atomic<bool> stallNow{false};
    std::chrono::milliseconds stall{0};
    int rate = 48000;
    std::int16_t level = 0;

    std::size_t pull(std::int16_t* out, std::size_t most, const Hold& hold) override {
        std::size_t count = most;
        if (hold.heldUs >= 0) {
            auto framesOf = [&](std::int64_t us) {
                return us <= 0 ? std::size_t{0} : static_cast<std::size_t>(us * rate / 1000000);
            };
            count = std::min(most, std::max(framesOf(hold.leastUs - hold.heldUs),
                                            framesOf(kKeepUs - hold.heldUs)));
        }
        std::fill(out, out + count * 2, level);
        heldUs = hold.heldUs;
        leastUs = hold.leastUs;
        frames += count;
        ++pulls;
        if (stallNow.exchange(false)) std::this_thread::sleep_for(stall);
        return count;
    }
    void outputRanDry() override { ++ranDry; }
};

}  // namespace quavelink::test
