#pragma once

#include <atomic>
#include <chrono>
#include <stop_token>

namespace quavelink {

class ServerWindow;
class StreamServer;
class WorkerThread;

//! The audio start-up layer as the server thread uses it. Server thread only.
class CaptureControl {
  public:
    //! What stands behind a list entry at the moment of asking.
    enum class EndpointState { Present, Gone, NoSoundServer };

    virtual ~CaptureControl() = default;
    //! Stops and releases any running capture, its capture thread ended; harmless when none runs.
    virtual void stopCapture() = 0;
    //! Opens endpoint `listIndex` (0 = the default device) and starts capturing; sets
    //! `streamIs48k` before the capture thread runs. Returns 0 on success, -2 when the failure
    //! has already been reported to the user, another code otherwise.
    virtual int startCapture(int listIndex, std::atomic<bool>& streamIs48k) = 0;
    //! Same as startCapture for a capture tried again without the user asking: what would be a
    //! message box is logged only.
    virtual int retryCapture(int listIndex, std::atomic<bool>& streamIs48k) = 0;
    //! Whether a started capture has ended on its own (its device or the sound server went).
    virtual bool captureEnded() = 0;
    //! Whether endpoint `listIndex` could be opened now.
    virtual EndpointState probeEndpoint(int listIndex) = 0;
};

//! The colour of the capture rate text after a successful start, as 0x00BBGGRR.
constexpr std::uint32_t kCaptureRateColor = 0x00B07070;

//! The server thread after the network has started: every `period`, takes the window's
//! endpoint choice and restarts the capture on it, shows the stream's rate, and starts a
//! capture that ended on its own again (CaptureRecovery). While no capture runs it services
//! the network host itself, so clients stay connected and new ones get in. Returns only when
//! `stop` is requested.
void runDeviceLoop(StreamServer& server, CaptureControl& capture, ServerWindow& window,
                   std::stop_token stop,
                   std::chrono::milliseconds period = std::chrono::milliseconds(500));

//! Starts `serverThread` on `thread` with a 32768-byte stack; stopping `thread` ends the device
//! loop (a capture it started still runs). False when the thread could not be created.
bool startServerThread(StreamServer& server, CaptureControl& capture, ServerWindow& window,
                       WorkerThread& thread);

//! The whole server thread: starts the network on the port from the environment (or 59010),
//! ends the process with exit code -1 when that fails, then runs the device loop.
void serverThread(StreamServer& server, CaptureControl& capture, ServerWindow& window,
                  std::stop_token stop = {});

}  // namespace quavelink
