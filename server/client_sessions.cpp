#include "client_sessions.h"

#include <arpa/inet.h>
#include <enet/enet.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/log.h"
#include "server/client_name.h"
#include "server/server_window.h"

namespace quavelink {
namespace {

bool sameClient(const ENetPeer* a, const ENetPeer* b) {
    return a->address.host == b->address.host && a->address.port == b->address.port;
}

}  // namespace

SlotChoice chooseSlot(const ClientSlots& slots, std::int64_t now) {
    int oldest = 0;
    std::int64_t oldestTime = now + 100;
    for (int i = 0; i < kClientSlotCount; ++i) {
        if (slots[i].peer == nullptr) return {i, false};
        if (slots[i].connectTime < oldestTime) {
            oldest = i;
            oldestTime = slots[i].connectTime;
        }
    }
    return {oldest, true};
}

char* formatIPv4(std::uint32_t address, char (&buffer)[16]) {
    std::uint32_t host = ntohl(address);
    std::snprintf(buffer, sizeof buffer, "%d.%d.%d.%d", static_cast<int>(host >> 24),
                  static_cast<int>((host >> 16) & 0xFF), static_cast<int>((host >> 8) & 0xFF),
                  static_cast<int>(host & 0xFF));
    return buffer;
}

std::int64_t ClientSessions::unixTimeNow() { return static_cast<std::int64_t>(std::time(nullptr)); }

std::int64_t ClientSessions::steadySeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

ClientSessions::ClientSessions(ServerWindow& window, Clock now, Clock logClock)
    : window(window), now(now), logClock(logClock) {}

void ClientSessions::clear() {
    clientSlots = {};
    messageLogs = {};
    connectedCount_ = 0;
    lastStatusNamed = false;
}

void ClientSessions::setStatus(int connectedCount, const char* clientName) {
    lastStatusNamed = false;
    window.SetConnectionStatus(connectedCount, clientName);
}

bool ClientSessions::mayLogMessage(int slotIndex) {
    MessageLog& log = messageLogs[slotIndex];
    std::int64_t second = logClock();
    if (second != log.second) {
        reportUnlogged(slotIndex);
        log.second = second;
        log.logged = 0;
    }
    if (log.logged < kLoggedMessagesPerSecond) {
        ++log.logged;
        return true;
    }
    ++log.unlogged;
    return false;
}

void ClientSessions::reportUnlogged(int slotIndex) {
    MessageLog& log = messageLogs[slotIndex];
    if (log.unlogged == 0) return;
    logLine("Client %d sent %u more messages, not logged\n", slotIndex, log.unlogged);
    log.unlogged = 0;
}

void ClientSessions::dropSlot(ClientSlot& slot) {
    if (slot.protocolVersion >= 1) enet_peer_disconnect(slot.peer, DISCONNECT_REPLACED);
    slot = {};
}

void ClientSessions::handleConnect(ENetPeer* peer, std::uint32_t connectValue) {
    hostOwner.check();
    ++connectedCount_;
    setStatus(connectedCount_, "");
    char address[16];
    logLine("A new client connected from %s:%u (prot ver %d)\n",
            formatIPv4(peer->address.host, address), peer->address.port,
            static_cast<int>(protocolVersionFromConnectValue(connectValue)));

    std::int64_t connectTime = now();
    SlotChoice choice = chooseSlot(clientSlots, connectTime);
    ClientSlot& chosen = clientSlots[choice.index];
    if (choice.replacesOccupied) {
        if (sameClient(chosen.peer, peer)) {
            logLine("Connect for same ip/port as current connection, skipping disconnect\n");
            chosen = {};
        } else {
            dropSlot(chosen);
        }
    }
    // A client that did not ask to share the server gives way to every newcomer. When that
    // client is the newcomer itself, back from the same address and port, a disconnect sent to
    // its stale connection would reach the new one (ENet tells them apart by session number,
    // which both share), so the stale slot is only cleared.
    for (ClientSlot& slot : clientSlots) {
        if (slot.peer == nullptr || slot.shared) continue;
        if (sameClient(slot.peer, peer)) {
            logLine("Connect for same ip/port as current connection, skipping disconnect\n");
            slot = {};
        } else {
            dropSlot(slot);
        }
    }
    chosen.peer = peer;
    chosen.protocolVersion = protocolVersionFromConnectValue(connectValue);
    chosen.shared = (connectValue & CONNECT_FLAG_SHARED) != 0;
    chosen.reliable = true;
    chosen.rateCode = 0;
    chosen.streaming = false;
    chosen.connectTime = connectTime;
    messageLogs[choice.index] = {};
}

void ClientSessions::handleDisconnect(ENetPeer* peer) {
    hostOwner.check();
    --connectedCount_;
    setStatus(connectedCount_, nullptr);
    char address[16];
    logLine("Client %s:%u disconnected\n", formatIPv4(peer->address.host, address),
            peer->address.port);
    // The connection, not its address: the stale connection of a client that came back from
    // the same address and port ends (times out) after the new one has taken a slot.
    auto match = std::find_if(clientSlots.begin(), clientSlots.end(),
                              [&](const ClientSlot& s) { return s.peer == peer; });
    if (match != clientSlots.end()) {
        reportUnlogged(static_cast<int>(match - clientSlots.begin()));
        *match = {};
    }
}

void ClientSessions::handleReceive(ENetPeer* peer, const std::uint8_t* data, std::size_t length) {
    hostOwner.check();
    for (int i = 0; i < kClientSlotCount; ++i) {
        if (clientSlots[i].peer == nullptr || !sameClient(clientSlots[i].peer, peer)) continue;
        const bool logged = mayLogMessage(i);
        if (length < kMessageHeaderSize) {
            if (logged) {
                logLine("Ignoring a message of %zu bytes, shorter than its header\n", length);
            }
            return;
        }
        MessageHeader header = readMessageHeader(data);
        switch (header.messageId) {
            case MSG_FASTER:
                if (logged) logLine("Got Faster request\n");
                break;
            case MSG_SLOWER:
                if (logged) logLine("Got Slower request\n");
                break;
            case MSG_DATA_REQUEST: {
                if (logged) logLine("Got Data request\n");
                // The name need not end inside the packet: it then ends with the packet.
                const char* text = reinterpret_cast<const char*>(data + kMessageHeaderSize);
                std::size_t available = length - kMessageHeaderSize;
                applyDataRequest(i, header, std::string_view(text, strnlen(text, available)),
                                 logged);
                break;
            }
            default:
                if (logged) {
                    logLine("Got unrecognized message ID %d\n", static_cast<int>(header.messageId));
                }
                break;
        }
    }
}

void ClientSessions::handleDataRequest(int slotIndex, const MessageHeader& header,
                                       std::string_view name) {
    hostOwner.check();
    applyDataRequest(slotIndex, header, name, true);
}

void ClientSessions::applyDataRequest(int slotIndex, const MessageHeader& header,
                                      std::string_view name, bool logged) {
    ClientSlot& slot = clientSlots[slotIndex];
    slot.reliable = (header.flags & FLAG_RELIABLE) != 0;
    // ENet reads a round trip that grows as congestion and answers it by dropping a share of the
    // unreliable packets it is asked to send. When a link's delay stepped from 2 to 60 ms, it
    // dropped a fifth to a third of the best-effort blocks for seconds, blocks the link itself
    // would have carried, each a gap the listener hears. So for a best-effort stream that
    // throttle never closes; a reliable one keeps it, as it also sizes the reliable data in
    // flight.
    if (slot.peer != nullptr) {
        slot.peer->packetThrottleDeceleration =
            slot.reliable ? ENET_PEER_PACKET_THROTTLE_DECELERATION : 0;
    }
    slot.rateCode = rateCodeFromFlags(header.flags);
    slot.streaming = true;
    if (logged) {
        logLine(slot.reliable ? "Sending audio data in reliable mode\n"
                              : "Sending audio data in best-effort mode\n");
        if (slot.rateCode != 0) {
            logLine("Sending compressed audio data to client %d at rate code %d\n", slotIndex,
                    slot.rateCode);
        } else {
            logLine("Sending uncompressed audio data to client %d\n", slotIndex);
        }
    }
    // The name is the client's to choose: the window and the log get it as harmless text.
    std::string shown = displayableClientName(name);
    // The same request again would change nothing there; a window that logs its status would
    // still write a line for each.
    if (lastStatusNamed && lastStatusCount == connectedCount_ && lastStatusName == shown) return;
    window.SetConnectionStatus(connectedCount_, shown.c_str());
    lastStatusNamed = true;
    lastStatusCount = connectedCount_;
    lastStatusName = std::move(shown);
}

}  // namespace quavelink
