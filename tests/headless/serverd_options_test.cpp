#include "headless/serverd_options.h"

#include <gtest/gtest.h>

namespace quavelink {
namespace {

ServerdOptions parse(std::vector<const char*> args) {
    args.insert(args.begin(), "quavelink-serverd");
    return parseServerdOptions(static_cast<int>(args.size()), args.data());
}

TEST(ServerdOptions, ReadsEveryOption) {
    ServerdOptions options = parse({"-d", "2", "--record", "out.MP3", "--kbps", "0", "-l"});
    EXPECT_TRUE(options.error.empty()) << options.error;
    EXPECT_EQ(options.device, "2");
    EXPECT_EQ(options.recordPath, "out.MP3");
    EXPECT_EQ(options.mp3Kbps, 0);
    EXPECT_TRUE(options.listDevices);
    EXPECT_TRUE(isMp3Path(options.recordPath));
    EXPECT_FALSE(isMp3Path("out.wav"));
    EXPECT_FALSE(isMp3Path("mp3"));
}

TEST(ServerdOptions, RefusesWhatItCannotUse) {
    EXPECT_FALSE(parse({"--device"}).error.empty());
    EXPECT_FALSE(parse({"--kbps", "96"}).error.empty());
    EXPECT_FALSE(parse({"--kbps", "160k"}).error.empty());
    EXPECT_FALSE(parse({"--verbose"}).error.empty());
    // An empty file name is a mistake (an unset variable in a script), not "no recording".
    EXPECT_EQ(parse({"-r", ""}).error, "-r needs a file name");
    EXPECT_EQ(parse({"--record", ""}).error, "--record needs a file name");
}

TEST(ServerdOptions, HelpAndVersionAreAnsweredWithoutStarting) {
    EXPECT_TRUE(parse({"-h"}).help);
    ServerdOptions options = parse({"--version"});
    EXPECT_TRUE(options.error.empty()) << options.error;
    EXPECT_TRUE(options.version);
    EXPECT_FALSE(options.help);
    EXPECT_EQ(std::string(serverdVersionLine()).rfind("quavelink-serverd ", 0), 0u);
    EXPECT_NE(std::string(serverdUsage()).find("--version"), std::string::npos);
}

TEST(ChooseEndpoint, TakesTheOptionThenTheStoredChoiceThenTheDefault) {
    const std::vector<std::string> names{"Default multimedia device", "Null Output", "Mic 7"};
    std::string error;
    EXPECT_EQ(chooseEndpoint(names, "2", "", error), 2);
    EXPECT_EQ(chooseEndpoint(names, "Null Output", "Mic 7", error), 1);
    EXPECT_EQ(chooseEndpoint(names, std::nullopt, "Mic 7", error), 2);
    EXPECT_EQ(chooseEndpoint(names, std::nullopt, "Gone away", error), 0);
    EXPECT_TRUE(error.empty());

    EXPECT_FALSE(chooseEndpoint(names, "3", "", error));
    EXPECT_FALSE(chooseEndpoint(names, "-1", "", error));
    EXPECT_FALSE(chooseEndpoint(names, "null output", "", error));
    EXPECT_NE(error.find("null output"), std::string::npos);
}

}  // namespace
}  // namespace quavelink
