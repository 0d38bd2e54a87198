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

//! The largest of the values noted in the last `windowS` seconds, falling at most
//! `fallMsPerS` once the largest has left the window: a rise shows at once, a fall slowly and
//! only after a calm stretch. Single thread.
class SlowFallingPeak {
  public:
    SlowFallingPeak(int windowS, double fallMsPerS) : windowS(windowS), fallMsPerS(fallMsPerS) {}
    void note(double ms, std::int64_t nowUs);
    //! The peak at `nowUs` (never earlier than the last call).
    double at(std::int64_t nowUs);
    void reset();

  private:
    static constexpr int kMaxWindowS = 30;
    int windowS;
    double fallMsPerS;
    std::array<double, kMaxWindowS> secondMax{};
    std::array<std::int64_t, kMaxWindowS> secondId{};
    double shown = 0;
    std::int64_t shownAtUs = 0;
    bool started = false;
};

//! The adaptive target of the playout queue: what this stream and this machine need, measured.
//! The target is for the queue's level averaged over time, and what it has to cover is how far
//! the level dips below that average just after a pull: half a block and half a pull (arrivals
//! come a block at a time, pulls a chunk at a time), arrivals later than usual (the network,
//! the server's 5 ms capture steps, late wake-ups of the network thread) and pulls sooner than
//! usual (the sound server asking in bursts, the playback thread catching up after a late
//! wake-up). A stall of the whole machine delays arrivals and pulls alike and leaves the level
//! alone, so it asks for nothing here (the sound server's own buffer is what it empties). The
//! dips are held as a slowly falling peak: the target grows at once after a late block and
//! shrinks slowly after a calm stretch; an underrun adds a step on top that falls the same way.
//! Until dips have been seen (before playback starts) the target is estimated from the block
//! and pull sizes and the server's capture step. The arrivals' lateness against their own
//! timeline is what the status line shows as the jitter. Single thread (the playback thread); times
//! in µs on one steady clock.
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
    //! The playback side took `frames` at `timeUs`; `timed`: while playing (the sound server
    //! takes a burst while it fills up at the start, which is not the pace it keeps).
    void notePull(std::int64_t timeUs, std::uint32_t frames, int sampleRate, bool timed);
    //! Just after a pull at `timeUs` the level was `ms` below its average.
    void noteDip(double ms, std::int64_t timeUs);
    //! The queue ran dry at `timeUs`.
    void noteUnderrun(std::int64_t timeUs);
    //! Forgets everything measured (a new stream).
    void reset();

    //! The target at `nowUs`, within the bounds.
    double targetMs(std::int64_t nowUs);
    //! How much later than on average the latest arrivals come, as now held, ms.
    double arrivalJitterMs(std::int64_t nowUs);
    //! How much sooner than their own timeline the pulls came, as now held, ms.
    double pullJitterMs(std::int64_t nowUs) { return pulls.at(nowUs); }
    //! The arrivals' mean size, ms (0 before any).
    double blockMs() const { return meanBlockMs; }
    const Bounds& bounds() const { return limits; }

  private:
    Bounds limits;
    TransitJitter arrivalTransit, pullTransit;
    double estimateMs();

    SlowFallingPeak arrivals, pulls, dips, underrunSteps;
    bool dipsSeen = false;
    double lateMeanMs = 0;   // mean arrival lateness, smoothed
    double meanBlockMs = 0;  // mean arrival size, smoothed
    double pullMs = 0;       // mean pull size, smoothed
};

}  // namespace quavelink
