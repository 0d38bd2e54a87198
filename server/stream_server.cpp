#include "stream_server.h"

#include <enet/enet.h>

#include "platform/log.h"
#include "server/server_window.h"

namespace quavelink {

StreamServer::StreamServer(ServerWindow& window, RecordSink& recorder,
                           const OpusEncoders::Factory& createEncoder,
                           ClientSessions::Clock clock)
    : window(window), recorder(recorder), createEncoder(createEncoder),
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
    if (port == 0) {
        logLine(
            "Warning, port number 0 lets the system choose a port (%u this time), where "
            "clients will not look\n",
            static_cast<unsigned>(networkHost->address.port));
    }
    return true;
}

}  // namespace quavelink
