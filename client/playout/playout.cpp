#include "client/playout/playout.h"

#include <algorithm>
#include <cmath>

namespace quavelink {
namespace {
// 1024 slots of 256 frames: about 5 s at 48 kHz, far more than any target.
constexpr std::uint32_t kSlots = 1024;
constexpr std::uint32_t kSlotFrames = 256;
// The latency is smoothed over about this long: many blocks and pulls, so that its saw tooth
// (a block in, a chunk out) does not reach the playback speed.
constexpr double kLevelSeconds = 0.3;
// The resampler's ratio changes this often at most; each change recomputes its filter.
constexpr std::int64_t kRateChangeUs = 20000;
// A latency this far (or the target's own size, if more) above the target on average is a
// stale backlog (a stall upstream, then everything at once; the server's capture starting with
// a burst), not jitter, which the target already covers: it is cut back to the target rather
// than played late for a minute while a speed change of a few hundred ppm works it off. A link
// whose delay falls hands over at once what was on its way: 25 to 30 ms when a 20 ± 10 ms link
// turns quiet, which at 30 ms was cut now and then, a skip the listener hears. Below 50 ms it
// is played out, at the most speed-up in about half a minute.
constexpr double kBacklogMs = 50;
// In a stream's first seconds a backlog is a capture and a sound server starting up (late, then
// all at once), never a link handing over: 20 ms above the target is cut then.
constexpr double kStartBacklogMs = 20;
// A stream's first seconds (a capture and a sound server starting up) are not remembered.
constexpr std::int64_t kSettleUs = 5000000;
// A gap of the queue longer than this is an outage of the link, not a late burst.
constexpr std::int64_t kOutageUs = 250000;
// The longest stretch one step of the rate loop integrates: a pause of the output is no error.
constexpr double kMostStepSeconds = 0.1;
}  // namespace

Playout::Playout(const PlayoutSettings& settings)
    : settings(settings), ring(kSlots, kSlotFrames), target(settings.bounds) {
    fade.reset(48000);
}

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
    refillAwaited = false;
    heardAny = false;
    levelKnown = false;
    resampler.reset(rate);
    fade.reset(rate);
    // The target keeps what it measured: the same network and machine, and its timelines
    // start again by themselves at a new rate.
    controller.reset(false);
}

void Playout::stopPlaying() {
    playing = false;
    levelKnown = false;
}

bool Playout::settled(std::int64_t nowUs) const {
    return heardAny && nowUs - firstPlayedUs >= kSettleUs;
}

void Playout::takeArrivals(std::int64_t nowUs) {
    ring.takeArrivals([this, nowUs](const FrameRing::Arrival& arrival) {
        target.noteArrival(arrival.arrivalUs, arrival.frames, arrival.sampleRate, heardAny);
        // The queue stayed empty until this arrival: that much more would have bridged the gap.
        // A longer silence than kOutageUs is an outage, which no margin bridges.
        if (refillAwaited && arrival.arrivalUs >= gapFromUs) {
            refillAwaited = false;
            std::int64_t emptyUs = arrival.arrivalUs - gapFromUs;
            if (emptyUs < kOutageUs) {
                target.noteNeed(targetAtGap + static_cast<double>(emptyUs) / 1000,
                                arrival.arrivalUs, gapSettled);
            }
        }
        if (arrival.sampleRate != rate || rate <= 0) return;
        std::int64_t since = std::clamp(arrival.arrivalUs, lastPullUs, nowUs);
        arrivedArea += 1000.0 * arrival.frames / rate * static_cast<double>(nowUs - since) / 1000;
    });
}

