#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/audio_output.h"

namespace quavelink {

class Playout;

//! The playback thread: pulls what the sound server asks for at a time (a quarter of the
//! output buffer, 1 to 5 ms) from the playout (silence while it fills) and
//! writes it to the output, whose blocking write sets the pace. Opens the output at the rate of
//! the audio due and opens it again when that rate changes; an output that fails is retried
//! every second. Takes no lock the network thread takes and allocates nothing once the output
//! is open. No exception leaves the thread.
class Player {
  public:
    //! Microseconds on a steady clock; the same clock as the network thread's pushes.
    using Clock = std::function<std::int64_t()>;

    //! `outputBufferMs`: what the sound server is asked to keep queued.
    Player(Playout& playout, std::unique_ptr<AudioOutput> output, int outputBufferMs,
           Clock clock = steadyMicroseconds);
    ~Player();
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    //! Starts the playback thread. Any thread.
    void start();
    //! Ends it, within one write. Any thread.
    void stop();

    //! One round of the thread's loop; tests call it directly instead of `start`. Returns the
    //! milliseconds the caller should pause before the next round (0: go on at once).
    int runOnce();

    //! The output's latency in ms as last read, -1 when unknown. Any thread.
    int outputLatencyMs() const { return latencyMs.load(std::memory_order_relaxed); }
    //! The rate the output is open at, 0 when closed. Any thread.
    int openRate() const { return rate.load(std::memory_order_relaxed); }

    static std::int64_t steadyMicroseconds();

  private:
    void run();

    Playout& playout;
    std::unique_ptr<AudioOutput> output;
    int outputBufferMs;
    Clock clock;
    std::atomic<bool> stopping{false};
    std::atomic<int> latencyMs{-1};
    std::atomic<int> rate{0};
    bool failureReported = false;
    std::vector<std::int16_t> chunk;
    std::thread thread;
};

}  // namespace quavelink
