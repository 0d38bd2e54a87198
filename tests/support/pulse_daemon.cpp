#include "pulse_daemon.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace quavelink::test {
namespace {

std::vector<std::string> split(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// Runs `arguments` with the environment of the process; its exit status (or -1), and its
// standard output in `output` when given.
int run(std::vector<std::string> arguments, std::string* output) {
    int pipeFds[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (output) {
        if (pipe(pipeFds) != 0) return -1;
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    auto argv = pointers(arguments);
    pid_t child;
    int spawned = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (output) {
        close(pipeFds[1]);
        if (spawned == 0) {
            char buffer[4096];
            ssize_t n;
            while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) output->append(buffer, n);
        }
        close(pipeFds[0]);
    }
    if (spawned != 0) return -1;
    int status = 0;
    if (waitpid(child, &status, 0) < 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Starts `arguments` with `environment`, its output to /dev/null and its errors appended to
// `log`; the process id, or -1.
pid_t spawn(std::vector<std::string> arguments, std::vector<std::string> environment,
            const std::string& log) {
    auto argv = pointers(arguments);
    auto envp = pointers(environment);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
    pid_t child = -1;
    int spawned = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return spawned == 0 ? child : -1;
}

// Ends `process` with `signal` and waits for it; SIGKILL after 3 s.
void stop(pid_t& process, int signal) {
    if (process <= 0) return;
    ::kill(process, signal);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (waitpid(process, nullptr, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(process, SIGKILL);
            waitpid(process, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    process = -1;
}

// Whether `path` appears within 10 s while `process` runs.
bool appears(const std::string& path, pid_t process) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (std::filesystem::exists(path)) return true;
        if (waitpid(process, nullptr, WNOHANG) == process) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// The pactl load-module words that make `module` on pipewire-pulse. It has no
// module-null-source; a null sink of the source class is one, and no monitor.
std::vector<std::string> pipeWireModule(const std::string& module) {
    auto words = split(module);
    if (words.empty() || words[0] != "module-null-source") return words;
    std::vector<std::string> out = {"module-null-sink"};
    std::string properties = "media.class=Audio/Source/Virtual";
    for (std::size_t i = 1; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word.rfind("source_name=", 0) == 0) {
            out.push_back("sink_name=" + word.substr(12));
        } else if (word.rfind("description=", 0) == 0) {
            properties += " device.description=" + word.substr(12);
        } else {
            out.push_back(word);
        }
    }
    out.push_back("sink_properties='" + properties + "'");
    return out;
}

// A process that a crashed test would leave running for good ends with it instead.
std::vector<std::string> endingWithTest(std::vector<std::string> command) {
    command.insert(command.begin(), {"setpriv", "--pdeathsig", "KILL"});
    return command;
}

// WirePlumber's own start-up list without the monitors of sound cards, Bluetooth and cameras:
// the private server has only the sinks and sources its test makes.
constexpr const char* kWirePlumberMain = R"(load_module("metadata")
default_access.enable()
device_defaults.enable()
stream_defaults.enable()
load_script("intended-roles.lua")
load_script("suspend-node.lua")
)";

// PipeWire's own values outside a virtual machine, for inside one as well.
constexpr const char* kDesktopQuantum =
    "context.properties = { vm.overrides = { default.clock.min-quantum = 16 } }\n";
constexpr const char* kDesktopPulseQuantum =
    "pulse.properties = { vm.overrides = { pulse.min.quantum = 256/48000 } }\n";

}  // namespace

PulseDaemon::Kind PulseDaemon::configuredKind() {
    const char* chosen = std::getenv("QUAVELINK_TEST_SOUND_SERVER");
    return chosen && std::string(chosen) == "pipewire" ? Kind::PipeWire : Kind::PulseAudio;
}

PulseDaemon::PulseDaemon(const std::vector<std::string>& modules)
    : serverKind(configuredKind()), moduleList(modules) {
    char pattern[] = "/tmp/quavelink-pulse-XXXXXX";
    if (!mkdtemp(pattern)) return;
    directory = pattern;
    serverAddress =
        isPipeWire() ? "unix:" + directory + "/run/pulse/native" : "unix:" + directory + "/native";
    if (const char* old = std::getenv("PULSE_SERVER")) previousServer = old;
    setenv("PULSE_SERVER", serverAddress.c_str(), 1);
    // The capture asks PipeWire itself about the sinks it captures: this one, not the user's
    // (on PulseAudio, a folder where no PipeWire runs).
    if (const char* old = std::getenv("PIPEWIRE_RUNTIME_DIR")) previousRuntime = old;
    setenv("PIPEWIRE_RUNTIME_DIR", (directory + "/run").c_str(), 1);
    if (isPipeWire()) {
        std::error_code ignored;
        std::filesystem::create_directories(directory + "/run", ignored);
        std::filesystem::permissions(directory + "/run", std::filesystem::perms::owner_all,
                                     ignored);
        std::filesystem::create_directories(directory + "/config/wireplumber/main.lua.d", ignored);
        std::filesystem::create_directories(directory + "/config/wireplumber/bluetooth.lua.d",
                                            ignored);
        // A file of the same name in the user's folder replaces the system's.
        std::ofstream(directory + "/config/wireplumber/main.lua.d/90-enable-all.lua")
            << kWirePlumberMain;
        std::ofstream(directory + "/config/wireplumber/bluetooth.lua.d/90-enable-all.lua") << "\n";
        // What a desktop gets, not what PipeWire allows inside a virtual machine: there its own
        // rules raise the smallest quantum to 1024 frames and pipewire-pulse's to 1024 too.
        std::filesystem::create_directories(directory + "/config/pipewire/pipewire.conf.d",
                                            ignored);
        std::filesystem::create_directories(directory + "/config/pipewire/pipewire-pulse.conf.d",
                                            ignored);
        std::ofstream(directory + "/config/pipewire/pipewire.conf.d/90-desktop-quantum.conf")
            << kDesktopQuantum;
        std::ofstream(directory + "/config/pipewire/pipewire-pulse.conf.d/90-desktop-quantum.conf")
            << kDesktopPulseQuantum;
        if (!startSessionBus()) return;
    }
    start();
}

void PulseDaemon::start() {
    isReady = false;
    if (isPipeWire()) {
        startPipeWire();
    } else {
        startPulseAudio();
    }
}

void PulseDaemon::startPulseAudio() {
    std::vector<std::string> environment = {"PULSE_RUNTIME_PATH=" + directory + "/run",
                                            "PULSE_STATE_PATH=" + directory + "/state",
                                            "HOME=" + directory, "PATH=/usr/bin:/bin", "LANG=C"};
    std::vector<std::string> arguments = {
        "pulseaudio",
        "-n",
        "--daemonize=no",
        "--exit-idle-time=-1",
        "--use-pid-file=no",
        "--disallow-exit",
        "--log-target=stderr",
        "--log-level=error",
        "--load=module-native-protocol-unix socket=" + directory + "/native auth-anonymous=1"};
    for (const std::string& module : moduleList) arguments.push_back("--load=" + module);
    pid = spawn(arguments, environment, directory + "/daemon.log");
    if (pid > 0) isReady = waitForServer(pid);
}

std::vector<std::string> PulseDaemon::pipeWireEnvironment() const {
    return {"XDG_RUNTIME_DIR=" + directory + "/run",
            "XDG_CONFIG_HOME=" + directory + "/config",
            "XDG_STATE_HOME=" + directory + "/state",
            "HOME=" + directory,
            "DBUS_SESSION_BUS_ADDRESS=unix:path=" + directory + "/run/bus",
            "PATH=/usr/bin:/bin",
            "LANG=C"};
}

bool PulseDaemon::startSessionBus() {
    busPid = spawn(endingWithTest({"dbus-daemon", "--session", "--nofork", "--nopidfile",
                                   "--address=unix:path=" + directory + "/run/bus"}),
                   pipeWireEnvironment(), directory + "/dbus.log");
    return busPid > 0 && appears(directory + "/run/bus", busPid);
}

void PulseDaemon::startPipeWire() {
    auto environment = pipeWireEnvironment();
    pipewirePid = spawn(endingWithTest({"pipewire"}), environment, directory + "/pipewire.log");
    if (pipewirePid <= 0 || !appears(directory + "/run/pipewire-0", pipewirePid)) return;
    wireplumberPid =
        spawn(endingWithTest({"wireplumber"}), environment, directory + "/wireplumber.log");
    pid = spawn(endingWithTest({"pipewire-pulse"}), environment, directory + "/pipewire-pulse.log");
    if (wireplumberPid <= 0 || pid <= 0 || !waitForServer(pid)) return;
    for (const std::string& module : moduleList) {
        auto words = pipeWireModule(module);
        words.insert(words.begin(), {"pactl", "--server=" + serverAddress, "load-module"});
        if (run(words, nullptr) != 0) return;
    }
    // WirePlumber picks the default sink a moment after the sinks appear; until then
    // pipewire-pulse names none.
    bool hasSink = false;
    for (const std::string& module : moduleList) {
        hasSink = hasSink || module.rfind("module-null-sink", 0) == 0;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (hasSink) {
        auto name = pactlOutput("get-default-sink");
        if (name && *name != "@DEFAULT_SINK@\n" && *name != "auto_null\n") break;
        if (std::chrono::steady_clock::now() > deadline) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    isReady = true;
}

bool PulseDaemon::waitForServer(pid_t process) {
    const std::string socket = serverAddress.substr(5);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (std::filesystem::exists(socket) && pactl("info") == 0) return true;
        if (waitpid(process, nullptr, WNOHANG) == process) {
            if (process == pid) pid = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

void PulseDaemon::kill(int signal) {
    if (pid <= 0 && pipewirePid <= 0 && wireplumberPid <= 0) return;
    for (pid_t process : {pid, wireplumberPid, pipewirePid}) {
        if (process > 0) ::kill(process, signal);
    }
    for (pid_t* process : {&pid, &wireplumberPid, &pipewirePid}) {
        if (*process > 0) waitpid(*process, nullptr, 0);
        *process = -1;
    }
    isReady = false;
}

bool PulseDaemon::restart() {
    if (directory.empty()) return false;
    kill(SIGKILL);
    // A killed server leaves its sockets behind; the new one must bind the same paths.
    std::error_code ignored;
    std::filesystem::remove(serverAddress.substr(5), ignored);
    std::filesystem::remove(directory + "/run/pipewire-0", ignored);
    std::filesystem::remove(directory + "/run/pipewire-0.lock", ignored);
    std::filesystem::remove(directory + "/run/pulse/pid", ignored);
    start();
    return isReady;
}

PulseDaemon::~PulseDaemon() {
    stop(pid, SIGTERM);
    stop(wireplumberPid, SIGTERM);
    stop(pipewirePid, SIGTERM);
    stop(busPid, SIGTERM);
    if (previousServer) {
        setenv("PULSE_SERVER", previousServer->c_str(), 1);
    } else {
        unsetenv("PULSE_SERVER");
    }
    if (previousRuntime) {
        setenv("PIPEWIRE_RUNTIME_DIR", previousRuntime->c_str(), 1);
    } else {
        unsetenv("PIPEWIRE_RUNTIME_DIR");
    }
    std::error_code ignored;
    if (!directory.empty()) std::filesystem::remove_all(directory, ignored);
}

int PulseDaemon::pactl(const std::string& arguments) const {
    auto words = split(arguments);
    if (isPipeWire() && words.size() > 1 && words[0] == "load-module") {
        std::vector<std::string> module = pipeWireModule(arguments.substr(words[0].size() + 1));
        words.resize(1);
        words.insert(words.end(), module.begin(), module.end());
    }
    words.insert(words.begin(), {"pactl", "--server=" + serverAddress});
    return run(words, nullptr);
}

std::optional<std::string> PulseDaemon::pactlOutput(const std::string& arguments) const {
    auto words = split(arguments);
    words.insert(words.begin(), {"pactl", "--server=" + serverAddress});
    std::string output;
    if (run(words, &output) != 0) return std::nullopt;
    return output;
}

}  // namespace quavelink::test
