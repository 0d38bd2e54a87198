#pragma once

#include <cstdint>
#include <stop_token>

// The discovery responder: answers the multicast queries by which clients find the server.
// It shares no state with the rest of the program and takes no lock.

namespace quavelink {

class WorkerThread;

//! Opens the responder's socket: UDP, address reuse on, bound to every local address at `port`,
//! member of DISCOVERY_GROUP on the system's default interface. Returns the descriptor, or -1
//! after logging the failed step through reportSocketError.
int openDiscoverySocket(std::uint16_t port);

//! Receives and answers queries on `socket` (from openDiscoverySocket) until `stop` is
//! requested; with a token that cannot be stopped, forever. Drops every datagram that is not a
//! query at once, and every query beyond ResponsePacer's limits (ten answers a second to one
//! address, fifty to all); pauses 500 ms only after a failed receive. Logs at most 20 received
//! datagrams a second and counts the rest. Send failures are logged and never end the loop.
//! Leaves `socket` open.
void serveDiscoveryQueries(int socket, std::uint16_t discoveryPort, std::stop_token stop);

//! Thread entry. Takes the discovery port from QUAVELINK_SERVER_PORT (one above the server
//! port), sets up and answers queries. Returns after a set-up failure (logged), or once `stop`
//! is requested.
void multiHost(std::stop_token stop = {});

//! Runs multiHost on `thread` with the worker stack size; stopping `thread` ends it. Returns
//! false when the thread could not be created; the caller tells the user ("Could not create
//! multicast receive thread") and carries on without discovery.
bool startMultiHost(WorkerThread& thread);

}  // namespace quavelink
