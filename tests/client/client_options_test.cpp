#include "client/client_options.h"

#include <gtest/gtest.h>

namespace quavelink {
namespace {

ParsedOptions parse(std::vector<std::string> args) {
    args.insert(args.begin(), "quavelink-client");
    return parseClientOptions(args);
}

TEST(ClientOptions, DefaultsAskForSharedReliablePcmAndPlay) {
    auto parsed = parse({});
    ASSERT_EQ(parsed.error, "");
    const auto& o = parsed.options;
    EXPECT_EQ(o.action, ClientOptions::Action::Connect);
    EXPECT_TRUE(o.host.empty());
    EXPECT_EQ(o.port, 59010);
    EXPECT_EQ(o.effectiveDiscoveryPort(), 59011);
    EXPECT_TRUE(o.shared);
    EXPECT_TRUE(o.reliable);
    EXPECT_EQ(o.rateCode, 0);
    EXPECT_TRUE(o.play);
    EXPECT_EQ(o.jitterMs, -1);  // adaptive
    EXPECT_EQ(o.latency, ClientOptions::Latency::Normal);
}

TEST(ClientOptions, ReadsEveryFormOfTheServerAndItsChoices) {
    auto parsed = parse({"-b", "--rate-code=3", "--not-shared", "-j", "25", "kitchen.lan:6000",
                         "--wav", "out.wav", "--no-play", "-Q", "10.1.1.1", "--query=10.1.1.2",
                         "--seconds", "2.5", "-m"});
    ASSERT_EQ(parsed.error, "");
    const auto& o = parsed.options;
    EXPECT_EQ(o.host, "kitchen.lan");
    EXPECT_EQ(o.port, 6000);
    EXPECT_EQ(o.effectiveDiscoveryPort(), 6001);
    EXPECT_FALSE(o.reliable);
    EXPECT_EQ(o.rateCode, 3);
    EXPECT_FALSE(o.shared);
    EXPECT_EQ(o.jitterMs, 25);
    EXPECT_EQ(o.wavPath, "out.wav");
    EXPECT_FALSE(o.play);
    EXPECT_EQ(o.queryAddresses, (std::vector<std::string>{"10.1.1.1", "10.1.1.2"}));
    EXPECT_DOUBLE_EQ(o.seconds, 2.5);
    EXPECT_TRUE(o.machine);
    EXPECT_TRUE(o.quiet);
    // A port in HOST:PORT wins over --port, wherever it stands.
    EXPECT_EQ(parse({"h:7000", "--port", "8000"}).options.port, 7000);
    EXPECT_EQ(parse({"--port", "8000", "h"}).options.port, 8000);
}

TEST(ClientOptions, RefusesWhatItCannotHonour) {
    for (auto args : std::vector<std::vector<std::string>>{
             {"-c", "4"},
             {"-c", "-1"},
             {"--rate-code"},
             {"-p", "0"},
             {"-p", "65536"},
             {"-p", "12ab"},
             {"host:"},
             {":5000"},
             {"a", "b"},
             {"--frobnicate"},
             {"-j", "-5"},
             {"--seconds", "nan"},
             {"--list=yes"},
             {"--no-play"},
         }) {
        EXPECT_NE(parse(args).error, "") << args[0];
    }
}

TEST(ClientOptions, HelpAndVersionAnswerWithoutConnecting) {
    EXPECT_EQ(parse({"--version"}).options.action, ClientOptions::Action::Version);
    // Help wins, whichever comes first; neither needs the options a connection would.
    EXPECT_EQ(parse({"--version", "-h"}).options.action, ClientOptions::Action::Help);
    EXPECT_EQ(parse({"--help", "--version"}).options.action, ClientOptions::Action::Help);
    EXPECT_EQ(parse({"--version", "--no-play"}).error, "");
    EXPECT_EQ(clientVersionLine().rfind("quavelink-client ", 0), 0u);
    EXPECT_NE(clientUsage().find("--version"), std::string::npos);
}

}  // namespace
}  // namespace quavelink
