#include "server_thread.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/environment.h"
#include "platform/log.h"
#include "platform/thread.h"
#include "server/server_window.h"
#include "server/stream_server.h"

namespace quavelink {
namespace {

// Sleeps for `period`; returns false when a stop was requested meanwhile.
bool sleepFor(std::chrono::milliseconds period, const std::stop_token& stop) {
    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock lock(mutex);
    wake.wait_for(lock, stop, period, [] { return false; });
    return !stop.stop_requested();
}

}  // namespace

void runDeviceLoop(StreamServer& server, CaptureControl& capture, ServerWindow& window,
                   std::stop_token stop, std::chrono::milliseconds period) {
    while (sleepFor(period, stop)) {
        int index = 0;
        if (!window.TakeInputDeviceChange(index)) continue;
        capture.stopCapture();
        if (!sleepFor(period, stop)) return;
        int result = capture.startCapture(index, server.streamIs48k);
        if (result != 0) {
            window.SetCaptureRateText("");
            if (result != -2) {
                char text[64];
                std::snprintf(text, sizeof text, "Error %x opening audio input device\n",
                              static_cast<unsigned>(result));
                window.ShowMessageBox(text);
            }
            continue;
        }
        char rate[32];
        std::snprintf(rate, sizeof rate, " %.1f kHz",
                      (server.streamIs48k.load() ? 48000 : 44100) / 1000.0);
        window.SetCaptureRateText(rate);
        window.SetCaptureRateColor(kCaptureRateColor);
    }
}

void serverThread(StreamServer& server, CaptureControl& capture, ServerWindow& window,
                  std::stop_token stop) {
    if (!server.start(portFromEnvironment())) {
        std::fflush(nullptr);
        // Other threads still run: leave without running destructors under their feet.
        std::_Exit(-1);
    }
    runDeviceLoop(server, capture, window, stop);
}

}  // namespace quavelink

namespace quavelink {

bool startServerThread(StreamServer& server, CaptureControl& capture, ServerWindow& window) {
    return startDetachedThread([&] { serverThread(server, capture, window); }, kWorkerStackBytes);
}

}  // namespace quavelink
