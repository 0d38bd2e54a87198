#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/audio_output.h"

namespace quavelink {

class JitterBuffer;

//! What the sound server is asked to keep queued for a jitter buffer target of `jitterMs`:
//! three quarters of it, at least 10 ms. It grows with the target because the jitter buffer
//! cannot cover for the sound server's own late threads: on a busy machine even 20 ms here
//! ran dry now and then, whatever the target. Every millisecond here is latency too.
int outputBufferMsFor(int jitterMs);

//! The playback thread: pulls 5 ms at a time from the jitter buffer (silence while it fills)
//! and writes it to the output, whose blocking write sets the pace. Opens the output at the
//! rate of the queued audio and opens it again when that rate changes; an output that fails is
//! retried every second. No exception leaves the thread.
class Player {
  public:
    //! `outputBufferMs`: what the sound server is asked to keep queued.
    Player(JitterBuffer& buffer, std::unique_ptr<AudioOutput> output, int outputBufferMs);
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

  private:
    void run();

    JitterBuffer& buffer;
    std::unique_ptr<AudioOutput> output;
    int outputBufferMs;
    std::atomic<bool> stopping{false};
    std::atomic<int> latencyMs{-1};
    std::atomic<int> rate{0};
    bool failureReported = false;
    std::vector<std::int16_t> chunk;
    std::thread thread;
};

}  // namespace quavelink
