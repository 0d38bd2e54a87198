#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quavelink {

//! A server that answered a discovery query.
struct FoundServer {
    std::string address;  //!< dotted IPv4 address the answer came from
    bool operator==(const FoundServer&) const = default;
};

//! Whether `datagram` is a discovery answer: exactly the response text, nothing more.
bool isDiscoveryResponse(std::string_view datagram);

//! Sends the discovery query to the multicast group and to each of `extraAddresses` (for
//! networks without multicast), all at `discoveryPort`, and collects answers for `waitMs`
//! milliseconds. The query goes out twice, since a datagram may be lost; each server is listed
//! once, in the order it first answered. Blocks the calling thread. False with `error` set when
//! no query could be sent at all.
bool findServers(std::uint16_t discoveryPort, const std::vector<std::string>& extraAddresses,
                 int waitMs, std::vector<FoundServer>& found, std::string& error);

}  // namespace quavelink
