#include "server_thread.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/environment.h"
#include "platform/log.h"
#include "platform/thread.h"
#include "server/box_courier.h"
#include "server/capture_recovery.h"
#include "server/server_window.h"
#include "server/stream_server.h"

namespace quavelink {
namespace {

// How long one idle service call may wait for a client event; short, so that a stop request or
// the next tick is not held up.
constexpr std::chrono::milliseconds kIdleServiceSlice{10};

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
    // Declared first, so it is destroyed last: boxes handed to it are still shown.
    BoxCourier boxes(window);
    CaptureRecovery recovery(capture, window, boxes, server.streamIs48k, period);
    using Clock = CaptureRecovery::Clock;
    while (!stop.stop_requested()) {
        const Clock::time_point next = Clock::now() + period;
        for (auto now = Clock::now(); now < next && !stop.stop_requested(); now = Clock::now()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next - now);
            // While no capture thread runs, this thread owns the host: clients keep their
            // connection, and new ones get in.
            if (!recovery.idle() || !server.serviceWhileIdle(std::min(left, kIdleServiceSlice))) {
                if (!sleepFor(std::max(left, std::chrono::milliseconds(1)), stop)) return;
            }
        }
        if (stop.stop_requested()) return;
        // The tick may start a capture, whose thread then owns the host.
        server.releaseHost();
        recovery.tick(Clock::now());
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

bool startServerThread(StreamServer& server, CaptureControl& capture, ServerWindow& window,
                       WorkerThread& thread) {
    return thread.start(
        [&](std::stop_token stop) { serverThread(server, capture, window, std::move(stop)); },
        kWorkerStackBytes);
}

}  // namespace quavelink
