#include "discovery/socket_error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/log.h"

namespace quavelink {
namespace {

class SocketErrorLine : public testing::Test {
  protected:
    void SetUp() override {
        setLogObserver([this](const std::string& line) { lines.push_back(line); });
    }
    void TearDown() override { setLogObserver(nullptr); }
    std::vector<std::string> lines;
};

TEST_F(SocketErrorLine, ShowsTheErrorNumberInHexInBothFields) {
    reportSocketError("multiHost: Bind failed", EADDRINUSE);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "multiHost: Bind failed, errno = 0x62, GetLastError() = 0x62\n");
}

TEST_F(SocketErrorLine, TakesTheCurrentErrnoWhenNoneIsGiven) {
    errno = ENODEV;
    reportSocketError("multiHost: Socket multicast group add failed");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0],
              "multiHost: Socket multicast group add failed, errno = 0x13, "
              "GetLastError() = 0x13\n");
}

}  // namespace
}  // namespace quavelink
