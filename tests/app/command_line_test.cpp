#include "app/command_line.h"

#include <gtest/gtest.h>

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

TEST(ServerCommandLine, TextsNameTheProgram) {
    EXPECT_EQ(std::string(serverVersionLine()).rfind("quavelink-server ", 0), 0u);
    EXPECT_EQ(std::string(serverUsage()).rfind("Usage: quavelink-server", 0), 0u);
}

}  // namespace
}  // namespace quavelink
