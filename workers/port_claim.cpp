#include "workers/port_claim.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "platform/environment.h"

namespace quavelink {
namespace {

// A holder writes its line just after taking the lock: a reader that comes in between waits
// this long for it.
constexpr auto kHolderWriteWait = std::chrono::milliseconds(500);

std::optional<PortHolder> parseHolder(const std::string& text) {
    char program[16] = {};
    long pid = 0;
    int service = 0;
    if (std::sscanf(text.c_str(), "%15s %ld %d", program, &pid, &service) != 3) return std::nullopt;
    std::string name = program;
    if (name != "window" && name != "daemon") return std::nullopt;
    return PortHolder{name == "window" ? ServerProgram::Window : ServerProgram::Daemon, pid,
                      service != 0};
}

std::string readAll(int fd) {
    std::string text;
    char buffer[64];
    ssize_t got = 0;
    off_t at = 0;
    while ((got = pread(fd, buffer, sizeof buffer, at)) > 0) {
        text.append(buffer, static_cast<std::size_t>(got));
        at += got;
    }
    return text;
}

}  // namespace

PortClaim::~PortClaim() {
    if (fd != -1) close(fd);
}

std::string PortClaim::claimPath(std::uint16_t port) {
    return runtimeFolder() + "/quavelink-port-" + std::to_string(port);
}

std::optional<PortHolder> PortClaim::claim(std::uint16_t port, ServerProgram program) {
    if (fd != -1 || port == 0) return std::nullopt;
    // Close-on-exec: a child process must not keep the claim alive after this one ends.
    int opened = open(claimPath(port).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (opened == -1) return std::nullopt;
    if (flock(opened, LOCK_EX | LOCK_NB) == 0) {
        fd = opened;
        std::string line = std::string(program == ServerProgram::Window ? "window" : "daemon") +
                           " " + std::to_string(getpid()) + " " +
                           (std::getenv("INVOCATION_ID") != nullptr ? "1" : "0") + "\n";
        if (ftruncate(fd, 0) != 0 || pwrite(fd, line.data(), line.size(), 0) < 0) {
            // The claim still holds; a reader only cannot say who holds it.
        }
        return std::nullopt;
    }
    auto deadline = std::chrono::steady_clock::now() + kHolderWriteWait;
    std::optional<PortHolder> holder;
    while (!(holder = parseHolder(readAll(opened))) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    close(opened);
    // A holder that never said who it is counts as the other program: it is one of ours.
    if (!holder)
        holder = PortHolder{
            program == ServerProgram::Window ? ServerProgram::Daemon : ServerProgram::Window, 0,
            false};
    return holder;
}

std::string windowBlockedMessage(const PortHolder& holder, std::uint16_t port) {
    const std::string where = " is already streaming on port " + std::to_string(port) + ", ";
    if (holder.program == ServerProgram::Window) {
        return "Another QuaveLink Server window" + where + "so this one cannot start.";
    }
    if (holder.service) {
        return "QuaveLink Server's background service (quavelink-serverd)" + where +
               "so the window cannot start. Stop the service with\n"
               "    systemctl --user stop quavelink-serverd\n"
               "and start QuaveLink Server again. To keep the service from starting at login:\n"
               "    systemctl --user disable quavelink-serverd";
    }
    std::string process = holder.pid > 0 ? " (process " + std::to_string(holder.pid) + ")" : "";
    return "The headless QuaveLink server quavelink-serverd" + process + where +
           "so the window cannot start. End it (Ctrl+C where it runs" +
           (holder.pid > 0 ? ", or kill " + std::to_string(holder.pid) : std::string()) +
           ") and start QuaveLink Server again.";
}

std::string daemonBlockedLine(const PortHolder& holder, std::uint16_t port) {
    if (holder.program == ServerProgram::Window) {
        return "QuaveLink Server's window is streaming on port " + std::to_string(port) +
               "; quavelink-serverd ends and is not restarted. Close the window, then start "
               "the service again (systemctl --user start quavelink-serverd).";
    }
    std::string process = holder.pid > 0 ? " (process " + std::to_string(holder.pid) + ")" : "";
    return "Another quavelink-serverd" + process + " is streaming on port " + std::to_string(port) +
           "; this one ends.";
}

}  // namespace quavelink
