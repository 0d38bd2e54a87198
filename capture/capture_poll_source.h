#pragma once

#include <chrono>

#include "capture/capture_events.h"

namespace quavelink {

//! What paces the capture loop: between two polls of the stream the loop waits here, and a
//! shutdown or switch request ends the wait early. The program's source is the stream's packet
//! event with the clock behind it; a test's lets the loop poll only when the test steps it.
class CapturePollSource {
  public:
    virtual ~CapturePollSource() = default;
    //! Capture thread: waits until the next poll is due or `events` holds a request; returns
    //! which came, a request first. `period` is the longest a poll may wait.
    virtual CaptureEvents::Wake next(CaptureEvents& events, std::chrono::milliseconds period) = 0;
    //! Capture thread: the poll that `next` allowed has been made.
    virtual void polled() {}
    //! Capture thread: the loop has ended; `events` is not waited on any more.
    virtual void ended() {}
    //! Capture thread: the time by which the loop paces the silence it hands over while the
    //! stream delivers nothing.
    virtual std::chrono::steady_clock::time_point now() { return std::chrono::steady_clock::now(); }
};

//! Polls when the stream signals a packet, and at the latest `period` after the last look.
class PacketPollSource : public CapturePollSource {
  public:
    CaptureEvents::Wake next(CaptureEvents& events, std::chrono::milliseconds period) override {
        return events.waitShutdownOrSwitch(period);
    }
};

}  // namespace quavelink
