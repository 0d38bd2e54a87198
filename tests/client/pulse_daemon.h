#pragma once

#include <memory>
#include <string>
#include <vector>

namespace quavelink::test {

class ChildProcess;

//! A PulseAudio daemon of the test's own (no D-Bus, anonymous access on a private socket) with
//! a 48000 Hz null sink "test" as its default sink. Stopped and removed when destroyed.
class PulseDaemon {
  public:
    PulseDaemon();
    ~PulseDaemon();
    PulseDaemon(const PulseDaemon&) = delete;
    PulseDaemon& operator=(const PulseDaemon&) = delete;

    //! True once the daemon answers on its socket.
    bool ready() const { return isReady; }
    //! PULSE_SERVER=... and the other entries a client of this daemon needs.
    std::vector<std::string> clientEnvironment() const;

  private:
    std::string directory;
    std::unique_ptr<ChildProcess> daemon;
    bool isReady = false;
};

}  // namespace quavelink::test
