#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "client/output/audio_output.h"

namespace quavelink {

class Playout;

//! Plays the playout through the output. The output pulls on its own thread, straight from the
//! playout (silence while it fills), and reports its runs dry to the playout's controller; this
//! player's thread only looks after the stream: opens it at the rate of the audio due, opens it
//! again when that rate changes, retries every second once it fails, and reads the output's
//! figures for the status line. The pulling side takes no lock the network thread takes and
//! allocates nothing. No exception leaves the thread.
class Player : private PlayoutFeed {
  public:
    //! Microseconds on a steady clock; the same clock as the network thread's pushes.
    using Clock = std::function<std::int64_t()>;

    Player(Playout& playout, std::unique_ptr<AudioOutput> output, Clock clock = steadyMicroseconds);
    ~Player() override;
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    //! Starts the player's thread. Any thread.
    void start();
    //! Ends it and closes the output. Any thread.
    void stop();

    //! One round of the thread's loop; tests call it directly instead of `start`. Returns the
    //! milliseconds the caller should pause before the next round.
    int runOnce();

    //! Network thread, after a push; never blocks: an output that takes audio as it arrives
    //! wakes up for it.
    void audioArrived();

    //! The rate the output is open at, 0 when closed. Any thread.
    int openRate() const { return rate.load(std::memory_order_relaxed); }
    //! The output thread's priority as last read. Any thread.
    AudioOutput::Realtime outputRealtime() const { return realtimeNow.load(); }
    //! What the sound server runs the device at for the open stream, ms; -1 when unknown. Any
    //! thread.
    double deviceLatencyMs() const { return deviceMs.load(std::memory_order_relaxed); }

    static std::int64_t steadyMicroseconds();

  private:
    void run();
    //! Player thread, while the output is open.
    void watch();
    std::size_t pull(std::int16_t* out, std::size_t frames, const Hold& hold) override;
    void outputRanDry() override;

    Playout& playout;
    std::unique_ptr<AudioOutput> output;
    Clock clock;
    std::atomic<bool> stopping{false};
    std::atomic<int> rate{0};
    std::atomic<double> deviceMs{-1};
    std::atomic<AudioOutput::Realtime> realtimeNow{AudioOutput::Realtime::Unknown};
    //! Set by the output thread: the audio due is at this other rate.
    std::atomic<int> rateDue{0};
    bool failureReported = false;
    bool refusalReported = false;
    std::thread thread;
};

}  // namespace quavelink