double Playout::averageSinceLastPull(double totalMs, std::int64_t nowUs) const {
    double spanMs = static_cast<double>(nowUs - lastPullUs) / 1000;
    if (spanMs <= 0) return totalMs;
    // Meanwhile the output played away what it held, at the sound card's pace.
    double played = std::min(spanMs, heldAfterPull);
    double area = totalAfterPull * spanMs - played * (spanMs - played / 2) + arrivedArea;
    return area / spanMs;
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

std::size_t Playout::drop(std::size_t frames) {
    std::size_t done = 0;
    const std::int16_t* front = nullptr;
    std::size_t count = 0;
    int frontRate = 0;
    while (done < frames && ring.front(front, count, frontRate) && frontRate == rate) {
        std::size_t n = std::min(frames - done, count);
        ring.consume(n);
        done += n;
    }
    dropped += done;
    return done;
}

std::size_t Playout::pull(std::int16_t* out, std::size_t frames, const PlayoutFeed::Hold& hold,
                          std::int64_t nowUs) {
    if (ring.discardRequested(dropped)) {
        stopPlaying();
        heardAny = false;
        refillAwaited = false;
    }
    takeArrivals(nowUs);
    const std::int16_t* front = nullptr;
    std::size_t count = 0;
    int frontRate = 0;
    if (ring.front(front, count, frontRate) && frontRate != rate) startStream(frontRate);
    if (rate <= 0) {
        std::fill(out, out + frames * 2, 0);
        return frames;
    }

    auto msOf = [this](double n) { return 1000.0 * n / rate; };
    auto framesOf = [this](double ms) {
        return ms <= 0 ? std::size_t{0} : static_cast<std::size_t>(std::ceil(ms * rate / 1000));
    };
    // An output that cannot tell what it holds takes exactly what it asks for, as one that
    // plays a quantum at each pull does.
    const bool heldKnown = hold.heldUs >= 0;
    const double heldMs = heldKnown ? static_cast<double>(hold.heldUs) / 1000 : 0;
    const double leastMs = heldKnown ? static_cast<double>(hold.leastUs) / 1000 : msOf(frames);
    const std::size_t least = heldKnown ? std::min(frames, framesOf(leastMs - heldMs)) : frames;
    // The pace of the pulls matters only to an output that plays a quantum at each.
    if (least == frames) target.notePull(nowUs, static_cast<std::uint32_t>(least), rate, playing);
    // An output that cannot tell what it holds is not counted in the latency: what a pull hands
    // it leaves the latency, whose saw tooth then holds half of it.
    target.noteOutputLeast(heldKnown ? leastMs : leastMs / 2);
    // The resampler holds a few frames taken from the queue for its filter's look-ahead: they
    // come on top of what the target asks to be ready.
    targetNow = (settings.adaptive ? target.targetMs(nowUs)
                                   : settings.fixedTargetMs + target.outputLeastMs()) +
                msOf(static_cast<double>(resampler.delayFrames()));

    const double totalMs = msOf(static_cast<double>(ring.queuedFrames())) + heldMs;
    const double averageMs = averageSinceLastPull(totalMs, nowUs);
    const double blockMs = target.blockMs();
    // Playback starts just after a block came, when the latency is half a block above its
    // average.
    const double startMs = targetNow + blockMs / 2;
    // While nothing plays (before a stream's start, or in the gap after an underrun) what piles
    // up beyond the start goes at once rather than being played late for many seconds: before
    // the start nothing was heard yet, and after an underrun the gap is heard anyway, so
    // resuming on time costs nothing more than resuming late. Once playing, a latency above the
    // target is worked off by playing faster: on a bursty link the queue holds a burst's worth
    // above its start as a matter of course, and cutting it would leave the next dip nothing to
    // draw on.
    if (!playing && totalMs > startMs + blockMs) drop(framesOf(totalMs - startMs));
    const bool wasPlaying = playing;
    if (!playing && ring.queuedFrames() > 0 &&
        msOf(static_cast<double>(ring.queuedFrames())) + heldMs >= startMs) {
        playing = true;
        if (!heardAny) firstPlayedUs = nowUs;
        heardAny = true;
        controller.reset(true);
    }

    // An output that holds the queue itself is handed all it may hold: the target and a
    // block's room, so that what is on time reaches it at once and only a stale backlog stays
    // here, where it can still be cut.
    std::size_t want = frames;
    if (heldKnown) want = std::clamp(framesOf(targetNow + blockMs - heldMs), least, frames);
    std::size_t audio = 0;
    if (playing) {
        const double most = settled(nowUs) ? std::max(kBacklogMs, targetNow) : kStartBacklogMs;
        const bool backlog = wasPlaying && levelKnown && level > targetNow + most;
        if (backlog && want >= fade.rampFrames()) {
            // The audio under way falls away before the cut, and what follows rises.
            audio = resample(out, fade.rampFrames());
            fade.audio(out, audio);
            fade.cut(out, audio);
            double keepMs = startMs - heldMs - msOf(static_cast<double>(audio));
            std::size_t queued = ring.queuedFrames();
            std::size_t keep = std::min(queued, framesOf(keepMs));
            drop(queued - keep);
            levelKnown = false;
        }
        std::size_t more = resample(out + audio * 2, want - audio);
        fade.audio(out + audio * 2, more);
        audio += more;
        if (audio < least) {
            ++underruns;
            refillAwaited = true;
            gapFromUs = nowUs;
            targetAtGap = targetNow;
            gapSettled = settled(nowUs);
            target.noteUnderrun(nowUs, gapSettled);
            stopPlaying();
        }
    }
    // While nothing plays, an output that holds the queue is kept at the target with silence:
    // it does not run dry over and over meanwhile, and audio that comes plays on at once.
    std::size_t owed = least;
    if (!playing && heldKnown)
        owed = std::max(owed, std::min(frames, framesOf(targetNow - heldMs)));
    const std::size_t given = std::max(audio, owed);
    fade.gap(out + audio * 2, given - audio);
    const double heldAfter = heldKnown ? heldMs + msOf(static_cast<double>(given)) : 0;
    const double totalAfter = msOf(static_cast<double>(ring.queuedFrames())) + heldAfter;

    if (playing) {
        double seconds = std::min(kMostStepSeconds, static_cast<double>(nowUs - lastPullUs) / 1e6);
        if (!levelKnown) {
            level = totalAfter;
            heldLevel = heldAfter;
            levelKnown = true;
        } else if (seconds > 0) {
            double weight = 1 - std::exp(-seconds / kLevelSeconds);
            level += (averageMs - level) * weight;
            // Between what it held before this pull and after: a pull at an arrival finds the
            // output at its lowest and leaves it at its highest.
            heldLevel += ((heldMs + heldAfter) / 2 - heldLevel) * weight;
        }
        target.noteNeed(leastMs + level - totalMs, nowUs, settled(nowUs));
        double ppm = controller.update(level, targetNow, seconds);
        if (nowUs - lastRateChangeUs >= kRateChangeUs) {
            resampler.setCorrectionPpm(ppm);
            lastRateChangeUs = nowUs;
        }
    }
    lastPullUs = nowUs;
    heldAfterPull = heldAfter;
    totalAfterPull = totalAfter;
    arrivedArea = 0;
    played += audio;
    publish(nowUs);
    return given;
}

void Playout::outputRanDry(std::int64_t nowUs) {
    ++outputUnderruns;
    // What it held when last handed audio ran out this long ago (when its own thread woke
    // late): that much more would have bridged it. When the sound server's thread was late
    // instead, the step alone answers it.
    double emptyMs = static_cast<double>(nowUs - lastPullUs) / 1000 - heldAfterPull;
    if (emptyMs > 0 && emptyMs < static_cast<double>(kOutageUs) / 1000) {
        target.noteNeed(targetNow + emptyMs, nowUs, settled(nowUs));
    }
    target.noteUnderrun(nowUs, settled(nowUs));
    fade.broke();
    shownOutputUnderruns.store(outputUnderruns, std::memory_order_relaxed);
}

std::size_t Playout::endOfRate(std::int16_t* out, std::size_t frames,
                               const PlayoutFeed::Hold& hold) {
    std::size_t silence = frames;
    if (hold.heldUs >= 0 && rate > 0) {
        double ms = static_cast<double>(hold.leastUs - hold.heldUs) / 1000;
        silence =
            ms <= 0 ? 0 : std::min(frames, static_cast<std::size_t>(std::ceil(ms * rate / 1000)));
    }
    fade.gap(out, silence);
    return silence;
}

void Playout::publish(std::int64_t nowUs) {
    auto relaxed = std::memory_order_relaxed;
    shownRate.store(rate, relaxed);
    shownPlaying.store(playing, relaxed);
    shownLevel.store(levelKnown ? level : totalAfterPull, relaxed);
    shownHeld.store(levelKnown ? heldLevel : heldAfterPull, relaxed);
    shownTarget.store(targetNow, relaxed);
    shownJitter.store(target.arrivalJitterMs(nowUs), relaxed);
    shownPullJitter.store(target.pullJitterMs(nowUs), relaxed);
    shownCorrection.store(resampler.appliedPpm(), relaxed);
    shownDrift.store(controller.driftPpm(), relaxed);
    shownUnderruns.store(underruns, relaxed);
    shownOutputUnderruns.store(outputUnderruns, relaxed);
    shownPlayed.store(played, relaxed);
    shownDropped.store(dropped, relaxed);
}

Playout::Figures Playout::figures() const {
    auto relaxed = std::memory_order_relaxed;
    Figures f;
    f.sampleRate = shownRate.load(relaxed);
    f.playing = shownPlaying.load(relaxed);
    f.levelMs = shownLevel.load(relaxed);
    f.outputMs = shownHeld.load(relaxed);
    f.targetMs = shownTarget.load(relaxed);
    f.jitterMs = shownJitter.load(relaxed);
    f.pullJitterMs = shownPullJitter.load(relaxed);
    f.correctionPpm = shownCorrection.load(relaxed);
    f.driftPpm = shownDrift.load(relaxed);
    f.underruns = shownUnderruns.load(relaxed);
    f.outputUnderruns = shownOutputUnderruns.load(relaxed);
    f.playedFrames = shownPlayed.load(relaxed);
    f.droppedFrames = shownDropped.load(relaxed) + ringDrops.load(relaxed);
    return f;
}

}  // namespace quavelink
