#include "client/playout/resampler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <numbers>
#include <vector>

#include "tone.h"

namespace quavelink {
namespace {

constexpr int kRate = 48000;
constexpr double kTone = 1000;

// Two seconds of a 1 kHz tone at half of full scale, left and right alike.
std::vector<std::int16_t> tone(std::size_t frames) {
    std::vector<std::int16_t> samples(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        double x = 0.5 * std::sin(2 * std::numbers::pi * kTone * static_cast<double>(i) / kRate);
        samples[2 * i] = samples[2 * i + 1] = static_cast<std::int16_t>(std::lround(x * 32767));
    }
    return samples;
}

std::vector<float> left(const std::vector<std::int16_t>& samples, std::size_t from,
                        std::size_t frames) {
    std::vector<float> out;
    for (std::size_t i = from; i < from + frames; ++i) out.push_back(samples[2 * i] / 32768.0f);
    return out;
}

// Resamples `in` 5 ms at a time, as the playout does, with the ratio set from the start.
std::vector<std::int16_t> playAt(const std::vector<std::int16_t>& in, double& ppm) {
    Resampler resampler;
    EXPECT_TRUE(resampler.reset(kRate));
    resampler.setCorrectionPpm(ppm);
    EXPECT_NEAR(resampler.appliedPpm(), ppm, 8);
    ppm = resampler.appliedPpm();
    std::vector<std::int16_t> out(in.size() + 4096);
    std::size_t read = 0, made = 0;
    const std::size_t total = in.size() / 2;
    while (read < total) {
        std::size_t inFrames = std::min<std::size_t>(240, total - read);
        std::size_t outFrames = 240;
        resampler.process(in.data() + read * 2, inFrames, out.data() + made * 2, outFrames);
        read += inFrames;
        made += outFrames;
    }
    out.resize(made * 2);
    return out;
}

// The tone played 500 ppm faster or slower is the same tone, 0.5 Hz higher or lower, with no
// more distortion and noise than the 16-bit source has to within a few dB, far below hearing.
TEST(Resampler, ATonePlayedAtPlusOrMinus500PpmStaysClean) {
    const auto source = tone(2 * kRate);
    const std::size_t skip = 4800, length = kRate;  // past the filter's start
    const double before = test::thdPlusNoiseDb(left(source, skip, length), kTone, kRate);
    for (double asked : {0.0, 500.0, -500.0, 5000.0, -5000.0}) {
        double ppm = asked;
        const auto played = playAt(source, ppm);
        // Played faster, the same samples make fewer frames and a higher tone.
        const double expectedFrames = static_cast<double>(source.size() / 2) / (1 + ppm * 1e-6);
        EXPECT_NEAR(static_cast<double>(played.size() / 2), expectedFrames, 100) << ppm;
        const double frequency = kTone * (1 + ppm * 1e-6);
        const double after = test::thdPlusNoiseDb(left(played, skip, length), frequency, kRate);
        const double share = test::toneShare(left(played, skip, length), frequency, kRate);
        std::printf("%+6.0f ppm: THD+N %.1f dB before, %.1f dB after; tone share %.6f\n", ppm,
                    before, after, share);
        EXPECT_LT(after, -80) << ppm;
        EXPECT_LT(after, before + 6) << ppm;
        EXPECT_GT(share, 0.999) << ppm;
    }
}

// The ratio may change at every pull while a tone plays: no click at the changes.
TEST(Resampler, ChangingTheRatioWhilePlayingLeavesNoClick) {
    const auto source = tone(2 * kRate);
    Resampler resampler;
    ASSERT_TRUE(resampler.reset(kRate));
    std::vector<std::int16_t> out(source.size() + 4096);
    std::size_t read = 0, made = 0, pulls = 0;
    const std::size_t total = source.size() / 2;
    std::vector<double> ratios;
    while (read < total) {
        // Swings between -3000 and +2000 ppm, a new value every 40 ms.
        if (pulls++ % 8 == 0) resampler.setCorrectionPpm(2500 * std::sin(pulls * 0.05) - 500);
        std::size_t inFrames = std::min<std::size_t>(240, total - read), outFrames = 240;
        resampler.process(source.data() + read * 2, inFrames, out.data() + made * 2, outFrames);
        read += inFrames;
        made += outFrames;
    }
    // A click is a step far larger than a 1 kHz sine's largest one (2π·1000/48000 of its
    // amplitude, about 2100 at this level).
    int largestStep = 0;
    for (std::size_t i = 4800; i + 1 < made - 480; ++i) {
        largestStep = std::max(largestStep, std::abs(out[2 * (i + 1)] - out[2 * i]));
    }
    EXPECT_LT(largestStep, 2300);
}

}  // namespace
}  // namespace quavelink
