#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quavelink {

//! Which of this user's two server programs serves on a port.
enum class ServerProgram { Window, Daemon };

//! The program that holds a port, as its claim describes it.
struct PortHolder {
    ServerProgram program = ServerProgram::Window;
    long pid = 0;
    //! Runs as the systemd user service (systemd gave it an invocation id).
    bool service = false;
};

//! The exit status of quavelink-serverd when another of this user's servers holds its port. The
//! systemd unit lists it in RestartPreventExitStatus=, so the service is not started again and
//! again while the window streams.
constexpr int kPortHeldExitStatus = 75;

//! The mark that one of this user's server programs serves on a port, so that the other one
//! can say who is there instead of failing on a busy port: an exclusive lock on a file per port
//! in $XDG_RUNTIME_DIR (or /tmp), holding "window|daemon PID 0|1". The system drops the lock when
//! the process ends, however it ends. Main thread.
class PortClaim {
  public:
    PortClaim() = default;
    ~PortClaim();
    PortClaim(const PortClaim&) = delete;
    PortClaim& operator=(const PortClaim&) = delete;

    //! Claims `port` for this process as `program`. Nothing when it is claimed now (or cannot be
    //! claimed at all: port 0, no runtime folder; the network host then finds out); the holder
    //! when another process of this user holds it.
    std::optional<PortHolder> claim(std::uint16_t port, ServerProgram program);

    //! The claim file of `port`, as claim would use it now.
    static std::string claimPath(std::uint16_t port);

  private:
    int fd = -1;
};

//! What the window says, instead of a busy port, when `holder` (the daemon) serves on `port`.
std::string windowBlockedMessage(const PortHolder& holder, std::uint16_t port);

//! The line quavelink-serverd prints before it exits with kPortHeldExitStatus.
std::string daemonBlockedLine(const PortHolder& holder, std::uint16_t port);

}  // namespace quavelink
