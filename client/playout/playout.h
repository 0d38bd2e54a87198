#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "client/output/audio_output.h"
#include "client/playout/fade.h"
#include "client/playout/frame_ring.h"
#include "client/playout/playout_target.h"
#include "client/playout/rate_controller.h"
#include "client/playout/resampler.h"

namespace quavelink {

//! How the playout chooses its target: adaptive between bounds, or fixed.
struct PlayoutSettings {
    bool adaptive = true;
    //! When not adaptive: the network's share, ms, on top of what the output must hold.
    double fixedTargetMs = 0;
    PlayoutTarget::Bounds bounds;
};

//! The client's one playout queue between the network thread, which pushes decoded frames as
//! they arrive, and the output's thread, which pulls what the sound card is to play, and the
//! one controller of the whole latency from an arrival to the ear: the queue's level and what
//! the output holds together. That latency is held at a target (adaptive or fixed) only by
//! playing slightly faster or slower through a resampler, never by inserting audio; the same
//! loop absorbs the difference between the server's and the sound card's clocks. Every gap,
//! of the queue or of the output, feeds the target. An output that takes audio as it arrives is
//! handed everything up to the target, so that its buffer holds the queue and one margin covers
//! both a late block and a late wake-up. Playback starts, and starts again after running dry,
//! once the target is queued; every start, gap and cut fades in or out. Rate changes of the
//! stream take effect where they happen. The two threads share no lock; nothing allocates after
//! construction.
class Playout {
  public:
    //! What the status line shows. Written by the output thread, read by any.
    struct Figures {
        int sampleRate = 0;  //!< of the audio playing now; 0 before any
        bool playing = false;
        double levelMs = 0;   //!< the latency from arrival to the ear, smoothed
        double outputMs = 0;  //!< of it, what the output holds, smoothed
        double targetMs = 0;  //!< current target for that latency
        double jitterMs = 0;  //!< arrival lateness held by the target
        double pullJitterMs = 0;
        double correctionPpm = 0;           //!< playing this much faster than nominal
        double driftPpm = 0;                //!< of it, the clock difference learnt
        std::uint64_t underruns = 0;        //!< the queue ran dry: a gap, faded
        std::uint64_t outputUnderruns = 0;  //!< the output ran dry by itself
        std::uint64_t playedFrames = 0;     //!< frames of audio handed out (silence not counted)
        std::uint64_t droppedFrames =
            0;  //!< audio thrown away: ring full, a stale backlog, or what piled up behind a gap
    };

    explicit Playout(const PlayoutSettings& settings);
    Playout(const Playout&) = delete;
    Playout& operator=(const Playout&) = delete;

    //! Network thread. Queues `frames` interleaved stereo frames at `sampleRate`, which arrived
    //! at `nowUs` (steady clock, µs).
    void push(const std::int16_t* samples, std::size_t frames, int sampleRate, std::int64_t nowUs);
    //! Network thread. Drops what is queued (a disconnect); playback then waits for the target.
    void clear();

    //! Output thread. The rate of the audio due next: of the queued audio, else of the audio
    //! playing; 0 before any.
    int sampleRate();
    //! Output thread, at `nowUs`: as PlayoutFeed::pull.
    std::size_t pull(std::int16_t* out, std::size_t frames, const PlayoutFeed::Hold& hold,
                     std::int64_t nowUs);
    //! Output thread: as PlayoutFeed::outputRanDry.
    void outputRanDry(std::int64_t nowUs);
    //! Output thread: the audio of this rate ends here (what follows is at another rate, played
    //! by an output opened anew). Hands over the silence the output needs (as `pull` would
    //! without audio), sinking from the last frame handed over; returns how many frames.
    std::size_t endOfRate(std::int16_t* out, std::size_t frames, const PlayoutFeed::Hold& hold);

    //! Any thread.
    Figures figures() const;

  private:
    void takeArrivals(std::int64_t nowUs);
    void startStream(int sampleRate);
    void stopPlaying();
    std::size_t resample(std::int16_t* out, std::size_t frames);
    std::size_t drop(std::size_t frames);
    double averageSinceLastPull(double totalMs, std::int64_t nowUs) const;
    bool settled(std::int64_t nowUs) const;
    void publish(std::int64_t nowUs);

    PlayoutSettings settings;
    FrameRing ring;
    std::atomic<std::uint64_t> ringDrops{0};
    // Output thread only from here on.
    PlayoutTarget target;
    RateController controller;
    Resampler resampler;
    Fade fade;
    int rate = 0;
    bool playing = false;
    bool heardAny = false;  // of this stream: playback started once
    std::int64_t firstPlayedUs = 0;
    bool levelKnown = false;
    double level = 0;
    double heldLevel = 0;
    // The latency since the last pull: what it was just after it, whether the output was
    // playing some of it away meanwhile, and what arrived since, weighted by how long it has
    // been there (ms × ms).
    std::int64_t lastPullUs = 0;
    double totalAfterPull = 0;
    double heldAfterPull = 0;
    double arrivedArea = 0;
    std::int64_t lastRateChangeUs = 0;
    // After a gap of the queue, until audio comes again: when it began, what the target was,
    // and whether the stream had settled by then.
    bool refillAwaited = false;
    std::int64_t gapFromUs = 0;
    double targetAtGap = 0;
    bool gapSettled = false;
    std::uint64_t underruns = 0, outputUnderruns = 0, played = 0;
    std::uint64_t dropped = 0;
    double targetNow = 0;
    // Published for `figures`.
    std::atomic<int> shownRate{0};
    std::atomic<bool> shownPlaying{false};
    std::atomic<double> shownLevel{0}, shownHeld{0}, shownTarget{0}, shownJitter{0},
        shownPullJitter{0}, shownCorrection{0}, shownDrift{0};
    std::atomic<std::uint64_t> shownUnderruns{0}, shownOutputUnderruns{0}, shownPlayed{0},
        shownDropped{0};
};

}  // namespace quavelink
