#pragma once

#include <atomic>
#include <chrono>
#include <string>

#include "server/server_thread.h"

namespace quavelink {

class MessageBoxHost;
class ServerWindow;

//! Why no capture runs, as the window shows it in place of the rate.
inline constexpr const char* kNoSoundServerStatus = "No sound server";
inline constexpr const char* kDeviceGoneStatus = "Device gone";
inline constexpr const char* kCaptureEndedStatus = "Capture ended";

//! The box that says it in words when the user's choice finds no sound server.
inline constexpr const char* kNoSoundServerMessage =
    "No PulseAudio or PipeWire server was reached. QuaveLink Server starts capturing as soon as "
    "one runs.";

//! "Error, unable to activate audio device (code %x).\nIt may be unplugged, plug in and select
//! this device again." with `code`: the box that leaves it to the user to choose the device again.
std::string unpluggedDeviceMessage(unsigned code);

//! The box that tells of a chosen device gone from under a running capture: the default device
//! stands in, and the chosen one is taken again by itself when it returns.
std::string standInForGoneDeviceMessage(unsigned code);

//! The device loop's decisions, one tick at a time: takes the window's endpoint choice and
//! starts the capture on it after a pause, notices a capture that ended on its own, and tries
//! it again with a growing delay (0.5 s, 1 s, 2 s, 4 s, then every 5 s): the chosen endpoint,
//! or the default device while the chosen one is gone, going back to the chosen one when it
//! returns. Between tries each tick looks whether the endpoint can be opened (a cheap lookup)
//! and tries at once when it can, so a sound server that is back is used within a tick. Time comes
//! in through `tick`, so tests step it. Server thread only.
class CaptureRecovery {
  public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::chrono::milliseconds kFirstRetryDelay{500};
    static constexpr std::chrono::milliseconds kLongestRetryDelay{5000};

    //! `boxes` receives the loop's own message boxes; all must outlive this object. `pause`
    //! is the time between stopping a capture for a new choice and starting it.
    CaptureRecovery(CaptureControl& capture, ServerWindow& window, MessageBoxHost& boxes,
                    std::atomic<bool>& streamIs48k, std::chrono::milliseconds pause);

    void tick(Clock::time_point now);

    //! No capture thread runs: the caller owns the network host until the next tick.
    bool idle() const { return phase != Phase::Capturing; }
    //! When the next try is due (only while retrying).
    Clock::time_point nextTry() const { return due; }
    bool retrying() const { return phase == Phase::Retrying; }
    //! The list index the running capture was opened on (the chosen one, or 0 while the chosen
    //! one is gone).
    int capturingIndex() const { return activeIndex; }

  private:
    enum class Phase { Idle, Starting, Capturing, Retrying };

    void startChosen();
    void retry(Clock::time_point now);
    void lost(Clock::time_point now, const char* reason);
    void captured(int index);
    void backOff(Clock::time_point now);
    void showReason(const char* reason);
    const char* reasonFor(CaptureControl::EndpointState state) const;

    CaptureControl& capture;
    ServerWindow& window;
    MessageBoxHost& boxes;
    std::atomic<bool>& streamIs48k;
    std::chrono::milliseconds pause;

    Phase phase = Phase::Idle;
    int chosenIndex = 0;
    int activeIndex = 0;
    Clock::time_point due{};
    std::chrono::milliseconds delay = kFirstRetryDelay;
    std::string shownReason;
    //! What stood in the way at the last failure; while it was the endpoint's absence (or the
    //! sound server's), each tick looks whether it has gone.
    CaptureControl::EndpointState blocked = CaptureControl::EndpointState::Present;
    //! The chosen endpoint's loss has been told with the box that asks to choose it again.
    bool goneTold = false;
    //! The default device may stand in: only for a capture that ran and was lost, not for a
    //! choice that never opened.
    bool mayFallBack = false;
};

}  // namespace quavelink
