#include "discovery/discovery_protocol.h"

namespace quavelink {
namespace {

constexpr std::uint16_t kDefaultServerPort = 59010;

}  // namespace

std::optional<DiscoveryAnswer> answerForDatagram(std::string_view datagram, UdpEndpoint sender,
                                                 std::uint16_t discoveryPort) {
    if (datagram == kDiscoveryQuery2) return DiscoveryAnswer{false, sender};
    if (datagram == kDiscoveryQuery) {
        return DiscoveryAnswer{true, UdpEndpoint{sender.address, discoveryPort}};
    }
    return std::nullopt;
}

std::uint16_t discoveryPortFor(std::optional<std::uint16_t> serverPortOverride) {
    return static_cast<std::uint16_t>(serverPortOverride.value_or(kDefaultServerPort) + 1);
}

std::string printableDatagramText(std::string_view datagram) {
    std::string text(datagram);
    for (char& c : text) {
        if (c < 0x20 || c > 0x7E) c = '.';
    }
    return text;
}

}  // namespace quavelink
