// The window and the headless server of one user on one port: whichever comes second says who
// is there, and the service does not come back while the window streams.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <regex>
#include <sstream>

#include "child_process.h"
#include "temporary_folder.h"
#include "test_client.h"

namespace quavelink::test {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::Not;

// The status the installed unit will not restart the service after.
int unitRestartPreventStatus() {
    std::ifstream unit(SERVICE_UNIT);
    std::stringstream text;
    text << unit.rdbuf();
    std::smatch match;
    std::string all = text.str();
    if (!std::regex_search(all, match, std::regex(R"(\nRestartPreventExitStatus=(\d+))")))
        return -1;
    return std::stoi(match[1]);
}

class ProgramsOnOnePort : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!inPrivateNetwork()) GTEST_SKIP() << "needs scripts/in-private-network.sh";
        folder = std::make_unique<TemporaryFolder>("quavelink-one-port");
        std::string path = folder->path().string();
        environment = {"QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + path,
                       "XDG_RUNTIME_DIR=" + path,
                       "QUAVELINK_SERVER_PORT=" + std::to_string(freeUdpPort()),
                       // No sound server: the port is taken before any capture.
                       "PULSE_SERVER=unix:" + path + "/no-sound-server",
                       "QUAVELINK_SERVER_NOSILENCE=1", "QUAVELINK_SERVER_NOWARN_48K=1"};
    }

    std::unique_ptr<ChildProcess> start(const char* program, std::vector<std::string> extra = {}) {
        extra.insert(extra.end(), environment.begin(), environment.end());
        return std::make_unique<ChildProcess>(std::vector<std::string>{program}, extra);
    }

    std::unique_ptr<TemporaryFolder> folder;
    std::vector<std::string> environment;
};

TEST_F(ProgramsOnOnePort, TheWindowNamesTheServiceThereAndHowToStopIt) {
    auto service = start(SERVERD_PROGRAM, {"INVOCATION_ID=0123456789abcdef"});
    ASSERT_TRUE(service->waitForOutput("Initializing server network communication", 20s))
        << service->errors();
    auto window = start(SERVER_PROGRAM);
    std::optional<int> status = window->wait(20s);
    ASSERT_TRUE(status) << window->output();
    EXPECT_EQ(*status, 1);
    EXPECT_THAT(window->output(), HasSubstr("systemctl --user stop quavelink-serverd"));
    EXPECT_THAT(window->output(), Not(HasSubstr("try rebooting")));
    EXPECT_FALSE(service->wait(0ms)) << "the service streams on";
}

TEST_F(ProgramsOnOnePort, AServiceThatFindsTheWindowThereEndsForGood) {
    auto window = start(SERVER_PROGRAM);
    ASSERT_TRUE(window->waitForOutput("Initializing server network communication", 20s))
        << window->output();
    auto service = start(SERVERD_PROGRAM, {"INVOCATION_ID=0123456789abcdef"});
    std::optional<int> status = service->wait(20s);
    ASSERT_TRUE(status) << service->errors();
    EXPECT_EQ(*status, unitRestartPreventStatus()) << service->errors();
    EXPECT_THAT(service->errors(), HasSubstr("window is streaming on port"));
    EXPECT_FALSE(window->wait(0ms)) << "the window streams on";
}

}  // namespace
}  // namespace quavelink::test
