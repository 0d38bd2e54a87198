// quavelink-server on a Wayland desktop: Qt's Wayland platform under a headless weston, with a
// session bus that has no shortcuts portal and no notification area. The hot keys say once that
// they are off, and a second start brings the window up without a box that waits for OK.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <thread>

#include "child_process.h"
#include "pulse_daemon.h"
#include "support/temporary_folder.h"
#include "test_client.h"

namespace quavelink::test {
namespace {

using namespace std::chrono_literals;

constexpr char kSocket[] = "wayland-quavelink";

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

class WaylandDesktop : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!inPrivateNetwork()) GTEST_SKIP() << "needs scripts/in-private-network.sh";
        ASSERT_TRUE(sound.ready());
        runtime = folder.path() / "run";
        std::filesystem::create_directories(runtime);
        ::chmod(runtime.c_str(), 0700);
        compositor = std::make_unique<ChildProcess>(
            std::vector<std::string>{"/usr/bin/weston", "--backend=headless-backend.so",
                                     std::string("--socket=") + kSocket, "--use-pixman",
                                     "--width=800", "--height=600", "--idle-time=0"},
            std::vector<std::string>{"XDG_RUNTIME_DIR=" + runtime.string()});
        for (int i = 0; i < 200 && !std::filesystem::exists(runtime / kSocket); ++i) {
            std::this_thread::sleep_for(50ms);
        }
        ASSERT_TRUE(std::filesystem::exists(runtime / kSocket)) << compositor->errors();
        port = freeUdpPort();
    }

    std::unique_ptr<ChildProcess> startWindow() {
        const std::string path = folder.path().string();
        return std::make_unique<ChildProcess>(
            std::vector<std::string>{SERVER_PROGRAM},
            std::vector<std::string>{
                "QT_QPA_PLATFORM=wayland", std::string("WAYLAND_DISPLAY=") + kSocket,
                "DISPLAY=", "XDG_RUNTIME_DIR=" + runtime.string(), "XDG_CONFIG_HOME=" + path,
                // A session bus where nobody offers the shortcuts portal.
                "DBUS_SESSION_BUS_ADDRESS=unix:path=" + path + "/no-session-bus",
                "QUAVELINK_SERVER_PORT=" + std::to_string(port), "PULSE_SERVER=" + sound.server(),
                "QUAVELINK_SERVER_NOWARN_48K=1", "QUAVELINK_SERVER_NOSILENCE=1"});
    }

    TemporaryFolder folder{"quavelink-wayland"};
    PulseDaemon sound{{"module-null-sink sink_name=speakers rate=48000"}};
    std::filesystem::path runtime;
    std::unique_ptr<ChildProcess> compositor;
    std::uint16_t port = 0;
};

TEST_F(WaylandDesktop, TheWindowRunsSaysOnceThatItsHotKeysAreOffAndASecondStartRaisesIt) {
    auto window = startWindow();
    ASSERT_TRUE(window->waitForOutput("Initializing server network communication", 20s))
        << window->output() << window->errors();
    EXPECT_EQ(occurrences(window->output(),
                          "Global hotkeys: this Wayland desktop offers no "
                          "shortcuts portal"),
              1u)
        << window->output();

    auto second = startWindow();
    std::optional<int> status = second->wait(15s);
    ASSERT_TRUE(status) << "the second start waits, for a box no one closes?\n" << second->output();
    EXPECT_EQ(*status, 1);
    EXPECT_NE(second->output().find("its window was brought to the front"), std::string::npos)
        << second->output();
    EXPECT_TRUE(window->waitForOutput("A second start asked for the window", 5s));
    EXPECT_FALSE(window->wait(0ms)) << window->errors();
}

}  // namespace
}  // namespace quavelink::test
