#pragma once

#include <cstdint>

struct _ENetHost;
struct _ENetPeer;

namespace quavelink {

//! A half-open peer is one whose CONNECT ENet answered and whose handshake its sender has not
//! completed. ENet gives every CONNECT a peer of the host's 32 and keeps it up to 30 s while it
//! sends its answer again, so a host that sends CONNECTs and never completes one holds every
//! peer and keeps every listener out. These bound that, without a byte on the wire that a
//! compliant client would not see anyway.

//! Half-open peers one address may hold; a further CONNECT from it is dropped unread, as if
//! lost on the way (its client sends it again).
constexpr int kHalfOpenPeersPerAddress = 4;
//! How long ENet keeps answering a half-open peer (milliseconds; it gives up at its next resend
//! after that, 3.5 s after the CONNECT): three answers, enough for a handshake over a link that
//! loses a fifth of its datagrams.
constexpr std::uint32_t kHalfOpenTimeoutMs = 3000;

//! Has `host` drop CONNECTs from an address that holds kHalfOpenPeersPerAddress half-open
//! peers. Once, after the host is created; the host's owner thread.
void limitHalfOpenPeers(_ENetHost* host);

//! After each service of `host`: gives every half-open peer the short time-out. The host's
//! owner thread.
void shortenHalfOpenTimeouts(_ENetHost* host);

//! At the connect event of `peer`: the time-outs of a connected peer again.
void restoreTimeouts(_ENetPeer* peer);

}  // namespace quavelink
