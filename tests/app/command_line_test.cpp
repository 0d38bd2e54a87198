#include "app/command_line.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quavelink {
namespace {

TerminalRequest request(std::vector<const char*> args) {
    args.insert(args.begin(), "quavelink-server");
    return terminalRequest(static_cast<int>(args.size()), args.data());
}

TEST(ServerCommandLine, HelpAndVersionAreFoundAmongQtOptions) {
    EXPECT_EQ(request({}), TerminalRequest::None);
    EXPECT_EQ(request({"-platform", "offscreen"}), TerminalRequest::None);
    EXPECT_EQ(request({"-platform", "xcb", "--help"}), TerminalRequest::Help);
    EXPECT_EQ(request({"-h"}), TerminalRequest::Help);
    EXPECT_EQ(request({"--version", "-display", ":9"}), TerminalRequest::Version);
    EXPECT_EQ(request({"--version", "--help"}), TerminalRequest::Help);
    // After "--" the words are not options.
    EXPECT_EQ(request({"--", "--help"}), TerminalRequest::None);
}

std::optional<std::string> unknown(std::vector<const char*> args) {
    args.insert(args.begin(), "quavelink-server");
    return unknownArgument(static_cast<int>(args.size()), args.data());
}

TEST(ServerCommandLine, OnlyOurAndQtsOptionsAreTaken) {
    EXPECT_EQ(unknown({"-platform", "offscreen", "--display=:1", "-reverse", "--help"}),
              std::nullopt);
    // A Qt option's value is no option of its own.
    EXPECT_EQ(unknown({"-style", "--fusion"}), std::nullopt);
    EXPECT_EQ(unknown({"--", "--anything"}), std::nullopt);
    EXPECT_EQ(unknown({"-platform", "xcb", "--list"}), "--list");
    EXPECT_EQ(unknown({"somefile"}), "somefile");
}

std::optional<std::string> missing(std::vector<const char*> args,
                                   std::map<std::string, std::string> environment) {
    args.insert(args.begin(), "quavelink-server");
    return missingDisplayLine(
        static_cast<int>(args.size()), args.data(), [&](const char* name) -> const char* {
            auto found = environment.find(name);
            return found == environment.end() ? nullptr : found->second.c_str();
        });
}

TEST(ServerCommandLine, AWindowNeedsADisplayOfThePlatformQtWillUse) {
    EXPECT_EQ(missing({}, {{"DISPLAY", ":0"}}), std::nullopt);
    EXPECT_EQ(missing({}, {{"WAYLAND_DISPLAY", "wayland-0"}}), std::nullopt);
    EXPECT_EQ(missing({"-display", ":5"}, {}), std::nullopt);
    EXPECT_EQ(missing({}, {{"QT_QPA_PLATFORM", "offscreen"}}), std::nullopt);
    EXPECT_EQ(missing({}, {{"QT_QPA_PLATFORM", "wayland;xcb"}, {"DISPLAY", ":0"}}), std::nullopt);

    auto none = missing({}, {{"DISPLAY", ""}});
    ASSERT_TRUE(none);
    EXPECT_NE(none->find("quavelink-serverd"), std::string::npos) << *none;
    EXPECT_EQ(none->find('\n'), std::string::npos) << "one line";
    // A platform chosen without its display fails as Qt would, whatever else is set.
    EXPECT_TRUE(missing({"-platform", "xcb"}, {{"WAYLAND_DISPLAY", "wayland-0"}}));
    EXPECT_TRUE(missing({}, {{"QT_QPA_PLATFORM", "wayland"}, {"DISPLAY", ":0"}}));
}

TEST(ServerCommandLine, TextsNameTheProgram) {
    EXPECT_EQ(std::string(serverVersionLine()).rfind("quavelink-server ", 0), 0u);
    EXPECT_EQ(std::string(serverUsage()).rfind("Usage: quavelink-server", 0), 0u);
}

}  // namespace
}  // namespace quavelink
