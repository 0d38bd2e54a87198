#include "test_client.h"

#include <arpa/inet.h>
#include <enet/enet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace quavelink::test {

std::uint16_t freeUdpPort() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

TestClient::TestClient(std::uint16_t serverPort, std::uint32_t connectValue,
                       std::uint16_t localPort) {
    if (enet_initialize() != 0) throw std::runtime_error("enet_initialize failed");
    ENetAddress local{};
    local.host = htonl(INADDR_LOOPBACK);
    local.port = localPort;
    host = enet_host_create(&local, 1, 2, 0, 0);
    if (host == nullptr) throw std::runtime_error("client host creation failed");
    // ENet seeds connect IDs from the host's address and the time, so a client that reconnects
    // from the same port within a second would otherwise repeat its old ID and be ignored.
    static enet_uint32 clientsMade = 0;
    host->randomSeed += ++clientsMade * 7919;
    ENetAddress server{};
    enet_address_set_host_ip(&server, "127.0.0.1");
    server.port = serverPort;
    peer = enet_host_connect(host, &server, 2, connectValue);
    if (peer == nullptr) throw std::runtime_error("enet_host_connect failed");
}

TestClient::~TestClient() {
    if (host != nullptr) enet_host_destroy(host);
    enet_deinitialize();
}

std::uint16_t TestClient::localPort() const { return host->address.port; }

void TestClient::service(int timeoutMs) {
    ENetEvent event;
    int result = enet_host_service(host, &event, static_cast<enet_uint32>(timeoutMs));
    while (result > 0) {
        switch (event.type) {
            case ENET_EVENT_TYPE_CONNECT:
                isConnected = true;
                break;
            case ENET_EVENT_TYPE_DISCONNECT:
                isConnected = false;
                disconnectData = event.data;
                break;
            case ENET_EVENT_TYPE_RECEIVE: {
                ReceivedMessage message;
                const ENetPacket* packet = event.packet;
                if (packet->dataLength >= kMessageHeaderSize) {
                    message.header = readMessageHeader(packet->data);
                    message.payload.assign(packet->data + kMessageHeaderSize,
                                           packet->data + packet->dataLength);
                }
                message.reliable = (packet->flags & ENET_PACKET_FLAG_RELIABLE) != 0;
                received.push_back(std::move(message));
                enet_packet_destroy(event.packet);
                break;
            }
            default:
                break;
        }
        result = enet_host_check_events(host, &event);
    }
}

void TestClient::sendDataRequest(std::uint32_t flags, const std::string& name) {
    std::vector<std::uint8_t> bytes(kMessageHeaderSize + name.size() + 1, 0);
    writeMessageHeader({MSG_DATA_REQUEST, 0, flags, 0}, bytes.data());
    std::copy(name.begin(), name.end(), bytes.begin() + kMessageHeaderSize);
    sendRaw(bytes);
}

void TestClient::sendRaw(const std::vector<std::uint8_t>& bytes, std::uint8_t channel) {
    queueRaw(bytes, channel);
    enet_host_flush(host);
}

void TestClient::queueRaw(const std::vector<std::uint8_t>& bytes, std::uint8_t channel) {
    ENetPacket* packet = enet_packet_create(bytes.data(), bytes.size(), ENET_PACKET_FLAG_RELIABLE);
    if (enet_peer_send(peer, channel, packet) < 0) enet_packet_destroy(packet);
}

void TestClient::flush() { enet_host_flush(host); }

void TestClient::disconnect() {
    enet_peer_disconnect(peer, 0);
    enet_host_flush(host);
}

void TestClient::abandon() {
    enet_peer_reset(peer);
    isConnected = false;
}

std::size_t silentLead(const std::vector<ReceivedMessage>& messages) {
    auto sound = std::find_if(messages.begin(), messages.end(), [](const ReceivedMessage& m) {
        return std::any_of(m.payload.begin(), m.payload.end(),
                           [](std::uint8_t b) { return b != 0; });
    });
    return static_cast<std::size_t>(sound - messages.begin());
}

std::vector<std::uint8_t> enetConnectDatagram(std::uint32_t connectId, std::uint32_t connectValue) {
    ENetProtocolHeader header{};
    header.peerID = ENET_HOST_TO_NET_16(static_cast<enet_uint16>(
        unsigned{ENET_PROTOCOL_MAXIMUM_PEER_ID} | unsigned{ENET_PROTOCOL_HEADER_FLAG_SENT_TIME}));
    header.sentTime = ENET_HOST_TO_NET_16(1);
    ENetProtocolConnect connect{};
    connect.header.command = static_cast<enet_uint8>(
        unsigned{ENET_PROTOCOL_COMMAND_CONNECT} | unsigned{ENET_PROTOCOL_COMMAND_FLAG_ACKNOWLEDGE});
    connect.header.channelID = 0xFF;
    connect.header.reliableSequenceNumber = ENET_HOST_TO_NET_16(1);
    connect.incomingSessionID = connect.outgoingSessionID = 0xFF;
    connect.mtu = ENET_HOST_TO_NET_32(ENET_HOST_DEFAULT_MTU);
    connect.windowSize = ENET_HOST_TO_NET_32(ENET_PROTOCOL_MAXIMUM_WINDOW_SIZE);
    connect.channelCount = ENET_HOST_TO_NET_32(2);
    connect.packetThrottleInterval = ENET_HOST_TO_NET_32(ENET_PEER_PACKET_THROTTLE_INTERVAL);
    connect.packetThrottleAcceleration =
        ENET_HOST_TO_NET_32(ENET_PEER_PACKET_THROTTLE_ACCELERATION);
    connect.packetThrottleDeceleration =
        ENET_HOST_TO_NET_32(ENET_PEER_PACKET_THROTTLE_DECELERATION);
    connect.connectID = connectId;
    connect.data = ENET_HOST_TO_NET_32(connectValue);
    std::vector<std::uint8_t> datagram(sizeof header + sizeof connect);
    std::memcpy(datagram.data(), &header, sizeof header);
    std::memcpy(datagram.data() + sizeof header, &connect, sizeof connect);
    return datagram;
}

}  // namespace quavelink::test
