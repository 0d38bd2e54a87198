// The machine's LAN address for the status display. The host name is no guide: Debian and
// Ubuntu map it to 127.0.1.1 in /etc/hosts, so the address comes from the interfaces.

#include "app/local_address.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <climits>
#include <cstring>
#include <fstream>
#include <sstream>

#include "app/status_display.h"

namespace quavelink {
namespace {

constexpr unsigned kRouteUp = 0x1;  // RTF_UP

int rank(const InterfaceAddress& address, const std::string& routeInterface) {
    if (!routeInterface.empty() && address.interfaceName == routeInterface) return 0;
    bool linkLocal = address.bytes[0] == 169 && address.bytes[1] == 254;
    return linkLocal ? 2 : 1;
}

std::vector<InterfaceAddress> systemAddresses(bool& ok) {
    std::vector<InterfaceAddress> list;
    ifaddrs* all = nullptr;
    ok = getifaddrs(&all) == 0;
    if (!ok) return list;
    for (ifaddrs* entry = all; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
        InterfaceAddress address;
        address.interfaceName = entry->ifa_name != nullptr ? entry->ifa_name : "";
        address.up = (entry->ifa_flags & IFF_UP) != 0;
        address.running = (entry->ifa_flags & IFF_RUNNING) != 0;
        address.loopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
        std::memcpy(address.bytes.data(),
                    &reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr, 4);
        list.push_back(std::move(address));
    }
    freeifaddrs(all);
    return list;
}

}  // namespace

std::optional<std::array<std::uint8_t, 4>> chooseLanAddress(
    const std::vector<InterfaceAddress>& addresses, const std::string& routeInterface) {
    const InterfaceAddress* best = nullptr;
    for (const InterfaceAddress& address : addresses) {
        if (!address.up || !address.running || address.loopback || address.bytes[0] == 127) {
            continue;
        }
        if (best == nullptr || rank(address, routeInterface) < rank(*best, routeInterface)) {
            best = &address;
        }
    }
    if (best == nullptr) return std::nullopt;
    return best->bytes;
}

std::string defaultRouteInterface(const std::string& routeTable) {
    std::istringstream lines(routeTable);
    std::string line;
    std::getline(lines, line);  // column headings
    std::string chosen;
    long chosenMetric = LONG_MAX;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string name, destination, gateway, mask;
        unsigned flags = 0;
        long refCount = 0, use = 0, metric = 0;
        if (!(fields >> name >> destination >> gateway >> std::hex >> flags >> std::dec >>
              refCount >> use >> metric >> mask)) {
            continue;
        }
        if (destination != "00000000" || mask != "00000000" || (flags & kRouteUp) == 0) continue;
        if (metric < chosenMetric) {
            chosen = name;
            chosenMetric = metric;
        }
    }
    return chosen;
}

std::string GetLocalAddressText() {
    bool listed = false;
    std::vector<InterfaceAddress> addresses = systemAddresses(listed);
    if (!listed) return "";
    std::ifstream routes("/proc/net/route");
    std::ostringstream table;
    table << routes.rdbuf();
    std::optional<std::array<std::uint8_t, 4>> chosen =
        chooseLanAddress(addresses, defaultRouteInterface(table.str()));
    // Only loop-back is up: the same answer a host name that resolves to it gets.
    if (!chosen) return " (Unknown)";
    const std::uint8_t bytes[4] = {(*chosen)[0], (*chosen)[1], (*chosen)[2], (*chosen)[3]};
    return formatAddressText(bytes);
}

}  // namespace quavelink
