#include "discovery/discovery_protocol.h"

#include <gtest/gtest.h>

#include <string>

namespace quavelink {
namespace {

constexpr UdpEndpoint kClient{0x0A000017, 40000};  // 10.0.0.23:40000

TEST(DiscoveryAnswer, SecondFormIsAnsweredAtTheSendersOwnPortFromTheListeningSocket) {
    auto answer = answerForDatagram("QuaveLinkQuery2", kClient, 59011);
    ASSERT_TRUE(answer);
    EXPECT_EQ(*answer, (DiscoveryAnswer{false, kClient}));
}

TEST(DiscoveryAnswer, FirstFormIsAnsweredAtTheDiscoveryPortFromAFreshSocket) {
    auto answer = answerForDatagram("QuaveLinkQuery", kClient, 60001);
    ASSERT_TRUE(answer);
    EXPECT_EQ(*answer, (DiscoveryAnswer{true, UdpEndpoint{kClient.address, 60001}}));
}

TEST(DiscoveryAnswer, AnythingButTheExactQueryTextIsIgnored) {
    using namespace std::string_literals;
    for (const std::string& datagram :
         {"QuaveLinkQuery\0"s, "QuaveLinkQuery2\0"s, "quavelinkquery"s, "QUAVELINKQUERY2"s,
          "quaveLinkQuery2"s, "QuaveLinkQuer"s, "QuaveLinkQuery3"s, "QuaveLinkQuery22"s,
          " QuaveLinkQuery"s, "QuaveLinkResponse"s, ""s, "\0QuaveLinkQuery"s}) {
        EXPECT_FALSE(answerForDatagram(datagram, kClient, 59011))
            << printableDatagramText(datagram) << " (" << datagram.size() << " bytes)";
    }
}

TEST(DiscoveryPort, IsOneAboveTheServerPortKeptTo16Bits) {
    EXPECT_EQ(discoveryPortFor(std::nullopt), 59011);
    EXPECT_EQ(discoveryPortFor(60000), 60001);
    EXPECT_EQ(discoveryPortFor(4464), 4465);
    EXPECT_EQ(discoveryPortFor(65535), 0);
}

TEST(DiscoveryLogText, ShowsEveryUnprintableByteAsADot) {
    using namespace std::string_literals;
    EXPECT_EQ(printableDatagramText("QuaveLinkQuery2"), "QuaveLinkQuery2");
    EXPECT_EQ(printableDatagramText("QuaveLinkQuery\0"s), "QuaveLinkQuery.");
    EXPECT_EQ(printableDatagramText("\x1b[2Jx\r\n\x7f\xff~ "), ".[2Jx....~ ");
}

}  // namespace
}  // namespace quavelink
