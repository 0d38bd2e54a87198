#include "client/playout.h"

#include <algorithm>
#include <cmath>

namespace quavelink {
namespace {
// 1024 slots of 256 frames: about 5 s at 48 kHz, far more than any target.
constexpr std::uint32_t kSlots = 1024;
constexpr std::uint32_t kSlotFrames = 256;
// The level is smoothed over about this long: many blocks and pulls, so that its saw tooth
// (a block in, a chunk out) does not reach the playback speed.
constexpr double kLevelSeconds = 0.3;
// The resampler's ratio changes this often at most; each change recomputes its filter.
constexpr int kPullsPerRateChange = 8;
// A level this far (or the target's own size, if more) above the target on average is a stale
// backlog (a stall upstream, then everything at once; the server's capture starting with a
// burst), not jitter, which the target already covers: it is cut back to the target rather
// than played late for a minute while a speed change of a few hundred ppm works it off. A
// link whose delay falls hands over at once what was on its way: 25 to 30 ms when a 20 ± 10 ms
// link turns quiet, which at 30 ms was cut now and then, a skip the listener hears. Below 50 ms
// it is played out, at the most speed-up in about half a minute.
constexpr double kBacklogMs = 50;
}  // namespace

Playout::Playout(const PlayoutSettings& settings)
    : settings(settings), ring(kSlots, kSlotFrames), target(settings.bounds) {}

void Playout::push(const std::int16_t* samples, std::size_t frames, int sampleRate,
                   std::int64_t nowUs) {
    if (!ring.push(samples, frames, sampleRate, nowUs)) {
        ringDrops.fetch_add(frames, std::memory_order_relaxed);
    }
}

void Playout::clear() { ring.discardPushed(); }

int Playout::sampleRate() {
    const std::int16_t* frames = nullptr;
    std::size_t count = 0;
    int next = 0;
    if (ring.front(frames, count, next)) return next;
    return rate;
}

void Playout::startStream(int sampleRate) {
    rate = sampleRate;
    playing = false;
    heardAny = false;
    levelKnown = false;
    resampler.reset(rate);
    // The target keeps what it measured: the same network and machine, and its timelines
    // start again by themselves at a new rate.
    controller.reset(false);
    pullsSinceRateChange = 0;
}

void Playout::takeArrivals(std::int64_t nowUs) {
    ring.takeArrivals([this, nowUs](const FrameRing::Arrival& arrival) {
        target.noteArrival(arrival.arrivalUs, arrival.frames, arrival.sampleRate, heardAny);
        std::int64_t since = std::clamp(arrival.arrivalUs, lastPullUs, nowUs);
        arrivedArea += static_cast<double>(arrival.frames) * static_cast<double>(nowUs - since);
    });
}

std::size_t Playout::resample(std::int16_t* out, std::size_t frames) {
    std::size_t made = 0;
    while (made < frames) {
        const std::int16_t* in = nullptr;
        std::size_t available = 0;
        int frontRate = 0;
        if (!ring.front(in, available, frontRate) || frontRate != rate) break;
        std::size_t used = available, produced = frames - made;
        resampler.process(in, used, out + made * 2, produced);
        ring.consume(used);
        made += produced;
        if (used == 0 && produced == 0) break;
    }
    return made;
}

std::size_t Playout::pull(std::int16_t* out, std::size_t frames, std::int64_t nowUs) {
    if (ring.discardRequested(dropped)) {
        playing = false;
        heardAny = false;
        levelKnown = false;
    }
    takeArrivals(nowUs);
    const std::int16_t* front = nullptr;
    std::size_t count = 0;
    int frontRate = 0;
    if (ring.front(front, count, frontRate) && frontRate != rate) startStream(frontRate);

    std::size_t given = 0;
    if (rate > 0) {
        auto msOf = [this](std::size_t n) { return 1000.0 * static_cast<double>(n) / rate; };
        target.notePull(nowUs, static_cast<std::uint32_t>(frames), rate, playing);
        // The resampler holds a few frames taken from the queue for its filter's look-ahead.
        targetNow = settings.adaptive ? target.targetMs(nowUs) + msOf(resampler.delayFrames())
                                      : settings.fixedTargetMs;
        std::size_t queued = ring.queuedFrames();
        auto framesOf = [this](double ms) {
            return static_cast<std::size_t>(std::ceil(ms * rate / 1000));
        };
        // Playback starts just after a block came, when the level is half a block above its
        // average.
        const std::size_t startFrames = framesOf(targetNow + target.blockMs() / 2);
        // While nothing plays (before a stream's start, or in the gap after an underrun) what
        // piles up beyond the start goes at once rather than being played late for many
        // seconds: before the start nothing was heard yet, and after an underrun the gap is
        // heard anyway, so resuming on time costs nothing more than resuming late. Once
        // playing, a level above the target is worked off by playing faster: on a bursty link
        // the queue holds a burst's worth above its start as a matter of course, and cutting
        // it would leave the next dip nothing to draw on.
        const bool backlog = playing
                                 ? levelKnown && level > targetNow + std::max(kBacklogMs, targetNow)
                                 : queued > startFrames + framesOf(target.blockMs());
        if (backlog) {
            std::size_t drop = queued - startFrames;
            while (drop > 0 && ring.front(front, count, frontRate) && frontRate == rate) {
                std::size_t n = std::min(drop, count);
                ring.consume(n);
                dropped += n;
                drop -= n;
            }
            queued = ring.queuedFrames();
            levelKnown = false;
        }
        if (!playing && queued > 0 && queued >= startFrames) {
            playing = true;
            heardAny = true;
            controller.reset(true);
        }
        // The level's average since the last pull, whatever the phase of arrivals and pulls.
        double spanUs = static_cast<double>(nowUs - lastPullUs);
        double averageMs =
            spanUs > 0 ? 1000.0 * (levelAfterPull * spanUs + arrivedArea) / spanUs / rate : 0;
        if (playing) {
            given = resample(out, frames);
            if (given < frames) {
                ++underruns;
                playing = false;
                levelKnown = false;
                target.noteUnderrun(nowUs);
            } else {
                double seconds = static_cast<double>(frames) / rate;
                if (!levelKnown) {
                    level = msOf(ring.queuedFrames());
                    levelKnown = true;
                } else if (spanUs > 0) {
                    level += (averageMs - level) * (1 - std::exp(-spanUs / 1e6 / kLevelSeconds));
                }
                target.noteDip(level - msOf(ring.queuedFrames()), nowUs);
                double ppm = controller.update(level, targetNow, seconds);
                if (++pullsSinceRateChange >= kPullsPerRateChange) {
                    resampler.setCorrectionPpm(ppm);
                    pullsSinceRateChange = 0;
                }
            }
        }
    }
    std::fill(out + given * 2, out + frames * 2, 0);
    lastPullUs = nowUs;
    levelAfterPull = static_cast<double>(ring.queuedFrames());
    arrivedArea = 0;
    played += given;
    publish(nowUs);
    return given;
}

void Playout::publish(std::int64_t nowUs) {
    auto relaxed = std::memory_order_relaxed;
    shownRate.store(rate, relaxed);
    shownPlaying.store(playing, relaxed);
    shownLevel.store(levelKnown ? level : 1000.0 * ring.queuedFrames() / std::max(rate, 1),
                     relaxed);
    shownTarget.store(targetNow, relaxed);
    shownJitter.store(target.arrivalJitterMs(nowUs), relaxed);
    shownPullJitter.store(target.pullJitterMs(nowUs), relaxed);
    shownCorrection.store(resampler.appliedPpm(), relaxed);
    shownDrift.store(controller.driftPpm(), relaxed);
    shownUnderruns.store(underruns, relaxed);
    shownPlayed.store(played, relaxed);
    shownDropped.store(dropped, relaxed);
}

Playout::Figures Playout::figures() const {
    auto relaxed = std::memory_order_relaxed;
    Figures f;
    f.sampleRate = shownRate.load(relaxed);
    f.playing = shownPlaying.load(relaxed);
    f.levelMs = shownLevel.load(relaxed);
    f.targetMs = shownTarget.load(relaxed);
    f.jitterMs = shownJitter.load(relaxed);
    f.pullJitterMs = shownPullJitter.load(relaxed);
    f.correctionPpm = shownCorrection.load(relaxed);
    f.driftPpm = shownDrift.load(relaxed);
    f.underruns = shownUnderruns.load(relaxed);
    f.playedFrames = shownPlayed.load(relaxed);
    f.droppedFrames = shownDropped.load(relaxed) + ringDrops.load(relaxed);
    return f;
}

}  // namespace quavelink
