#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/playout/playout.h"

namespace quavelink {

struct ClientOptions {
    enum class Action { Connect, List, Help, Version };
    Action action = Action::Connect;

    std::string host;  //!< empty: find a server first and take the first that answers
    std::uint16_t port = 59010;
    std::uint16_t discoveryPort = 0;  //!< 0: the server port plus one
    std::vector<std::string> queryAddresses;
    int discoveryWaitMs = 1000;

    bool shared = true;
    bool reliable = true;
    int rateCode = 0;
    std::string name;  //!< empty: the host name of this machine

    //! Bounds of the adaptive playout target.
    enum class Latency { Low, Normal, Safe };
    Latency latency = Latency::Normal;
    int jitterMs = -1;  //!< a fixed network share of the playout's target, ms; -1: adaptive
    bool play = true;
    std::string device;  //!< PulseAudio sink; empty: the default
    std::string wavPath;
    double seconds = 0;  //!< stop after this much received audio; 0: run until quit
    bool reconnect = false;
    bool quiet = false;
    bool machine = false;
    bool keys = true;  //!< read keys from standard input

    std::uint16_t effectiveDiscoveryPort() const {
        return discoveryPort != 0 ? discoveryPort : static_cast<std::uint16_t>(port + 1);
    }
};

struct ParsedOptions {
    ClientOptions options;
    std::string error;  //!< empty when the command line was fine
};

//! Reads the command line (argv[0] is the program). "HOST[:PORT]" may come anywhere; a port in
//! it wins over --port.
ParsedOptions parseClientOptions(const std::vector<std::string>& arguments);

//! The playout's target as the options ask for it.
PlayoutSettings playoutSettingsFor(const ClientOptions& options);

//! "low", "normal" or "safe".
const char* latencyName(ClientOptions::Latency latency);

//! The --help text.
std::string clientUsage();

//! The --version line, "quavelink-client VERSION" and a newline.
std::string clientVersionLine();

}  // namespace quavelink
