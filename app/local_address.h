#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quavelink {

//! One IPv4 address of a network interface, as the system lists it.
struct InterfaceAddress {
    std::string interfaceName;
    bool up = false;       //!< administratively up
    bool running = false;  //!< has a carrier (a bridge without a port or a cable out: false)
    bool loopback = false;
    std::array<std::uint8_t, 4> bytes{};  //!< network order
};

//! The address a client on the LAN reaches this machine at, out of `addresses` (in the
//! system's order): only interfaces that are up and running, never loop-back (flag or
//! 127.0.0.0/8). The interface of the default route (`defaultRouteInterface`, may be empty)
//! wins; then any other address before a link-local one (169.254.0.0/16); among equals the
//! first listed. Nothing when no address qualifies.
std::optional<std::array<std::uint8_t, 4>> chooseLanAddress(
    const std::vector<InterfaceAddress>& addresses, const std::string& defaultRouteInterface);

//! The interface of the IPv4 default route with the lowest metric, from the text of
//! /proc/net/route; empty when there is none.
std::string defaultRouteInterface(const std::string& routeTable);

}  // namespace quavelink
