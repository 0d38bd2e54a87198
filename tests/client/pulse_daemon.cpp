#include "pulse_daemon.h"

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "child_process.h"

namespace quavelink::test {

PulseDaemon::PulseDaemon() {
    char pattern[] = "/tmp/quavelink-pulse-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return;
    directory = pattern;
    daemon = std::make_unique<ChildProcess>(
        std::vector<std::string>{
            "/usr/bin/pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
            "--use-pid-file=no", "--disable-shm=yes",
            "--load=module-native-protocol-unix socket=" + directory + "/native auth-anonymous=1",
            "--load=module-null-sink sink_name=test rate=48000"},
        std::vector<std::string>{"PULSE_RUNTIME_PATH=" + directory + "/run",
                                 "PULSE_STATE_PATH=" + directory + "/state", "HOME=" + directory,
                                 "DBUS_SESSION_BUS_ADDRESS=disabled:"});
    auto environment = clientEnvironment();
    std::string envText;
    for (const auto& e : environment) envText += e + " ";
    for (int i = 0; i < 100 && !isReady; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (daemon->wait(std::chrono::milliseconds(0))) break;  // it ended: it will not answer
        std::string probe = "env " + envText + "pactl info >/dev/null 2>&1";
        isReady = std::system(probe.c_str()) == 0;
    }
}

PulseDaemon::~PulseDaemon() {
    if (daemon) daemon->stop();
    daemon.reset();
    std::error_code ignored;
    if (!directory.empty()) std::filesystem::remove_all(directory, ignored);
}

std::vector<std::string> PulseDaemon::clientEnvironment() const {
    return {"PULSE_SERVER=unix:" + directory + "/native", "PULSE_COOKIE=" + directory + "/cookie",
            "PULSE_SINK=test"};
}

}  // namespace quavelink::test
