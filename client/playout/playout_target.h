#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace quavelink {

//! How late each of a series of events is against the earliest of the recent ones, on a
//! timeline that advances by the media each event carries: an event's transit is its time less
//! the media position it completes, and its lateness that transit less the smallest transit of
//! the last two seconds. The window follows a clock that runs a few hundred ppm apart. A pause
//! of more than a quarter of a second (the stream stopped, or nothing was pulled) starts the
//! timeline again, since the media position did not advance with the time. Single thread.
class TransitJitter {
  public:
    //! An event at `timeUs` carrying `frames` at `sampleRate`; returns its lateness in µs.
    std::int64_t note(std::int64_t timeUs, std::uint32_t frames, int sampleRate);
    void reset();

  private:
    static constexpr int kBuckets = 4;
    static constexpr std::int64_t kBucketUs = 500000;
    bool started = false;
    int rate = 0;
    std::int64_t originUs = 0;
    std::int64_t lastUs = 0;
    std::uint64_t frames = 0;
    std::array<std::int64_t, kBuckets> bucketMin{};
    std::array<std::int64_t, kBuckets> bucketId{};
};

//! The largest of the values noted in the last `buckets` × `bucketUs`, falling at most
//! `fallMsPerS` once the largest has left that window: a rise shows at once, a fall slowly and
//! only after a calm stretch. Single thread.
class SlowFallingPeak {
  public:
    static constexpr int kMaxBuckets = 30;

    SlowFallingPeak(int buckets, std::int64_t bucketUs, double fallMsPerS)
        : buckets(buckets), bucketUs(bucketUs), fallMsPerS(fallMsPerS) {}
    void note(double ms, std::int64_t nowUs);
    //! The peak at `nowUs` (never earlier than the last call).
    double at(std::int64_t nowUs);
    void reset();

  private:
    int buckets;
    std::int64_t bucketUs;
    double fallMsPerS;
    std::array<double, kMaxBuckets> bucketMax{};
    std::array<std::int64_t, kMaxBuckets> bucketId{};
    double shown = 0;
    std::int64_t shownAtUs = 0;
    bool started = false;
};

//! A peak remembered for minutes: what a stream's settled stretch showed is kept that long
//! (a link that stalled once, a Wi-Fi scan every minute or two, stalls again), then given back
//! slowly; what its first seconds showed (a sound server and a capture starting up) is kept
//! only for seconds.
class RememberedPeak {
  public:
    RememberedPeak();
    //! `remember`: from a settled stretch.
    void note(double ms, std::int64_t nowUs, bool remember);
    double at(std::int64_t nowUs);
    void reset();

  private:
    SlowFallingPeak seconds, minutes;
};

//! What the one latency budget of the client must hold: the audio from its arrival to the ear,
//! the playout queue's and the output's share together. The budget is for that latency averaged
//! over time, and what it has to cover is how far it dips below that average (arrivals come a
//! block at a time, late now and then: the network, the server's 5 ms capture steps, late
//! wake-ups) on top of the least the output must hold to play on until it next pulls; those
//! needs are measured at each pull and held as a peak that rises at once and falls slowly.
//! Every gap (the queue or the output ran dry) adds a step on top. Both are remembered for
//! minutes once a stream has settled. Until needs have been measured (before playback starts)
//! the target is estimated from the output's least, the block and pull sizes and the server's
//! capture step. The arrivals' lateness against their own timeline is what the status line
//! shows as the jitter. Single thread (the playback thread); times in µs on one steady clock.
class PlayoutTarget {
  public:
    struct Bounds {
        double minMs = 3;
        double maxMs = 120;
        double marginMs = 1;
    };

    explicit PlayoutTarget(const Bounds& bounds);

    //! A block of `frames` at `sampleRate` arrived at `timeUs`; `timed`: while playing (before
    //! playback starts, the capture's start-up and what piled up while the output opened come
    //! late and then at once, which says nothing of the link).
    void noteArrival(std::int64_t timeUs, std::uint32_t frames, int sampleRate, bool timed = true);
    //! The output had to be handed `frames` at once at `timeUs` (a pull-model output's quantum);
    //! `timed`: while playing.
    void notePull(std::int64_t timeUs, std::uint32_t frames, int sampleRate, bool timed);
    //! The least the latency must be at a pull for the output to play on, on the latency's own
    //! account, as the output said at a pull, ms.
    void noteOutputLeast(double ms);
    //! At a pull at `timeUs` the latency had to be at least `ms` on average to play on without a
    //! gap; `settled`: the stream is past its first seconds.
    void noteNeed(double ms, std::int64_t timeUs, bool settled);
    //! The queue or the output ran dry at `timeUs`.
    void noteUnderrun(std::int64_t timeUs, bool settled);
    //! Forgets everything measured (a new stream).
    void reset();

    //! The target at `nowUs`, within the bounds.
    double targetMs(std::int64_t nowUs);
    //! The least the output must hold, on average, ms.
    double outputLeastMs() const { return leastMs; }
    //! How much later than on average the latest arrivals come, as now held, ms.
    double arrivalJitterMs(std::int64_t nowUs);
    //! How much sooner than their own timeline the pulls came, as now held, ms.
    double pullJitterMs(std::int64_t nowUs) { return pulls.at(nowUs); }
    //! The arrivals' mean size, ms (0 before any).
    double blockMs() const { return meanBlockMs; }
    const Bounds& bounds() const { return limits; }

  private:
    double floorMs() const;
    double estimateMs() const;

    Bounds limits;
    TransitJitter arrivalTransit, pullTransit;
    SlowFallingPeak arrivals, pulls;
    RememberedPeak needs, underrunSteps;
    bool needsSeen = false;
    double lateMeanMs = 0;   // mean arrival lateness, smoothed
    double meanBlockMs = 0;  // mean arrival size, smoothed
    double leastMs = 0;      // the output's least, smoothed
};

}  // namespace quavelink
