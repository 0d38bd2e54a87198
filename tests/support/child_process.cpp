#include "child_process.h"

#include <fcntl.h>
#include <net/if.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace quavelink::test {
namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string temporaryPath(const char* kind) {
    static int made = 0;
    return (std::filesystem::temp_directory_path() /
            ("quavelink-child-" + std::to_string(getpid()) + "-" + std::to_string(++made) + "." +
             kind))
        .string();
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& arguments,
                           const std::vector<std::string>& extraEnvironment, bool pipeInput,
                           bool closedOutput)
    : outPath(temporaryPath("out")), errPath(temporaryPath("err")) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
    environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
    std::vector<char*> argv, envp;
    for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const auto& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    int pipeFds[2] = {-1, -1};
    if (pipeInput && pipe(pipeFds) != 0) return;
    int outFd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (closedOutput) {
        int outputPipe[2];
        if (pipe2(outputPipe, O_CLOEXEC) == 0) {
            close(outputPipe[0]);
            close(outFd);
            outFd = outputPipe[1];
        }
    }
    int errFd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    pid = fork();
    if (pid == 0) {
        int inFd = pipeInput ? pipeFds[0] : open("/dev/null", O_RDONLY);
        dup2(inFd, STDIN_FILENO);
        dup2(outFd, STDOUT_FILENO);
        dup2(errFd, STDERR_FILENO);
        if (pipeInput) close(pipeFds[1]);
        // An ignored signal stays ignored across exec: the program gets the defaults it would
        // have when started from a shell.
        signal(SIGPIPE, SIG_DFL);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(outFd);
    close(errFd);
    if (pipeInput) {
        close(pipeFds[0]);
        inputFd = pipeFds[1];
    }
}

ChildProcess::~ChildProcess() {
    if (inputFd >= 0) close(inputFd);
    if (pid > 0 && !exitStatus) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    std::error_code ignored;
    std::filesystem::remove(outPath, ignored);
    std::filesystem::remove(errPath, ignored);
}

void ChildProcess::send(const std::string& text) {
    if (inputFd >= 0) (void)!write(inputFd, text.data(), text.size());
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!exitStatus && pid > 0) {
        int status = 0;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return exitStatus;
}

std::optional<int> ChildProcess::stop() {
    if (pid > 0 && !exitStatus) kill(pid, SIGTERM);
    return wait(std::chrono::seconds(10));
}

void ChildProcess::sendSignal(int signal) {
    if (pid > 0 && !exitStatus) kill(pid, signal);
}

bool ChildProcess::pause() {
    if (pid <= 0 || exitStatus) return false;
    kill(pid, SIGSTOP);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        pid_t changed = waitpid(pid, &status, WUNTRACED | WNOHANG);
        if (changed == pid && WIFSTOPPED(status)) return true;
        if (changed == pid) {
            exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

void ChildProcess::resume() { sendSignal(SIGCONT); }

bool ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (output().find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::string ChildProcess::output() const { return readFile(outPath); }
std::string ChildProcess::errors() const { return readFile(errPath); }

bool inPrivateNetwork() {
    // Asks the kernel about this process's own namespace (sysfs may still show the host's).
    struct if_nameindex* names = if_nameindex();
    if (names == nullptr) return false;
    bool onlyLoopback = true;
    for (struct if_nameindex* n = names; n->if_index != 0; ++n) {
        if (std::string(n->if_name) != "lo") onlyLoopback = false;
    }
    if_freenameindex(names);
    return onlyLoopback;
}

std::optional<std::string> fieldOf(const std::string& text, const std::string& linePrefix,
                                   const std::string& key) {
    std::optional<std::string> found;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind(linePrefix, 0) != 0) continue;
        std::istringstream words(line);
        std::string word;
        while (words >> word) {
            if (word.rfind(key + "=", 0) == 0) found = word.substr(key.size() + 1);
        }
    }
    return found;
}

}  // namespace quavelink::test
