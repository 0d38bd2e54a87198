#include "client/playout/playout_target.h"

#include <algorithm>
#include <cmath>

namespace quavelink {
namespace {
// A pause this long between events means the stream stopped, not that it was late.
constexpr std::int64_t kPauseUs = 250000;
constexpr std::int64_t kSecondUs = 1000000;
// What the status line shows, and what a stream's first seconds asked for: held 12 s, then
// given back at 1 ms a second.
constexpr int kCalmS = 12;
constexpr double kFallMsPerS = 1;
// What a settled stream asked for: held three minutes, longer than the one or two minutes
// between a Wi-Fi adapter's background scans, then given back at 1 ms in 10 s.
constexpr int kRememberedBuckets = 18;
constexpr std::int64_t kRememberedBucketUs = 10 * kSecondUs;
constexpr double kRememberedFallMsPerS = 0.1;
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
        bucketId.fill(-1);
        shownAtUs = nowUs;
    }
    std::int64_t id = nowUs / bucketUs;
    auto index = static_cast<std::size_t>(id % buckets);
    if (bucketId[index] != id) {
        bucketId[index] = id;
        bucketMax[index] = ms;
    } else {
        bucketMax[index] = std::max(bucketMax[index], ms);
    }
    shown = std::max(shown, ms);
}

double SlowFallingPeak::at(std::int64_t nowUs) {
    if (!started) return 0;
    std::int64_t id = nowUs / bucketUs;
    double recent = 0;
    for (int i = 0; i < buckets; ++i) {
        if (bucketId[static_cast<std::size_t>(i)] > id - buckets) {
            recent = std::max(recent, bucketMax[static_cast<std::size_t>(i)]);
        }
    }
    double elapsedS = static_cast<double>(std::max<std::int64_t>(0, nowUs - shownAtUs)) / 1e6;
    shownAtUs = std::max(shownAtUs, nowUs);
    shown = std::max(recent, shown - fallMsPerS * elapsedS);
    return shown;
}

RememberedPeak::RememberedPeak()
    : seconds(kCalmS, kSecondUs, kFallMsPerS),
      minutes(kRememberedBuckets, kRememberedBucketUs, kRememberedFallMsPerS) {}

void RememberedPeak::note(double ms, std::int64_t nowUs, bool remember) {
    seconds.note(ms, nowUs);
    if (remember) minutes.note(ms, nowUs);
}

double RememberedPeak::at(std::int64_t nowUs) {
    return std::max(seconds.at(nowUs), minutes.at(nowUs));
}

void RememberedPeak::reset() {
    seconds.reset();
    minutes.reset();
}

PlayoutTarget::PlayoutTarget(const Bounds& bounds)
    : limits(bounds),
      arrivals(kCalmS, kSecondUs, kFallMsPerS),
      pulls(kCalmS, kSecondUs, kFallMsPerS) {}

void PlayoutTarget::reset() {
    arrivalTransit.reset();
    pullTransit.reset();
    arrivals.reset();
    pulls.reset();
    needs.reset();
    needsSeen = false;
    underrunSteps.reset();
    meanBlockMs = lateMeanMs = leastMs = 0;
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
    // An output that takes audio as it arrives is handed nothing at once most of the time.
    if (!timed || frames == 0) {
        pullTransit.reset();
        return;
    }
    double late = static_cast<double>(pullTransit.note(timeUs, frames, sampleRate)) / 1000;
    pulls.note(std::min(late, limits.maxMs), timeUs);
}

void PlayoutTarget::noteOutputLeast(double ms) { leastMs = smoothed(leastMs, ms); }

void PlayoutTarget::noteUnderrun(std::int64_t timeUs, bool settled) {
    underrunSteps.note(underrunSteps.at(timeUs) + kUnderrunStepMs, timeUs, settled);
}

double PlayoutTarget::arrivalJitterMs(std::int64_t nowUs) {
    return std::max(0.0, arrivals.at(nowUs) - lateMeanMs);
}

void PlayoutTarget::noteNeed(double ms, std::int64_t timeUs, bool settled) {
    // The first needs are few: the estimate holds until a calm stretch has shown the real ones.
    if (!needsSeen) needs.note(estimateMs(), timeUs, false);
    needsSeen = true;
    needs.note(std::min(ms, limits.maxMs), timeUs, settled);
}

double PlayoutTarget::floorMs() const {
    // Half a block above the output's least is what the saw tooth of the arrivals always asks
    // for at some phase of the pulls; with the server's clock a little apart that phase drifts
    // by so slowly (once in 17 s at 300 ppm) that a calm stretch would otherwise forget it.
    return leastMs + meanBlockMs / 2;
}

double PlayoutTarget::estimateMs() const {
    // The arrivals of the first seconds say little: a capture that starts (a sound server
    // waking a suspended sink) delivers its first blocks late and then in a burst. The
    // underruns, if any, and the needs soon tell the rest.
    return floorMs() + kCaptureStepMs;
}

double PlayoutTarget::targetMs(std::int64_t nowUs) {
    double floor = floorMs();
    double held = std::max(floor, needsSeen ? needs.at(nowUs) : estimateMs());
    // Needs beyond the saw tooth come from the link and the machine, and a link that varies by
    // much reaches a little deeper now and then than the deepest seen: a share of what it adds
    // goes on top (nothing on a quiet link).
    double need = held + kJitterShare * (held - floor) + underrunSteps.at(nowUs) + limits.marginMs;
    return std::clamp(need, limits.minMs, limits.maxMs);
}

}  // namespace quavelink
