#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "server/wire_format.h"

struct _ENetHost;
struct _ENetPeer;

namespace quavelink::test {

//! One message the server sent.
struct ReceivedMessage {
    MessageHeader header;
    std::vector<std::uint8_t> payload;  // the bytes after the header
    bool reliable = false;              // how ENet delivered it
};

//! How many of `messages` come before the first that carries sound: a stream opens with silence
//! for as long as its sound server takes to deliver (up to two seconds).
std::size_t silentLead(const std::vector<ReceivedMessage>& messages);

//! A client that speaks the wire protocol over real ENet on 127.0.0.1.
class TestClient {
  public:
    //! Connects to 127.0.0.1:`serverPort` with `connectValue`; `localPort` 0 lets the system
    //! choose the client's port.
    TestClient(std::uint16_t serverPort, std::uint32_t connectValue, std::uint16_t localPort = 0);
    ~TestClient();
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    //! Handles every event waiting now (or within `timeoutMs` for the first one).
    void service(int timeoutMs = 0);

    void sendDataRequest(std::uint32_t flags, const std::string& name);
    void sendRaw(const std::vector<std::uint8_t>& bytes, std::uint8_t channel = 0);
    //! Queues a reliable message without sending it: many queued ones leave together, packed
    //! into as few datagrams as ENet can, at the next `flush` or `service`.
    void queueRaw(const std::vector<std::uint8_t>& bytes, std::uint8_t channel = 0);
    //! Sends everything queued without waiting for events.
    void flush();
    //! Says goodbye to the server.
    void disconnect();
    //! Forgets the connection without telling the server (as a crashed client would).
    void abandon();

    bool connected() const { return isConnected; }
    std::optional<std::uint32_t> disconnectValue() const { return disconnectData; }
    std::vector<ReceivedMessage>& messages() { return received; }
    std::uint16_t localPort() const;
    _ENetPeer* enetPeer() const { return peer; }

  private:
    _ENetHost* host = nullptr;
    _ENetPeer* peer = nullptr;
    bool isConnected = false;
    std::optional<std::uint32_t> disconnectData;
    std::vector<ReceivedMessage> received;
};

//! The first datagram of an ENet client's handshake, its CONNECT with `connectId` and
//! `connectValue`, as a host sends it that never completes the handshake.
std::vector<std::uint8_t> enetConnectDatagram(std::uint32_t connectId, std::uint32_t connectValue);

//! A UDP port on 127.0.0.1 that nothing was bound to a moment ago.
std::uint16_t freeUdpPort();

}  // namespace quavelink::test
