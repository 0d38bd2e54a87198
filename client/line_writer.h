#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace quavelink {

//! Writes the client's lines for people and programs (events, status lines, errors) on a thread
//! of its own, so that a reader who stops reading (a paused pipe, a terminal on hold) never
//! holds up the network thread, which would let the audio run dry and the session time out.
//! Lines keep their order. Beyond kMostWaiting lines waiting, new ones are dropped and counted,
//! and the count is told on the error stream once writing goes on.
class LineWriter {
  public:
    static constexpr std::size_t kMostWaiting = 1000;

    LineWriter(std::FILE* out, std::FILE* err);
    //! As `finish`.
    ~LineWriter();
    LineWriter(const LineWriter&) = delete;
    LineWriter& operator=(const LineWriter&) = delete;

    //! Any thread; never waits for the streams. `text` goes to `stream` (the out or err stream
    //! given) as it is, then the stream is flushed.
    void write(std::FILE* stream, std::string text);
    //! Writes everything waiting and ends the thread; later lines are written at once, on the
    //! caller's thread. Not from two threads at once.
    void finish();

  private:
    void run();

    std::FILE* out;
    std::FILE* err;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::pair<std::FILE*, std::string>> waiting;  // under mutex
    std::uint64_t dropped = 0;                               // under mutex
    bool finishing = false;                                  // under mutex
    std::thread thread;
};

}  // namespace quavelink
