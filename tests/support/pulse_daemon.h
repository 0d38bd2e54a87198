#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace quavelink::test {

//! A private PulseAudio daemon for one test: started in a fresh temporary folder with the
//! given modules (for example "module-null-sink sink_name=test rate=48000"), reachable through
//! PULSE_SERVER, which it exports for the whole process while it lives; killed, and the folder
//! removed, when it goes. Needs the pulseaudio and pactl programs; runs as root or not, without
//! D-Bus.
class PulseDaemon {
  public:
    explicit PulseDaemon(const std::vector<std::string>& modules);
    ~PulseDaemon();
    PulseDaemon(const PulseDaemon&) = delete;
    PulseDaemon& operator=(const PulseDaemon&) = delete;

    //! Whether the daemon answers (it had 10 s to come up).
    bool ready() const { return isReady; }
    //! The PULSE_SERVER value, "unix:<dir>/native".
    const std::string& server() const { return serverAddress; }

    //! Ends the daemon with `signal` (SIGKILL: as a crash would) and waits for it; the folder
    //! and PULSE_SERVER stay, so that `restart` brings it back at the same address.
    void kill(int signal);
    //! Starts the daemon again in the same folder with the same modules, on the same socket;
    //! whether it answers within 10 s.
    bool restart();
    //! Whether the daemon process still runs.
    bool running() const { return pid > 0; }

    //! Runs pactl with `arguments` (split at blanks) against this daemon; its exit status.
    int pactl(const std::string& arguments) const;
    //! Same, returning its standard output (nothing when it failed).
    std::optional<std::string> pactlOutput(const std::string& arguments) const;

  private:
    void start();

    std::vector<std::string> moduleList;
    std::string directory;
    std::string serverAddress;
    std::optional<std::string> previousServer;
    pid_t pid = -1;
    bool isReady = false;
};

}  // namespace quavelink::test
