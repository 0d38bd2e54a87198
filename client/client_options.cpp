#include "client/client_options.h"

#include <algorithm>
#include <charconv>
#include <optional>

#include "quavelink_version.h"

namespace quavelink {
namespace {

std::optional<long> parseNumber(const std::string& text, long low, long high) {
    long value = 0;
    auto [end, code] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (code != std::errc() || end != text.data() + text.size() || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

std::optional<double> parseSeconds(const std::string& text) {
    double value = 0;
    auto [end, code] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (code != std::errc() || end != text.data() + text.size() || !(value >= 0)) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

ParsedOptions parseClientOptions(const std::vector<std::string>& arguments) {
    ParsedOptions result;
    ClientOptions& o = result.options;
    std::optional<std::uint16_t> hostPort;
    auto fail = [&](const std::string& message) {
        result.error = message;
        return result;
    };

    for (std::size_t i = 1; i < arguments.size(); ++i) {
        std::string arg = arguments[i];
        std::string value;
        bool hasInlineValue = false;
        if (arg.rfind("--", 0) == 0) {
            std::size_t equals = arg.find('=');
            if (equals != std::string::npos) {
                value = arg.substr(equals + 1);
                arg = arg.substr(0, equals);
                hasInlineValue = true;
            }
        }
        auto takeValue = [&]() -> std::optional<std::string> {
            if (hasInlineValue) return value;
            if (i + 1 >= arguments.size()) return std::nullopt;
            return arguments[++i];
        };
        auto needValue = [&](std::string& out) {
            auto v = takeValue();
            if (!v) return false;
            out = *v;
            return true;
        };
        auto flagOnly = [&] { return !hasInlineValue; };
        std::string text;

        if (arg == "-h" || arg == "--help") {
            o.action = ClientOptions::Action::Help;
        } else if (arg == "--version") {
            if (o.action != ClientOptions::Action::Help) o.action = ClientOptions::Action::Version;
        } else if (arg == "-l" || arg == "--list") {
            if (!flagOnly()) return fail(arg + " takes no value");
            o.action = ClientOptions::Action::List;
        } else if (arg == "-p" || arg == "--port") {
            if (!needValue(text)) return fail(arg + " needs a port");
            auto n = parseNumber(text, 1, 65535);
            if (!n) return fail("bad port: " + text);
            o.port = static_cast<std::uint16_t>(*n);
        } else if (arg == "--discovery-port") {
            if (!needValue(text)) return fail(arg + " needs a port");
            auto n = parseNumber(text, 1, 65535);
            if (!n) return fail("bad port: " + text);
            o.discoveryPort = static_cast<std::uint16_t>(*n);
        } else if (arg == "-Q" || arg == "--query") {
            if (!needValue(text) || text.empty()) return fail(arg + " needs an address");
            o.queryAddresses.push_back(text);
        } else if (arg == "--wait-ms") {
            if (!needValue(text)) return fail(arg + " needs milliseconds");
            auto n = parseNumber(text, 100, 60000);
            if (!n) return fail("bad discovery wait (100 to 60000 ms): " + text);
            o.discoveryWaitMs = static_cast<int>(*n);
        } else if (arg == "--not-shared") {
            o.shared = false;
        } else if (arg == "-r" || arg == "--reliable") {
            o.reliable = true;
        } else if (arg == "-b" || arg == "--best-effort") {
            o.reliable = false;
        } else if (arg == "-c" || arg == "--rate-code") {
            if (!needValue(text)) return fail(arg + " needs a rate code");
            auto n = parseNumber(text, 0, 3);
            if (!n) return fail("bad rate code (0 to 3): " + text);
            o.rateCode = static_cast<int>(*n);
        } else if (arg == "-n" || arg == "--name") {
            if (!needValue(o.name)) return fail(arg + " needs a name");
        } else if (arg == "-j" || arg == "--jitter-ms") {
            if (!needValue(text)) return fail(arg + " needs milliseconds");
            auto n = parseNumber(text, 0, 2000);
            if (!n) return fail("bad playout target (0 to 2000 ms): " + text);
            o.jitterMs = static_cast<int>(*n);
        } else if (arg == "--latency") {
            if (!needValue(text)) return fail(arg + " needs low, normal or safe");
            if (text == "low") {
                o.latency = ClientOptions::Latency::Low;
            } else if (text == "normal") {
                o.latency = ClientOptions::Latency::Normal;
            } else if (text == "safe") {
                o.latency = ClientOptions::Latency::Safe;
            } else {
                return fail("bad latency (low, normal or safe): " + text);
            }
        } else if (arg == "-d" || arg == "--device") {
            if (!needValue(o.device)) return fail(arg + " needs a sink name");
        } else if (arg == "-w" || arg == "--wav") {
            if (!needValue(o.wavPath) || o.wavPath.empty()) return fail(arg + " needs a file");
        } else if (arg == "--no-play") {
            o.play = false;
        } else if (arg == "-t" || arg == "--seconds") {
            if (!needValue(text)) return fail(arg + " needs seconds");
            auto s = parseSeconds(text);
            if (!s) return fail("bad seconds: " + text);
            o.seconds = *s;
        } else if (arg == "--reconnect") {
            o.reconnect = true;
        } else if (arg == "-q" || arg == "--quiet") {
            o.quiet = true;
        } else if (arg == "-m" || arg == "--machine") {
            o.machine = true;
            o.quiet = true;
        } else if (arg == "--no-keys") {
            o.keys = false;
        } else if (!arg.empty() && arg[0] == '-') {
            return fail("unknown option: " + arg);
        } else {
            if (!o.host.empty()) return fail("more than one server given: " + arg);
            std::size_t colon = arg.rfind(':');
            if (colon != std::string::npos) {
                auto n = parseNumber(arg.substr(colon + 1), 1, 65535);
                if (!n) return fail("bad port in " + arg);
                hostPort = static_cast<std::uint16_t>(*n);
                arg = arg.substr(0, colon);
            }
            if (arg.empty()) return fail("no host in " + arguments[i]);
            o.host = arg;
        }
    }
    if (hostPort) o.port = *hostPort;
    if (!o.play && o.wavPath.empty() && o.action == ClientOptions::Action::Connect &&
        o.seconds == 0 && !o.machine) {
        return fail("--no-play without --wav, --seconds or --machine would do nothing");
    }
    return result;
}

PlayoutSettings playoutSettingsFor(const ClientOptions& options) {
    PlayoutSettings settings;
    if (options.jitterMs >= 0) {
        settings.adaptive = false;
        settings.fixedTargetMs = options.jitterMs;
        return settings;
    }
    switch (options.latency) {
        case ClientOptions::Latency::Low:
            settings.bounds = {2, 40, 0.5};
            break;
        case ClientOptions::Latency::Normal:
            settings.bounds = {3, 120, 2};
            break;
        case ClientOptions::Latency::Safe:
            settings.bounds = {15, 400, 4};
            break;
    }
    return settings;
}

const char* latencyName(ClientOptions::Latency latency) {
    switch (latency) {
        case ClientOptions::Latency::Low:
            return "low";
        case ClientOptions::Latency::Safe:
            return "safe";
        default:
            return "normal";
    }
}

std::string clientUsage() {
    return R"(Usage: quavelink-client [options] [HOST[:PORT]]
Plays the sound a QuaveLink server streams. Without HOST it looks for servers on the local
network and connects to the first that answers.

Finding servers:
  -l, --list              list the servers that answer, then exit
  -Q, --query ADDR        also ask ADDR directly (networks without multicast); repeatable
      --discovery-port N  port of the discovery query (default: server port + 1, 59011)
      --wait-ms N         how long to collect answers (default 1000)
Connection:
  -p, --port N            server port (default 59010)
  -r, --reliable          reliable delivery (default)
  -b, --best-effort       best-effort delivery: lost blocks are concealed, never waited for
  -c, --rate-code N       0 uncompressed PCM (default), 1/2/3 Opus at 64/128/256 kbit/s
  -n, --name TEXT         name shown by the server (default: this machine's host name)
      --not-shared        let the next client that connects replace this one
      --reconnect         connect again after a time-out or a lost server (not after being
                          replaced by another client: press c for that)
Output:
      --latency LEVEL     bounds of the latency from arrival to the ear (the playout queue
                          and what the sound server holds, one budget), which adapts to what
                          the network and this machine need: low (2 to 40 ms, for a quiet
                          wired link), normal (3 to 120 ms, the default) or safe (15 to 400
                          ms, for a busy wireless link). After a gap or a late burst the margin
                          that covers it is kept for three minutes, then given back slowly
  -j, --jitter-ms N       a fixed target instead: N ms for the network on top of what the
                          sound server needs. Either way the latency is held by playing up to
                          0.2 % slower or 0.15 % faster, not by cutting or inserting audio
                          (only a stale backlog is cut: 50 ms past the target, or the target
                          again if more, after a stall, or what piled up behind a gap), and
                          follows a server whose clock runs apart from the sound card's. Every
                          gap, cut and resume fades out and in over 1.5 ms
  -d, --device SINK       sink to play on, by its name (pactl list short sinks; default: the
                          default sink). Where PipeWire is the sound server the client plays
                          through PipeWire's own API (QUAVELINK_AUDIO_BACKEND=pulseaudio: through
                          libpulse), and while the sink is away the default sink plays until it
                          is back
  -w, --wav FILE          also write what is received (with concealment) to a WAV file
      --no-play           do not play (with --wav, or for testing)
  -t, --seconds N         stop after N seconds of received audio
  -q, --quiet             no status line; only errors
  -m, --machine           quiet, and lines for programs on standard output:
                          "status key=value ..." every second, "event KIND key=value ...
                          text=TEXT" on each change, "summary key=value ..." at the end
      --no-keys           ignore standard input
  -h, --help              this text
      --version           the version

Keys while running (standard input): r reliable, b best-effort, 0-3 rate code,
c connect again, q quit.

Exit status: 0 quit or done, 1 bad command line, 2 no server or connection lost,
3 replaced by another client.
)";
}

std::string clientVersionLine() { return "quavelink-client " QUAVELINK_VERSION_TEXT "\n"; }

}  // namespace quavelink
