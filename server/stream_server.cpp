#include "stream_server.h"

#include <enet/enet.h>

#include <algorithm>
#include <thread>

#include "platform/log.h"
#include "server/half_open_peers.h"
#include "server/server_window.h"

namespace quavelink {

StreamServer::StreamServer(ServerWindow& window, RecordSink& recorder,
                           const OpusEncoders::Factory& createEncoder, ClientSessions::Clock clock)
    : window(window),
      recorder(recorder),
      createEncoder(createEncoder),
      clientSessions(window, clock) {}

StreamServer::~StreamServer() {
    if (networkHost != nullptr) enet_host_destroy(networkHost);
    if (networkInitialized) enet_deinitialize();
}

bool StreamServer::start(std::optional<std::uint16_t> environmentPort) {
    clientSessions.clear();
    opusEncoders.emplace(createEncoder);
    logLine("Initializing server network communication\n");
    if (enet_initialize() != 0) {
        window.ShowMessageBox("An error occurred while initializing network communication");
        return false;
    }
    networkInitialized = true;
    std::uint16_t port = kDefaultServerPort;
    if (environmentPort) {
        port = *environmentPort;
        logLine("Using port number %d from environment\n", port);
    }
    ENetAddress address{};
    address.host = ENET_HOST_ANY;
    address.port = port;
    networkHost = enet_host_create(&address, 32, 2, 0, 0);
    if (networkHost == nullptr) {
        window.ShowMessageBox(
            "An error occurred while creating network server host, network port may be busy "
            "(try rebooting)");
        return false;
    }
    limitHalfOpenPeers(networkHost);
    if (port == 0) {
        logLine(
            "Warning, port number 0 lets the system choose a port (%u this time), where "
            "clients will not look\n",
            static_cast<unsigned>(networkHost->address.port));
    }
    return true;
}

bool StreamServer::serviceWhileIdle(std::chrono::milliseconds wait) {
    if (networkHost == nullptr) return false;
    clientSessions.owner().check();
    const auto until = std::chrono::steady_clock::now() + wait;
    ENetEvent event;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        int result = enet_host_service(
            networkHost, &event, static_cast<enet_uint32>(std::max<long long>(0, left.count())));
        if (result < 0) {
            reportServiceError();
            // A failing socket fails again at once: the rest of the time is waited out here.
            std::this_thread::sleep_until(until);
            return true;
        }
        shortenHalfOpenTimeouts(networkHost);
        if (result > 0) handleEvent(event);
        // A peer that keeps events coming must not hold the server thread here: its next tick
        // (the capture's recovery among its work) is due.
        if (left.count() <= 0) return true;
    }
}

void StreamServer::reportServiceError() {
    const auto now = std::chrono::steady_clock::now();
    if (serviceErrorTold && now - *serviceErrorTold < std::chrono::minutes(1)) return;
    serviceErrorTold = now;
    logLine("Error returned from service call\n");
}

}  // namespace quavelink
