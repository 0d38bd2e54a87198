// The server's receive path: connects, disconnects and messages from a few clients, in any
// order and with any bytes, as the capture thread hands them to ClientSessions.
#include <enet/enet.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "fuzz/fuzz_input.h"
#include "server/client_sessions.h"
#include "server/server_window.h"

namespace {

using namespace quavelink;
using fuzz::check;

class CheckingWindow : public ServerWindow {
  public:
    void SetConnectionStatus(int connectedCount, const char* clientName) override {
        check(connectedCount >= 0, "negative client count");
        if (clientName == nullptr) return;
        check(std::strlen(clientName) <= 255, "client name too long");
        for (const char* c = clientName; *c != '\0'; ++c) {
            auto byte = static_cast<unsigned char>(*c);
            check(byte >= 0x20 && byte != 0x7F, "control character in a client name");
        }
    }
    bool TakeInputDeviceChange(int&) override { return false; }
    void SetCaptureRateText(const std::string&) override {}
    void SetCaptureRateColor(std::uint32_t) override {}
    void SetMeterData(const int*, int, int) override {}
    void ShowMessageBox(const std::string&) override {}
};

constexpr int kPeerCount = 12;  // more than the slots, so that connects replace clients

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput in(data, size);
    CheckingWindow window;
    std::int64_t clock = 1000;
    static std::int64_t* clockOf = nullptr;
    clockOf = &clock;
    ClientSessions sessions(window, [] { return *clockOf; });

    // Zeroed peers stay in the disconnected state, where enet_peer_disconnect returns at once.
    // Peers 0 and 1 share an address, as a client back from the same port does.
    std::array<ENetPeer, kPeerCount> peers{};
    std::array<bool, kPeerCount> connected{};
    for (int i = 0; i < kPeerCount; ++i) {
        peers[i].address.host = 0x0100007F + (static_cast<std::uint32_t>(i / 2) << 24);
        peers[i].address.port = static_cast<enet_uint16>(40000 + (i < 2 ? 0 : i));
    }

    int expectedCount = 0;
    while (!in.empty()) {
        std::uint8_t op = in.byte();
        int p = (op >> 2) % kPeerCount;
        ENetPeer* peer = &peers[p];
        switch (op & 3) {
            case 0:  // ENet announces a peer once until it disconnects
                if (connected[p]) break;
                connected[p] = true;
                ++expectedCount;
                sessions.handleConnect(peer, in.u32());
                check(std::any_of(sessions.slots().begin(), sessions.slots().end(),
                                  [&](const ClientSlot& slot) { return slot.peer == peer; }),
                      "a new client got no slot");
                break;
            case 1:
                if (!connected[p]) break;
                connected[p] = false;
                --expectedCount;
                {
                    ClientSlots before = sessions.slots();
                    sessions.handleDisconnect(peer);
                    for (int i = 0; i < kClientSlotCount; ++i) {
                        if (before[i].peer == peer) continue;
                        check(sessions.slots()[i].peer == before[i].peer,
                              "a disconnect freed another connection's slot");
                    }
                }
                break;
            case 2: {
                std::string_view message = in.longText();
                sessions.handleReceive(peer, reinterpret_cast<const std::uint8_t*>(message.data()),
                                       message.size());
                break;
            }
            case 3:
                clock += static_cast<std::int8_t>(in.byte());
                break;
        }
        check(sessions.connectedCount() == expectedCount, "client count drifted");
        for (const ClientSlot& slot : sessions.slots()) {
            if (slot.peer == nullptr) continue;
            check(slot.peer >= peers.data() && slot.peer < peers.data() + kPeerCount,
                  "slot holds an unknown peer");
            // Audio sent to a gone connection is lost, and its client, if back, gets none.
            check(connected[slot.peer - peers.data()], "slot holds a disconnected peer");
            check(slot.rateCode >= 0 && slot.rateCode <= 3, "rate code out of range");
        }
    }
    return 0;
}
