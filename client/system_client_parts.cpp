#include "client/system_client_parts.h"

#include <unistd.h>

#include <chrono>

#include "client/terminal_keys.h"
#include "platform/pipewire/sound_server_api.h"
#include "platform/realtime/realtime_scheduling.h"

namespace quavelink {
namespace {

// ClientSession as the runner's connection.
class SessionLink : public ServerLink {
  public:
    explicit SessionLink(StreamReceiver& receiver) : session(receiver) {}
    bool connect(const std::string& host, std::uint16_t port, bool shared, const std::string& name,
                 const StreamChoice& choice, std::string& error) override {
        return session.connect(host, port, shared, name, choice, error);
    }
    void service(int timeoutMs) override { session.service(timeoutMs); }
    void setChoice(const StreamChoice& choice) override { session.setChoice(choice); }
    const StreamChoice& choice() const override { return session.choice(); }
    void close() override { session.close(); }
    ClientSession::State state() const override { return session.state(); }
    ClientSession::EndReason endReason() const override { return session.endReason(); }
    std::optional<std::uint32_t> disconnectValue() const override {
        return session.disconnectValue();
    }
    const std::string& serverText() const override { return session.serverText(); }
    int roundTripMs() const override { return session.roundTripMs(); }
    std::string describeEnd() const override { return session.describeEnd(); }

  private:
    ClientSession session;
};

std::string hostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "quavelink-client";
    return name;
}

}  // namespace

ClientRunnerParts systemClientParts(const std::atomic<bool>& quit) {
    ClientRunnerParts parts;
    parts.nowMs = [] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    };
    parts.makeLink = [](StreamReceiver& receiver) {
        return std::make_unique<SessionLink>(receiver);
    };
    parts.findServers = [](const ClientOptions& options, std::vector<FoundServer>& found,
                           std::string& error) {
        return findServers(options.effectiveDiscoveryPort(), options.queryAddresses,
                           options.discoveryWaitMs, found, error);
    };
    parts.makeOutput = [](const ClientOptions& options) {
        static const SoundServerApi api = chooseSoundServerApi();
        return api == SoundServerApi::PipeWire
                   ? createPipeWireOutput(options.device, "quavelink-client")
                   : createPulseOutput(options.device, "quavelink-client");
    };
    parts.makeKeys = [](bool enabled) { return std::make_unique<TerminalKeys>(enabled); };
    parts.hostName = hostName;
    parts.raisePriority = [] { realtime::makeRealtime(realtime::currentThreadId()); };
    parts.quit = &quit;
    parts.out = stdout;
    parts.err = stderr;
    parts.statusOnTerminal = isatty(STDERR_FILENO);
    return parts;
}

}  // namespace quavelink
