#include "server/capture_recovery.h"

#include <algorithm>
#include <cstdio>

#include "platform/log.h"
#include "platform/message_box.h"
#include "server/server_window.h"

namespace quavelink {
namespace {

// The status an endpoint that was removed reports when it is opened.
constexpr unsigned kDeviceInvalidatedCode = 0x88890004;

}  // namespace

std::string unpluggedDeviceMessage(unsigned code) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "Error, unable to activate audio device (code %x).\nIt may be unplugged, plug in "
                  "and select this device again.",
                  code);
    return text;
}

std::string standInForGoneDeviceMessage(unsigned code) {
    char text[224];
    std::snprintf(text, sizeof text,
                  "The chosen audio device is gone (code %x); it may be unplugged.\nQuaveLink "
                  "Server captures the default device meanwhile and goes back to the chosen one "
                  "as soon as it returns.",
                  code);
    return text;
}

CaptureRecovery::CaptureRecovery(CaptureControl& capture, ServerWindow& window,
                                 MessageBoxHost& boxes, std::atomic<bool>& streamIs48k,
                                 std::chrono::milliseconds pause)
    : capture(capture), window(window), boxes(boxes), streamIs48k(streamIs48k), pause(pause) {}

void CaptureRecovery::tick(Clock::time_point now) {
    int index = 0;
    if (window.TakeInputDeviceChange(index)) {
        capture.stopCapture();
        chosenIndex = index;
        activeIndex = index;
        phase = Phase::Starting;
        due = now + pause;
        delay = kFirstRetryDelay;
        goneTold = false;
        mayFallBack = false;
        return;
    }
    switch (phase) {
        case Phase::Idle:
            return;
        case Phase::Starting:
            if (now >= due) startChosen();
            if (phase == Phase::Retrying) due = now + delay;
            return;
        case Phase::Capturing:
            if (capture.captureEnded()) {
                capture.stopCapture();
                CaptureControl::EndpointState state = capture.probeEndpoint(chosenIndex);
                logLine("The capture ended (%s), trying again\n", reasonFor(state));
                mayFallBack = true;
                blocked = state;
                lost(now, reasonFor(state));
            } else if (activeIndex != chosenIndex && capture.probeEndpoint(chosenIndex) ==
                                                         CaptureControl::EndpointState::Present) {
                // The chosen endpoint is back: leave the default device for it.
                capture.stopCapture();
                logLine("The chosen device is back\n");
                retry(now);
            }
            return;
        case Phase::Retrying:
            // Between the tries a look is cheap (a failed connect, a lookup): the capture is
            // tried at once when what stood in its way has gone.
            if (now >= due ||
                (blocked != CaptureControl::EndpointState::Present &&
                 capture.probeEndpoint(chosenIndex) == CaptureControl::EndpointState::Present)) {
                retry(now);
            }
            return;
    }
}

void CaptureRecovery::startChosen() {
    int result = capture.startCapture(chosenIndex, streamIs48k);
    if (result == 0) {
        captured(chosenIndex);
        return;
    }
    window.SetCaptureRateText("");
    CaptureControl::EndpointState state = capture.probeEndpoint(chosenIndex);
    if (state == CaptureControl::EndpointState::NoSoundServer) {
        // The cause in words, not the bare code; the capture starts once a server runs.
        boxes.ShowMessageBox(kNoSoundServerMessage);
    } else if (result != -2) {
        char text[64];
        std::snprintf(text, sizeof text, "Error %x opening audio input device\n",
                      static_cast<unsigned>(result));
        boxes.ShowMessageBox(text);
    }
    if (state == CaptureControl::EndpointState::Present) {
        // The endpoint is there and cannot be captured (its format): only a new choice helps.
        phase = Phase::Idle;
        return;
    }
    // An unplugged device has told the user so; it is taken as soon as it returns.
    goneTold = state == CaptureControl::EndpointState::Gone;
    blocked = state;
    showReason(reasonFor(state));
    phase = Phase::Retrying;
    delay = kFirstRetryDelay;
}

void CaptureRecovery::retry(Clock::time_point now) {
    if (capture.retryCapture(chosenIndex, streamIs48k) == 0) {
        logLine("Capturing again\n");
        captured(chosenIndex);
        return;
    }
    CaptureControl::EndpointState state = capture.probeEndpoint(chosenIndex);
    if (state == CaptureControl::EndpointState::Gone && mayFallBack && chosenIndex != 0 &&
        capture.retryCapture(0, streamIs48k) == 0) {
        logLine("Capturing the default device while the chosen one is gone\n");
        captured(0);
        if (!goneTold) {
            goneTold = true;
            boxes.ShowMessageBox(standInForGoneDeviceMessage(kDeviceInvalidatedCode));
        }
        return;
    }
    blocked = state;
    showReason(reasonFor(state));
    backOff(now);
}

void CaptureRecovery::lost(Clock::time_point now, const char* reason) {
    window.SetCaptureRateText("");
    showReason(reason);
    phase = Phase::Retrying;
    delay = kFirstRetryDelay;
    due = now + delay;
}

void CaptureRecovery::backOff(Clock::time_point now) {
    phase = Phase::Retrying;
    delay = std::min(delay * 2, kLongestRetryDelay);
    due = now + delay;
}

void CaptureRecovery::captured(int index) {
    phase = Phase::Capturing;
    activeIndex = index;
    delay = kFirstRetryDelay;
    showReason("");
    char rate[32];
    std::snprintf(rate, sizeof rate, " %.1f kHz", (streamIs48k.load() ? 48000 : 44100) / 1000.0);
    window.SetCaptureRateText(rate);
    window.SetCaptureRateColor(kCaptureRateColor);
}

void CaptureRecovery::showReason(const char* reason) {
    if (shownReason == reason) return;
    shownReason = reason;
    window.SetCaptureStatus(shownReason);
}

const char* CaptureRecovery::reasonFor(CaptureControl::EndpointState state) const {
    switch (state) {
        case CaptureControl::EndpointState::NoSoundServer:
            return kNoSoundServerStatus;
        case CaptureControl::EndpointState::Gone:
            return kDeviceGoneStatus;
        case CaptureControl::EndpointState::Present:
            break;
    }
    return kCaptureEndedStatus;
}

}  // namespace quavelink
