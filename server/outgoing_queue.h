#pragma once

#include <cstddef>

struct _ENetPeer;

namespace quavelink {

//! Reliable audio commands queued for `peer` and never sent yet.
std::size_t waitingReliableCommands(const _ENetPeer* peer);
//! Reliable commands sent to `peer` and not yet acknowledged.
std::size_t sentReliableCommands(const _ENetPeer* peer);

//! Drops the reliable audio `peer` has queued but never sent, so that a client that cannot
//! keep up skips ahead instead of falling ever further behind. Commands already sent once
//! (waiting for retransmission), the rest of a packet whose first fragments went out, unreliable
//! commands and ENet's own protocol commands stay. Each channel's reliable sequence number goes
//! back to just after the last command kept, so the client sees no gap it would wait for.
//! Returns the number of commands dropped.
int clearOutgoingQueue(_ENetPeer* peer);

}  // namespace quavelink
