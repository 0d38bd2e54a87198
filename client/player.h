#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "client/audio_output.h"

namespace quavelink {

class Playout;

//! Plays the playout through the output. The output pulls on its own thread, straight from the
//! playout (silence while it fills); this player's thread only looks after the stream: opens it
//! at the rate of the audio due, opens it again when that rate changes, retries every second
//! once it fails, and reads the output's figures for the status line. The pulling side takes no
//! lock the network thread takes and allocates nothing. No exception leaves the thread.
class Player {
  public:
    //! Microseconds on a steady clock; the same clock as the network thread's pushes.
    using Clock = std::function<std::int64_t()>;

    //! `outputBufferMs`: what the sound server is asked to keep queued, at least.
    Player(Playout& playout, std::unique_ptr<AudioOutput> output, int outputBufferMs,
           Clock clock = steadyMicroseconds);
    ~Player();
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    //! Starts the player's thread. Any thread.
    void start();
    //! Ends it and closes the output. Any thread.
    void stop();

    //! One round of the thread's loop; tests call it directly instead of `start`. Returns the
    //! milliseconds the caller should pause before the next round.
    int runOnce();

    //! The output's latency in ms as last read, -1 when unknown. Any thread.
    int outputLatencyMs() const { return latencyMs.load(std::memory_order_relaxed); }
    //! The rate the output is open at, 0 when closed. Any thread.
    int openRate() const { return rate.load(std::memory_order_relaxed); }
    //! What the sound server is asked to keep queued now, ms. Any thread.
    int outputBufferMs() const { return bufferMs.load(std::memory_order_relaxed); }
    //! How often the sound server found the output's buffer empty, over every stream opened.
    //! Any thread.
    std::uint64_t outputUnderflows() const { return underflows.load(std::memory_order_relaxed); }

    static std::int64_t steadyMicroseconds();

  private:
    void run();
    //! Player thread, while the output is open.
    void watch();
    void fill(std::int16_t* out, std::size_t frames);

    Playout& playout;
    std::unique_ptr<AudioOutput> output;
    int baseBufferMs;
    Clock clock;
    std::atomic<bool> stopping{false};
    std::atomic<int> latencyMs{-1};
    std::atomic<int> rate{0};
    std::atomic<int> bufferMs{0};
    std::atomic<std::uint64_t> underflows{0};
    std::uint64_t underflowsBefore = 0;  // of the streams closed before
    //! Set by the output thread: the audio due is at this other rate.
    std::atomic<int> rateDue{0};
    bool failureReported = false;
    std::thread thread;
};

}  // namespace quavelink
