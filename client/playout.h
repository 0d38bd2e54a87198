#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "client/frame_ring.h"
#include "client/playout_target.h"
#include "client/rate_controller.h"
#include "client/resampler.h"

namespace quavelink {

//! How the playout chooses its target: adaptive between bounds, or fixed.
struct PlayoutSettings {
    bool adaptive = true;
    double fixedTargetMs = 0;  //!< when not adaptive
    PlayoutTarget::Bounds bounds;
};

//! The client's one playout queue between the network thread, which pushes decoded frames as
//! they arrive, and the playback thread, which pulls what the sound card plays. Its level is
//! held at a target (adaptive or fixed) only by playing slightly faster or slower through a
//! resampler, never by dropping or inserting audio; the same loop absorbs the difference
//! between the server's and the sound card's clocks. Playback starts, and starts again after
//! running dry, once the target is queued. Rate changes of the stream take effect where they
//! happen. The two threads share no lock; nothing allocates after construction.
class Playout {
  public:
    //! What the status line shows. Written by the playback thread, read by any.
    struct Figures {
        int sampleRate = 0;  //!< of the audio playing now; 0 before any
        bool playing = false;
        double levelMs = 0;   //!< queued now, smoothed
        double targetMs = 0;  //!< current target
        double jitterMs = 0;  //!< arrival lateness held by the target
        double pullJitterMs = 0;
        double correctionPpm = 0;  //!< playing this much faster than nominal
        double driftPpm = 0;       //!< of it, the clock difference learnt
        std::uint64_t underruns = 0;
        std::uint64_t playedFrames = 0;  //!< frames of audio handed out (silence not counted)
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

    //! Playback thread. The rate of the audio due next: of the queued audio, else of the audio
    //! playing; 0 before any.
    int sampleRate();
    //! Playback thread. Writes exactly `frames` frames to `out` at `nowUs`, silence where no
    //! audio is due; returns how many of them are audio.
    std::size_t pull(std::int16_t* out, std::size_t frames, std::int64_t nowUs);

    //! Any thread.
    Figures figures() const;

  private:
    void takeArrivals(std::int64_t nowUs);
    void startStream(int sampleRate);
    std::size_t resample(std::int16_t* out, std::size_t frames);
    void publish(std::int64_t nowUs);

    PlayoutSettings settings;
    FrameRing ring;
    std::atomic<std::uint64_t> ringDrops{0};
    // Playback thread only from here on.
    PlayoutTarget target;
    RateController controller;
    Resampler resampler;
    int rate = 0;
    bool playing = false;
    bool heardAny = false;  // of this stream: playback started once
    bool levelKnown = false;
    double level = 0;
    // The level over time since the last pull: what it was just after, and what came since,
    // weighted by how long it has been there (frames × µs).
    std::int64_t lastPullUs = 0;
    double levelAfterPull = 0;
    double arrivedArea = 0;
    std::uint64_t underruns = 0, played = 0;
    std::uint64_t dropped = 0;
    double targetNow = 0;
    int pullsSinceRateChange = 0;
    // Published for `figures`.
    std::atomic<int> shownRate{0};
    std::atomic<bool> shownPlaying{false};
    std::atomic<double> shownLevel{0}, shownTarget{0}, shownJitter{0}, shownPullJitter{0},
        shownCorrection{0}, shownDrift{0};
    std::atomic<std::uint64_t> shownUnderruns{0}, shownPlayed{0}, shownDropped{0};
};

}  // namespace quavelink
