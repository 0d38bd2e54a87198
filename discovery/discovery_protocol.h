#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// What the discovery responder answers, and where, decided without any socket.

namespace quavelink {

//! The multicast group clients send their queries to.
inline constexpr char DISCOVERY_GROUP[] = "231.232.233.235";

//! Query of older clients: answered at the discovery port of the sender's address.
inline constexpr std::string_view kDiscoveryQuery = "QuaveLinkQuery";
//! Query of newer clients: answered at the port the query came from.
inline constexpr std::string_view kDiscoveryQuery2 = "QuaveLinkQuery2";
inline constexpr std::string_view kDiscoveryResponse = "QuaveLinkResponse";

//! Longest datagram the responder reads; a longer one counts as a failed receive.
inline constexpr std::size_t kDiscoveryReceiveLimit = 255;

//! An IPv4 address and a port, both in host byte order.
struct UdpEndpoint {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    bool operator==(const UdpEndpoint&) const = default;
};

struct DiscoveryAnswer {
    //! Send from a new socket on a system-chosen port instead of the listening socket.
    bool fromFreshSocket = false;
    UdpEndpoint destination;
    bool operator==(const DiscoveryAnswer&) const = default;
};

//! The answer that `datagram` from `sender` earns, or nothing. Only a datagram that is exactly
//! one of the query texts (same case, no terminator, nothing after it) is answered.
std::optional<DiscoveryAnswer> answerForDatagram(std::string_view datagram, UdpEndpoint sender,
                                                 std::uint16_t discoveryPort);

//! One above the server port (59010 unless `serverPortOverride` gives one), kept to 16 bits.
std::uint16_t discoveryPortFor(std::optional<std::uint16_t> serverPortOverride);

//! `datagram` fit for a log line: bytes outside printable ASCII (a zero byte, a line feed, a
//! terminal escape sequence from the network) are shown as '.', one for one.
std::string printableDatagramText(std::string_view datagram);

}  // namespace quavelink
