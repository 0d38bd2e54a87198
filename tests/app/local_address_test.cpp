#include "app/local_address.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "app/status_display.h"

namespace quavelink {
namespace {

InterfaceAddress address(const char* name, std::array<std::uint8_t, 4> bytes, bool up = true,
                         bool running = true, bool loopback = false) {
    InterfaceAddress entry;
    entry.interfaceName = name;
    entry.bytes = bytes;
    entry.up = up;
    entry.running = running;
    entry.loopback = loopback;
    return entry;
}

using Bytes = std::array<std::uint8_t, 4>;

TEST(LanAddress, LoopBackDownAndCarrierlessInterfacesAreNeverChosen) {
    std::vector<InterfaceAddress> list = {
        address("lo", {127, 0, 0, 1}, true, true, true),
        address("dummy", {127, 0, 1, 1}),  // loop-back range on an ordinary interface
        address("eth0", {192, 168, 1, 5}, false, false),
        address("docker0", {172, 17, 0, 1}, true, false),
    };
    EXPECT_EQ(chooseLanAddress(list, ""), std::nullopt);
    list.push_back(address("wlan0", {192, 168, 1, 7}));
    EXPECT_EQ(chooseLanAddress(list, ""), (Bytes{192, 168, 1, 7}));
}

TEST(LanAddress, TheDefaultRouteWinsThenAnyAddressBeforeALinkLocalOne) {
    std::vector<InterfaceAddress> list = {
        address("eth1", {169, 254, 3, 4}),
        address("virbr0", {192, 168, 122, 1}),
        address("wlan0", {10, 0, 0, 23}),
    };
    EXPECT_EQ(chooseLanAddress(list, ""), (Bytes{192, 168, 122, 1}));
    EXPECT_EQ(chooseLanAddress(list, "wlan0"), (Bytes{10, 0, 0, 23}));
    // A default route over an interface without an IPv4 address changes nothing.
    EXPECT_EQ(chooseLanAddress(list, "ppp0"), (Bytes{192, 168, 122, 1}));
    list.erase(list.begin() + 1, list.end());
    EXPECT_EQ(chooseLanAddress(list, ""), (Bytes{169, 254, 3, 4}));
}

TEST(LanAddress, DefaultRouteFromTheKernelTableTakesTheLowestMetric) {
    const std::string table =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
        "eth0\t0001A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n"
        "wlan0\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
        "eth0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
        "tun0\t00000000\t00000000\t0000\t0\t0\t1\t00000000\t0\t0\t0\n";  // not up
    EXPECT_EQ(defaultRouteInterface(table), "eth0");
    EXPECT_EQ(defaultRouteInterface(table.substr(0, table.find("wlan0"))), "");
    EXPECT_EQ(defaultRouteInterface(""), "");
    EXPECT_EQ(defaultRouteInterface("Iface\nbroken line\n"), "");
}

// GetLocalAddressText in a network namespace of its own, after `setup` (ip commands) has made
// its interfaces there. The interfaces have no way out, and nothing is sent over them.
std::string addressTextInNamespace(const std::string& setup) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return "pipe failed";
    pid_t child = fork();
    if (child == 0) {
        close(pipeFds[0]);
        std::string text = "no namespace";
        if (unshare(CLONE_NEWNET) == 0) {
            text = std::system(setup.c_str()) == 0 ? GetLocalAddressText() : "setup failed";
        }
        (void)!write(pipeFds[1], text.data(), text.size());
        _exit(0);
    }
    close(pipeFds[1]);
    std::string text;
    char buffer[256];
    ssize_t got;
    while ((got = read(pipeFds[0], buffer, sizeof buffer)) > 0) text.append(buffer, got);
    close(pipeFds[0]);
    waitpid(child, nullptr, 0);
    return text;
}

TEST(LanAddress, TheSystemsInterfacesGiveTheAddressNotTheHostName) {
    if (addressTextInNamespace("true") == "no namespace") {
        GTEST_SKIP() << "no private network namespace (needs root or CAP_SYS_ADMIN)";
    }
    EXPECT_EQ(addressTextInNamespace("ip link set lo up"), " (Unknown)");

    // A dummy interface where the kernel has them, else a veth pair; both ends stay inside.
    auto interface = [](const std::string& name, const std::string& address) {
        return "{ ip link add " + name + " type dummy 2>/dev/null || { ip link add " + name +
               " type veth peer name " + name + "p && ip link set " + name + "p up; }; } && " +
               "ip addr add " + address + " dev " + name + " && ";
    };
    // The kernel tells a new link's carrier a moment after it was set up (up to a second): until
    // then the interface is up but not running, and rightly not chosen.
    auto carrier = [](const std::string& name) {
        return "for i in $(seq 300); do ip link show " + name +
               " | grep -q LOWER_UP && break; sleep 0.01; done; ";
    };
    const std::string lan = interface("lan0", "10.77.0.5/24") + "ip link set lo up && ";
    EXPECT_EQ(addressTextInNamespace(lan + "ip link set lan0 up && " + carrier("lan0")),
              " 10.77.0.5");
    EXPECT_EQ(addressTextInNamespace(lan + "true"), " (Unknown)") << "lan0 is down";

    const std::string second = interface("wifi0", "10.88.0.7/24") +
                               "ip link set wifi0 up && ip link set lan0 up && " +
                               carrier("wifi0") + carrier("lan0");
    EXPECT_EQ(addressTextInNamespace(lan + second + "ip route add default dev wifi0"),
              " 10.88.0.7");
    EXPECT_EQ(addressTextInNamespace(lan + second + "ip route add default dev lan0"), " 10.77.0.5");
}

}  // namespace
}  // namespace quavelink
