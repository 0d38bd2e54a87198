#include "client/playout_target.h"

#include <algorithm>
#include <cmath>

namespace quavelink {
namespace {
// A pause this long between events means the stream stopped, not that it was late.
constexpr std::int64_t kPauseUs = 250000;
constexpr int kCalmS = 12;
constexpr double kFallMsPerS = 1;
constexpr double kUnderrunStepMs = 3;
constexpr double kCaptureStepMs = 5;
constexpr double kJitterShare = 0.15;
}  // namespace

void TransitJitter::reset() { started = false; }

std::int64_t TransitJitter::note(std::int64_t timeUs, std::uint32_t count, int sampleRate) {
    if (!started || sampleRate != rate || timeUs - lastUs > kPauseUs || timeUs < lastUs) {
        started = true;
        rate = sampleRate;
        originUs = timeUs;
        frames = 0;
        bucketId.fill(-1);
    }
    lastUs = timeUs;
    frames += count;
    std::int64_t mediaUs =
        static_cast<std::int64_t>(frames * 1000000 / static_cast<std::uint64_t>(rate));
    std::int64_t transit = timeUs - originUs - mediaUs;
    std::int64_t id = (timeUs - originUs) / kBucketUs;
    auto& slotId = bucketId[static_cast<std::size_t>(id % kBuckets)];
    auto& slotMin = bucketMin[static_cast<std::size_t>(id % kBuckets)];
    if (slotId != id) {
        slotId = id;
        slotMin = transit;
    } else {
        slotMin = std::min(slotMin, transit);
    }
    std::int64_t floor = transit;
    for (int i = 0; i < kBuckets; ++i) {
        if (bucketId[static_cast<std::size_t>(i)] > id - kBuckets) {
            floor = std::min(floor, bucketMin[static_cast<std::size_t>(i)]);
        }
    }
    return transit - floor;
}

void SlowFallingPeak::reset() {
    started = false;
    shown = 0;
}

void SlowFallingPeak::note(double ms, std::int64_t nowUs) {
    if (!started) {
        started = true;
        secondId.fill(-1);
        shownAtUs = nowUs;
    }
    std::int64_t id = nowUs / 1000000;
    auto index = static_cast<std::size_t>(id % windowS);
    if (secondId[index] != id) {
        secondId[index] = id;
        secondMax[index] = ms;
    } else {
        secondMax[index] = std::max(secondMax[index], ms);
    }
    shown = std::max(shown, ms);
}

double SlowFallingPeak::at(std::int64_t nowUs) {
    if (!started) return 0;
    std::int64_t id = nowUs / 1000000;
    double recent = 0;
    for (int i = 0; i < windowS; ++i) {
        if (secondId[static_cast<std::size_t>(i)] > id - windowS) {
            recent = std::max(recent, secondMax[static_cast<std::size_t>(i)]);
        }
    }
    double elapsedS = static_cast<double>(std::max<std::int64_t>(0, nowUs - shownAtUs)) / 1e6;
    shownAtUs = std::max(shownAtUs, nowUs);
    shown = std::max(recent, shown - fallMsPerS * elapsedS);
    return shown;
}

PlayoutTarget::PlayoutTarget(const Bounds& bounds)
    : limits(bounds),
      arrivals(kCalmS, kFallMsPerS),
      pulls(kCalmS, kFallMsPerS),
      dips(kCalmS, kFallMsPerS),
      underrunSteps(kCalmS, kFallMsPerS) {}

void PlayoutTarget::reset() {
    arrivalTransit.reset();
    pullTransit.reset();
    arrivals.reset();
    pulls.reset();
    dips.reset();
    dipsSeen = false;
    underrunSteps.reset();
    meanBlockMs = pullMs = lateMeanMs = 0;
}

namespace {
double smoothed(double mean, double sample, double weight = 1.0 / 32) {
    return mean == 0 ? sample : mean + (sample - mean) * weight;
}
}  // namespace

void PlayoutTarget::noteArrival(std::int64_t timeUs, std::uint32_t frames, int sampleRate,
                                bool timed) {
    if (sampleRate <= 0) return;
    meanBlockMs = smoothed(meanBlockMs, 1000.0 * frames / sampleRate);
    if (!timed) {
        arrivalTransit.reset();
        return;
    }
    double late = static_cast<double>(arrivalTransit.note(timeUs, frames, sampleRate)) / 1000;
    late = std::min(late, limits.maxMs);
    arrivals.note(late, timeUs);
    // Over a second or two of blocks.
    lateMeanMs += (late - lateMeanMs) / 256;
}

void PlayoutTarget::notePull(std::int64_t timeUs, std::uint32_t frames, int sampleRate,
                             bool timed) {
    if (sampleRate <= 0) return;
    pullMs = smoothed(pullMs, 1000.0 * frames / sampleRate);
    if (!timed) {
        pullTransit.reset();
        return;
    }
    double late = static_cast<double>(pullTransit.note(timeUs, frames, sampleRate)) / 1000;
    pulls.note(std::min(late, limits.maxMs), timeUs);
}

void PlayoutTarget::noteUnderrun(std::int64_t timeUs) {
    underrunSteps.note(underrunSteps.at(timeUs) + kUnderrunStepMs, timeUs);
}

double PlayoutTarget::arrivalJitterMs(std::int64_t nowUs) {
    return std::max(0.0, arrivals.at(nowUs) - lateMeanMs);
}

void PlayoutTarget::noteDip(double ms, std::int64_t timeUs) {
    // The first dips are few: the estimate holds until a calm stretch has shown the real ones.
    if (!dipsSeen) dips.note(estimateMs(), timeUs);
    dipsSeen = true;
    dips.note(std::min(ms, limits.maxMs), timeUs);
}

double PlayoutTarget::estimateMs() {
    // The arrivals of the first seconds say little: a capture that starts (a sound server
    // waking a suspended sink) delivers its first blocks late and then in a burst. The
    // underruns, if any, and the dips soon tell the rest.
    return (meanBlockMs + pullMs) / 2 + kCaptureStepMs;
}

double PlayoutTarget::targetMs(std::int64_t nowUs) {
    // Half a block and half a pull is what the saw tooth of arrivals and pulls always asks for
    // at some phase of the two; with the server's clock a little apart that phase drifts by so
    // slowly (once in 17 s at 300 ppm) that a calm stretch would otherwise forget it.
    double sawTooth = (meanBlockMs + pullMs) / 2;
    double held = std::max(sawTooth, dipsSeen ? dips.at(nowUs) : estimateMs());
    // Dips beyond the saw tooth come from the link and the machine, and a link that varies by
    // much reaches a little deeper now and then than the deepest of the last seconds: a share
    // of what it adds goes on top (nothing on a quiet link).
    double need =
        held + kJitterShare * (held - sawTooth) + underrunSteps.at(nowUs) + limits.marginMs;
    return std::clamp(need, limits.minMs, limits.maxMs);
}

}  // namespace quavelink
