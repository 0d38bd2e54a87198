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

}  // namespace

PulseDaemon::PulseDaemon(const std::vector<std::string>& modules) : moduleList(modules) {
    char pattern[] = "/tmp/quavelink-pulse-XXXXXX";
    if (!mkdtemp(pattern)) return;
    directory = pattern;
    serverAddress = "unix:" + directory + "/native";
    if (const char* old = std::getenv("PULSE_SERVER")) previousServer = old;
    setenv("PULSE_SERVER", serverAddress.c_str(), 1);
    start();
}

void PulseDaemon::start() {
    isReady = false;
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
    auto argv = pointers(arguments);
    auto envp = pointers(environment);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    std::string log = directory + "/daemon.log";
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
    int spawned = posix_spawnp(&pid, "pulseaudio", &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        pid = -1;
        return;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (std::filesystem::exists(directory + "/native") && pactl("info") == 0) {
            isReady = true;
            break;
        }
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            pid = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void PulseDaemon::kill(int signal) {
    if (pid <= 0) return;
    ::kill(pid, signal);
    waitpid(pid, nullptr, 0);
    pid = -1;
    isReady = false;
}

bool PulseDaemon::restart() {
    if (directory.empty()) return false;
    kill(SIGKILL);
    // A killed daemon leaves its socket behind; the new one must bind the same path.
    std::error_code ignored;
    std::filesystem::remove(directory + "/native", ignored);
    start();
    return isReady;
}

PulseDaemon::~PulseDaemon() {
    if (pid > 0) {
        ::kill(pid, SIGTERM);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (waitpid(pid, nullptr, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    if (previousServer) {
        setenv("PULSE_SERVER", previousServer->c_str(), 1);
    } else {
        unsetenv("PULSE_SERVER");
    }
    std::error_code ignored;
    if (!directory.empty()) std::filesystem::remove_all(directory, ignored);
}

int PulseDaemon::pactl(const std::string& arguments) const {
    auto words = split(arguments);
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
