#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/audio/audio_system.h"
#include "platform/message_box.h"

namespace quavelink {

//! The silence keep-alive: a thread that plays zeros on the default render endpoint, so that
//! its monitor keeps delivering packets while nothing else plays. It stays on the endpoint
//! that was the default at set-up until that goes away. Without a sound server, or when its
//! sink is removed, it waits (0.5 s, 1 s, 2 s ... every 5 s) and plays on the default sink of
//! the next try; any other failure ends it for good, after a message box.
class SilenceRenderer {
  public:
    //! Starts the thread; `system` and `boxes` must outlive this object.
    SilenceRenderer(audio::AudioSystem& system, MessageBoxHost& boxes);
    //! Ends the thread and its stream (the program never does; tests do).
    ~SilenceRenderer();
    SilenceRenderer(const SilenceRenderer&) = delete;
    SilenceRenderer& operator=(const SilenceRenderer&) = delete;

    //! Thread body. Returns the failing status, or 0 when stopped.
    audio::Status PlaySilence();

    //! Waits until the thread has ended; false on time-out. For tests.
    bool waitEnded(std::chrono::milliseconds timeout);

  private:
    //! One stream on the default endpoint, played until stopped (0) or a step fails (its
    //! status, with the step's text in `step`); `played` tells whether the stream ran.
    audio::Status playUntilFailure(const char*& step, bool& played);
    //! Sleeps `duration`; false when the renderer is being destroyed.
    bool sleepFor(std::chrono::milliseconds duration);

    audio::AudioSystem& system;
    MessageBoxHost& boxes;
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    bool ended = false;
    std::thread thread;
};

}  // namespace quavelink
