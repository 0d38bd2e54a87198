#include "server/half_open_peers.h"

#include <enet/enet.h>

namespace quavelink {
namespace {

// A datagram with no peer yet (ENet's peer number 0xFFF) can only open a connection.
bool opensAConnection(const ENetHost& host) {
    if (host.receivedDataLength < sizeof(enet_uint16)) return false;
    const enet_uint16 peerId =
        static_cast<enet_uint16>(host.receivedData[0] << 8 | host.receivedData[1]) &
        ~(ENET_PROTOCOL_HEADER_FLAG_MASK | ENET_PROTOCOL_HEADER_SESSION_MASK);
    return peerId == ENET_PROTOCOL_MAXIMUM_PEER_ID;
}

int halfOpenPeersOf(const ENetHost& host, enet_uint32 address) {
    int count = 0;
    for (std::size_t i = 0; i < host.peerCount; ++i) {
        const ENetPeer& peer = host.peers[i];
        if (peer.state == ENET_PEER_STATE_ACKNOWLEDGING_CONNECT && peer.address.host == address) {
            ++count;
        }
    }
    return count;
}

// ENet's hook for every datagram received: 1 drops it, 0 lets ENet handle it.
int dropExcessConnects(ENetHost* host, ENetEvent*) {
    if (!opensAConnection(*host)) return 0;
    return halfOpenPeersOf(*host, host->receivedAddress.host) >= kHalfOpenPeersPerAddress ? 1 : 0;
}

}  // namespace

void limitHalfOpenPeers(ENetHost* host) { host->intercept = &dropExcessConnects; }

void shortenHalfOpenTimeouts(ENetHost* host) {
    for (std::size_t i = 0; i < host->peerCount; ++i) {
        ENetPeer& peer = host->peers[i];
        if (peer.state == ENET_PEER_STATE_ACKNOWLEDGING_CONNECT &&
            peer.timeoutMaximum != kHalfOpenTimeoutMs) {
            enet_peer_timeout(&peer, 0, kHalfOpenTimeoutMs, kHalfOpenTimeoutMs);
        }
    }
}

void restoreTimeouts(ENetPeer* peer) { enet_peer_timeout(peer, 0, 0, 0); }

}  // namespace quavelink
