// Discovery datagrams from the network: the queries the server's responder reads (at most
// kDiscoveryReceiveLimit bytes from any sender) and the answers the client collects.
#include <cstring>

#include "client/network/discovery_query.h"
#include "discovery/discovery_protocol.h"
#include "fuzz/fuzz_input.h"

using namespace quavelink;
using fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput in(data, size);
    UdpEndpoint sender{in.u32(), in.u16()};
    std::uint16_t discoveryPort = discoveryPortFor(in.u16());
    std::string_view datagram = in.bytes(kDiscoveryReceiveLimit);

    std::optional<DiscoveryAnswer> answer = answerForDatagram(datagram, sender, discoveryPort);
    bool isQuery = datagram == kDiscoveryQuery || datagram == kDiscoveryQuery2;
    check(answer.has_value() == isQuery, "answered a datagram that is not a query, or the reverse");
    if (answer) {
        check(answer->destination.address == sender.address, "answer goes to another host");
    }

    std::string shown = printableDatagramText(datagram);
    check(shown.size() == datagram.size(), "log text changed length");
    for (char c : shown) check(c >= 0x20 && c <= 0x7E, "unprintable byte in a log line");

    check(isDiscoveryResponse(datagram) == (datagram == kDiscoveryResponse), "response misread");
    return 0;
}
