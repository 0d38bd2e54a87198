#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "server/host_owner.h"
#include "server/wire_format.h"

struct _ENetPeer;

namespace quavelink {

class ServerWindow;

struct ClientSlot {
    std::uint32_t protocolVersion = 0;
    bool shared = false;
    bool reliable = false;
    std::int32_t rateCode = 0;
    bool streaming = false;
    _ENetPeer* peer = nullptr;  // null marks a free slot
    std::int64_t connectTime = 0;
};

constexpr int kClientSlotCount = 10;
using ClientSlots = std::array<ClientSlot, kClientSlotCount>;

//! Where a new client goes: the first free slot, or else the occupied slot with the earliest
//! connect time (ties to the lower index).
struct SlotChoice {
    int index = 0;
    bool replacesOccupied = false;
};
SlotChoice chooseSlot(const ClientSlots& slots, std::int64_t now);

//! Writes an IPv4 address given in network byte order as "a.b.c.d" into `buffer`.
char* formatIPv4(std::uint32_t address, char (&buffer)[16]);

//! Messages of one client whose log lines are written in any one second; the others are only
//! counted, so that a client flooding the server costs it no more than a few lines a second.
constexpr int kLoggedMessagesPerSecond = 10;

//! The server's side of the client sessions: the slot table and the handling of the network
//! events. Used only by the network host's owner (HostOwner), which checks it in debug builds.
class ClientSessions {
  public:
    using Clock = std::int64_t (*)();

    //! `now` gives the seconds since 1970 that stamp each connect; `logClock` the seconds
    //! (steady, from any origin) by which each client's log lines are rationed.
    explicit ClientSessions(ServerWindow& window, Clock now = &unixTimeNow,
                            Clock logClock = &steadySeconds);

    void clear();

    void handleConnect(_ENetPeer* peer, std::uint32_t connectValue);
    void handleDisconnect(_ENetPeer* peer);
    //! A message from `peer`; `data` is only read within `length` bytes.
    void handleReceive(_ENetPeer* peer, const std::uint8_t* data, std::size_t length);
    void handleDataRequest(int slotIndex, const MessageHeader& header, std::string_view name);

    const ClientSlots& slots() const { return clientSlots; }
    HostOwner& owner() { return hostOwner; }
    int connectedCount() const { return connectedCount_; }

    static std::int64_t unixTimeNow();
    static std::int64_t steadySeconds();

  private:
    // What one slot's client was allowed to log in its current second.
    struct MessageLog {
        std::int64_t second = 0;
        int logged = 0;
        unsigned unlogged = 0;
    };

    void dropSlot(ClientSlot& slot);
    void applyDataRequest(int slotIndex, const MessageHeader& header, std::string_view name,
                          bool logged);
    //! Whether the next message of slot `slotIndex` may log its lines.
    bool mayLogMessage(int slotIndex);
    //! Says how many messages of slot `slotIndex` went unlogged, if any, and forgets them.
    void reportUnlogged(int slotIndex);
    void setStatus(int connectedCount, const char* clientName);

    ServerWindow& window;
    HostOwner hostOwner;
    Clock now;
    Clock logClock;
    ClientSlots clientSlots{};
    std::array<MessageLog, kClientSlotCount> messageLogs{};
    std::int32_t connectedCount_ = 0;
    // The last status handed to the window with a name: the same again changes nothing there.
    bool lastStatusNamed = false;
    std::int32_t lastStatusCount = 0;
    std::string lastStatusName;
};

}  // namespace quavelink
