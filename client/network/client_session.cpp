#include "client/network/client_session.h"

#include <enet/enet.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "client/network/stream_receiver.h"
#include "server/wire_format.h"

namespace quavelink {
namespace {

constexpr std::uint32_t kProtocolVersion = 1;
constexpr std::size_t kMaxNameCharacters = 255;
// A server that stops (or restarts) never says goodbye: notice it within a few seconds rather
// than ENet's default of up to 30.
constexpr enet_uint32 kTimeoutMinimumMs = 2000;
constexpr enet_uint32 kTimeoutMaximumMs = 5000;

}  // namespace

std::uint32_t clientConnectValue(bool shared) {
    return kProtocolVersion | (shared ? CONNECT_FLAG_SHARED : 0u);
}

std::string dataRequestBytes(const StreamChoice& choice, const std::string& name) {
    std::string bytes(kMessageHeaderSize, '\0');
    std::uint32_t flags =
        (choice.reliable ? FLAG_RELIABLE : 0u) |
        ((static_cast<std::uint32_t>(choice.rateCode) << kRateCodeShift) & kRateCodeMask);
    writeMessageHeader({MSG_DATA_REQUEST, 0, flags, 0},
                       reinterpret_cast<std::uint8_t*>(bytes.data()));
    std::string cut = name.substr(0, std::min(name.find('\0'), kMaxNameCharacters));
    bytes += cut;
    bytes.push_back('\0');
    return bytes;
}

ClientSession::ClientSession(StreamReceiver& receiver) : receiver(receiver) {}

ClientSession::~ClientSession() {
    destroyHost();
    if (networkInitialized) enet_deinitialize();
}

void ClientSession::destroyHost() {
    if (host != nullptr) enet_host_destroy(host);
    host = nullptr;
    peer = nullptr;
}

bool ClientSession::connect(const std::string& hostName, std::uint16_t port, bool shared,
                            const std::string& name, const StreamChoice& choice,
                            std::string& error) {
    destroyHost();
    server = hostName + ":" + std::to_string(port);
    clientName = name;
    current = choice;
    reason = EndReason::None;
    disconnectData.reset();
    status = State::Ended;
    if (!networkInitialized) {
        if (enet_initialize() != 0) {
            error = "ENet could not be initialised";
            reason = EndReason::Failed;
            return false;
        }
        networkInitialized = true;
    }
    ENetAddress address{};
    if (enet_address_set_host(&address, hostName.c_str()) != 0) {
        error = "cannot resolve " + hostName;
        reason = EndReason::Failed;
        return false;
    }
    address.port = port;
    host = enet_host_create(nullptr, 1, 2, 0, 0);
    if (host == nullptr) {
        error = "cannot create the network host";
        reason = EndReason::Failed;
        return false;
    }
    // ENet seeds connect IDs from the time; a quick reconnect must not repeat the last one.
    host->randomSeed +=
        static_cast<enet_uint32>(std::chrono::steady_clock::now().time_since_epoch().count());
    peer = enet_host_connect(host, &address, 2, clientConnectValue(shared));
    if (peer == nullptr) {
        error = "cannot start connecting to " + server;
        reason = EndReason::Failed;
        destroyHost();
        return false;
    }
    enet_peer_timeout(peer, 0, kTimeoutMinimumMs, kTimeoutMaximumMs);
    receiver.startNewStream();
    status = State::Connecting;
    return true;
}

void ClientSession::sendDataRequest() {
    if (peer == nullptr || status != State::Connected) return;
    std::string bytes = dataRequestBytes(current, clientName);
    ENetPacket* packet = enet_packet_create(bytes.data(), bytes.size(), ENET_PACKET_FLAG_RELIABLE);
    if (packet == nullptr) return;
    if (enet_peer_send(peer, 0, packet) != 0) enet_packet_destroy(packet);
    enet_host_flush(host);
}

void ClientSession::setChoice(const StreamChoice& choice) {
    current = choice;
    sendDataRequest();
}

void ClientSession::service(int timeoutMs) {
    if (host == nullptr) {
        // Nothing to wait for, but callers loop on this call: keep its pace.
        std::this_thread::sleep_for(std::chrono::milliseconds(std::max(0, timeoutMs)));
        return;
    }
    ENetEvent event;
    int result = enet_host_service(host, &event, static_cast<enet_uint32>(std::max(0, timeoutMs)));
    while (result > 0) {
        switch (event.type) {
            case ENET_EVENT_TYPE_CONNECT:
                status = State::Connected;
                sendDataRequest();
                break;
            case ENET_EVENT_TYPE_RECEIVE:
                receiver.handleMessage(event.packet->data, event.packet->dataLength);
                enet_packet_destroy(event.packet);
                break;
            case ENET_EVENT_TYPE_DISCONNECT:
                // The server's only own goodbye is 101; a zero comes from ENet itself when the
                // other end stopped answering.
                if (status == State::Connecting && event.data == 0) {
                    reason = EndReason::NoAnswer;
                } else if (event.data == DISCONNECT_REPLACED) {
                    reason = EndReason::Replaced;
                } else if (event.data == 0) {
                    reason = EndReason::TimedOut;
                } else {
                    reason = EndReason::Closed;
                }
                disconnectData = event.data;
                status = State::Ended;
                peer = nullptr;
                break;
            default:
                break;
        }
        if (host == nullptr || status == State::Ended) break;
        result = enet_host_check_events(host, &event);
    }
    if (result < 0 && status != State::Ended) {
        reason = EndReason::Failed;
        status = State::Ended;
    }
    if (status == State::Ended) destroyHost();
}

void ClientSession::close(int waitMs) {
    if (host == nullptr || peer == nullptr) {
        destroyHost();
        return;
    }
    enet_peer_disconnect(peer, 0);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    ENetEvent event;
    while (std::chrono::steady_clock::now() < deadline) {
        int result = enet_host_service(host, &event, 10);
        if (result < 0) break;
        if (result > 0 && event.type == ENET_EVENT_TYPE_RECEIVE) enet_packet_destroy(event.packet);
        if (result > 0 && event.type == ENET_EVENT_TYPE_DISCONNECT) break;
    }
    reason = EndReason::LocalClose;
    status = State::Ended;
    destroyHost();
}

int ClientSession::roundTripMs() const {
    return (peer != nullptr && status == State::Connected) ? static_cast<int>(peer->roundTripTime)
                                                           : 0;
}

std::string ClientSession::describeEnd() const {
    switch (reason) {
        case EndReason::Replaced:
            return "Disconnected by " + server + ": replaced by another client (value 101)";
        case EndReason::Closed:
            return "Disconnected by " + server + " (value " +
                   std::to_string(disconnectData.value_or(0)) + ")";
        case EndReason::TimedOut:
            return "Connection to " + server + " timed out: the server stopped or is unreachable";
        case EndReason::NoAnswer:
            return "No answer from " + server;
        case EndReason::LocalClose:
            return "Disconnected from " + server;
        case EndReason::Failed:
            return "Connection to " + server + " failed";
        case EndReason::None:
            break;
    }
    return "Not disconnected";
}

}  // namespace quavelink
