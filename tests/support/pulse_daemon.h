#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace quavelink::test {

//! A private sound server that speaks the PulseAudio protocol, for one test: started in a fresh
//! temporary folder with the given modules (for example "module-null-sink sink_name=test
//! rate=48000"), reachable through PULSE_SERVER (and PIPEWIRE_RUNTIME_DIR), which it exports
//! for the whole process while it lives; killed, and the folder removed, when it goes. Runs as root
//! or not, without systemd.
//!
//! QUAVELINK_TEST_SOUND_SERVER picks the server: `pulseaudio` (the default: one pulseaudio
//! daemon, no D-Bus) or `pipewire` (pipewire, wireplumber and pipewire-pulse on a private D-Bus
//! session bus, without the ALSA, Bluetooth and camera monitors). pipewire-pulse has no
//! module-null-source: such a module becomes a null sink of the source class, which is a source
//! that is no monitor as well.
class PulseDaemon {
  public:
    enum class Kind { PulseAudio, PipeWire };
    //! The server QUAVELINK_TEST_SOUND_SERVER names (PulseAudio when unset).
    static Kind configuredKind();

    explicit PulseDaemon(const std::vector<std::string>& modules);
    ~PulseDaemon();
    PulseDaemon(const PulseDaemon&) = delete;
    PulseDaemon& operator=(const PulseDaemon&) = delete;

    Kind kind() const { return serverKind; }
    bool isPipeWire() const { return serverKind == Kind::PipeWire; }

    //! Whether the server answers with every module loaded (it had 10 s to come up).
    bool ready() const { return isReady; }
    //! The PULSE_SERVER value, "unix:<dir>/native" (PipeWire: "unix:<dir>/run/pulse/native").
    const std::string& server() const { return serverAddress; }

    //! Ends the server with `signal` (SIGKILL: as a crash would) and waits for it; the folder
    //! and PULSE_SERVER stay, so that `restart` brings it back at the same address. On PipeWire
    //! all three processes end (as a restart of the user's PipeWire services does); the session
    //! bus stays.
    void kill(int signal);
    //! Starts the server again in the same folder with the same modules, on the same socket;
    //! whether it answers within 10 s.
    bool restart();
    //! Whether the server process (PipeWire: pipewire-pulse) still runs.
    bool running() const { return pid > 0; }

    //! Runs pactl with `arguments` (split at blanks) against this server; its exit status. On
    //! PipeWire a module-null-source is loaded as at start.
    int pactl(const std::string& arguments) const;
    //! Same, returning its standard output (nothing when it failed).
    std::optional<std::string> pactlOutput(const std::string& arguments) const;

  private:
    void start();
    void startPulseAudio();
    void startPipeWire();
    bool startSessionBus();
    bool waitForServer(pid_t process);
    std::vector<std::string> pipeWireEnvironment() const;

    Kind serverKind;
    std::vector<std::string> moduleList;
    std::string directory;
    std::string serverAddress;
    std::optional<std::string> previousServer;
    std::optional<std::string> previousRuntime;
    pid_t pid = -1;  // pulseaudio, or pipewire-pulse
    pid_t pipewirePid = -1;
    pid_t wireplumberPid = -1;
    pid_t busPid = -1;
    bool isReady = false;
};

}  // namespace quavelink::test
