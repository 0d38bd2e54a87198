// A tone through the playout on simulated time, through every kind of edge it meets: a start,
// a queue that runs dry, a resume, a stale backlog cut, and a disconnect. At none of them may
// a sample step further from the one before than the tone itself ever steps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <vector>

#include "client/playout/playout.h"

namespace quavelink {
namespace {

constexpr int kRate = 48000;
constexpr double kTone = 1000;
constexpr double kAmplitude = 0.5 * 32767;
constexpr std::size_t kBlockFrames = 338;
constexpr std::size_t kPullFrames = 240;

class ToneThroughThePlayout {
  public:
    //! Runs until `untilS`; blocks arrive on time while `sending`, `extraMs` of tone more at once
    //! at the start.
    void run(double untilS, bool sending, double extraMs = 0) {
        if (extraMs > 0) send(static_cast<std::size_t>(extraMs * kRate / 1000), nowUs());
        const auto untilFrame = static_cast<std::uint64_t>(untilS * kRate);
        while (pulled < untilFrame) {
            if (sending && toneClock + kBlockFrames <= pulled + kPullFrames) {
                send(kBlockFrames, static_cast<std::int64_t>(toneClock * 1000000 / kRate));
                continue;
            }
            if (!sending) toneClock = pulled;
            std::vector<std::int16_t> out(kPullFrames * 2);
            playout.pull(out.data(), kPullFrames, PlayoutFeed::Hold{}, nowUs());
            for (std::size_t i = 0; i < kPullFrames; ++i) heard.push_back(out[2 * i]);
            pulled += kPullFrames;
        }
    }

    std::int64_t nowUs() const { return static_cast<std::int64_t>(pulled * 1000000 / kRate); }

    Playout playout{PlayoutSettings{}};
    std::vector<std::int16_t> heard;

  private:
    void send(std::size_t frames, std::int64_t atUs) {
        std::vector<std::int16_t> block(frames * 2);
        for (std::size_t i = 0; i < frames; ++i, ++phase) {
            double x = kAmplitude * std::sin(2 * std::numbers::pi * kTone * phase / kRate);
            block[2 * i] = block[2 * i + 1] = static_cast<std::int16_t>(std::lround(x));
        }
        playout.push(block.data(), frames, kRate, atUs);
        toneClock += frames;
    }

    std::uint64_t pulled = 0, toneClock = 0;
    double phase = 0;
};

TEST(Fade, NoEdgeOfTheToneStepsFurtherThanTheToneItself) {
    ToneThroughThePlayout t;
    t.run(3, true);
    t.run(3.1, false);      // runs dry
    t.run(8, true);         // resumes
    t.run(8.5, true, 300);  // a stale backlog, cut
    t.run(10, true);
    t.playout.clear();  // a disconnect while playing
    t.run(10.5, false);

    auto f = t.playout.figures();
    EXPECT_GE(f.underruns, 1u);
    EXPECT_GT(f.droppedFrames, static_cast<std::uint64_t>(kRate / 10));
    const double toneStep = 2 * kAmplitude * std::sin(std::numbers::pi * kTone / kRate);
    double most = 0;
    for (std::size_t i = 1; i < t.heard.size(); ++i) {
        most = std::max(most, std::abs(static_cast<double>(t.heard[i]) - t.heard[i - 1]));
    }
    std::printf("largest step %.0f, the tone's own %.0f (of %.0f)\n", most, toneStep, kAmplitude);
    // 2 % above the tone's own: the resampler's small speed changes.
    EXPECT_LE(most, 1.02 * toneStep);
}

}  // namespace
}  // namespace quavelink
