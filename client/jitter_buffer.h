#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

namespace quavelink {

//! Stereo 16-bit frames between the network thread, which pushes them as blocks arrive, and the
//! playback thread, which pulls them at the sound card's pace. Playback starts (and starts
//! again after running dry) only once `target` milliseconds are queued; a queue that grows far
//! past the target (the server's clock running ahead of the sound card's, or a burst after a
//! stall) is cut back to the target by dropping its oldest frames. Started at the target, the
//! queue's lowest level (just before a block comes in) is about half the target; one whose
//! lowest level stays more than 5 ms above that for a whole second of playback (audio that
//! piled up before playback began or while the output was held up) holds latency it does not
//! need, and its oldest frames are dropped until that level would have been half the target.
//! Thread-safe; every call holds the lock for a copy at most.
class JitterBuffer {
  public:
    struct Counters {
        int sampleRate = 0;  //!< of the frames queued now; 0 before any
        std::size_t queuedFrames = 0;
        bool playing = false;         //!< false while filling up to the target
        std::uint64_t underruns = 0;  //!< times playback ran dry
        std::uint64_t droppedFrames = 0;
        std::uint64_t playedFrames = 0;  //!< frames of audio handed out (silence not counted)
    };

    //! `targetMs`: audio queued before playback starts; `ceilingMs`: above this the queue is
    //! cut back to the target (at least target + 40 ms, 0 picks that).
    explicit JitterBuffer(int targetMs, int ceilingMs = 0);

    //! Network thread. Queues `frames` interleaved stereo frames at `sampleRate`. Frames of
    //! another rate than the queued ones replace them: the two cannot be played as one stream.
    void push(const std::int16_t* samples, std::size_t frames, int sampleRate);

    //! Playback thread. Writes exactly `frames` frames to `out`, silence where no audio is due.
    //! Returns how many of them are audio.
    std::size_t pull(std::int16_t* out, std::size_t frames);

    //! Drops everything queued and waits for the target again (after a disconnect).
    void clear();

    Counters counters() const;
    int targetMs() const { return target; }
    //! Milliseconds that `frames` last at the rate queued now (0 with none).
    int millisecondsOf(std::size_t frames) const;

  private:
    std::size_t framesForMs(int ms) const;
    void restartWindow();

    mutable std::mutex mutex;
    int target;
    int ceiling;
    std::deque<std::int16_t> queue;  // interleaved samples
    Counters state;
    // Playback since the last look at the queue's lowest level, and that level.
    std::size_t windowFrames = 0;
    std::size_t windowLowest = 0;
};

}  // namespace quavelink
