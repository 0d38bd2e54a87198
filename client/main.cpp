#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "client/client_options.h"
#include "client/client_session.h"
#include "client/discovery_query.h"
#include "client/player.h"
#include "client/playout.h"
#include "client/realtime_priority.h"
#include "client/status_line.h"
#include "client/stream_receiver.h"
#include "client/wav_file.h"

using namespace quavelink;

namespace {

std::atomic<bool> quitRequested{false};

void onQuitSignal(int) { quitRequested = true; }

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitNoServer = 2;
constexpr int kExitReplaced = 3;
constexpr int kStatusIntervalMs = 500;
constexpr int kMachineStatusIntervalMs = 1000;
constexpr int kReconnectPauseMs = 1000;

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Keys arrive one at a time without Enter on a terminal; a pipe works as well. The terminal's
// settings come back however the program ends (normally or by a signal).
class KeyReader {
  public:
    explicit KeyReader(bool enabled) : active(enabled) {
        if (!active) return;
        if (isatty(STDIN_FILENO)) {
            // In the background a read (or a change of the terminal's settings) would stop the
            // process; keys belong to the foreground only.
            if (tcgetpgrp(STDIN_FILENO) != getpgrp()) {
                active = false;
                return;
            }
        }
        if (isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0) {
            termios raw = saved;
            raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
            raw.c_cc[VMIN] = 0;
            raw.c_cc[VTIME] = 0;
            if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0) terminal = true;
        }
    }
    ~KeyReader() {
        if (terminal) tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    }
    KeyReader(const KeyReader&) = delete;
    KeyReader& operator=(const KeyReader&) = delete;

    //! The keys typed since the last call; never blocks.
    std::string take() {
        std::string keys;
        while (active) {
            pollfd in{STDIN_FILENO, POLLIN, 0};
            if (poll(&in, 1, 0) <= 0) break;
            if ((in.revents & (POLLIN | POLLHUP)) == 0) {
                active = false;
                break;
            }
            char buffer[64];
            ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
            if (n <= 0) {
                if (n < 0 && errno == EINTR) continue;
                active = false;  // end of input: no more keys will come
                break;
            }
            keys.append(buffer, static_cast<std::size_t>(n));
        }
        return keys;
    }
    bool open() const { return active; }

  private:
    bool active;
    bool terminal = false;
    termios saved{};
};

class Output {
  public:
    explicit Output(const ClientOptions& options)
        : machine(options.machine),
          quiet(options.quiet),
          statusOnTerminal(!options.quiet && isatty(STDERR_FILENO)) {}

    //! A line for people (standard error) or an event line for programs (standard output).
    void event(const std::string& kind, const std::string& fields, const std::string& text) {
        if (machine) {
            // The text comes last, as it alone may hold blanks.
            std::printf("event %s%s%s text=%s\n", kind.c_str(), fields.empty() ? "" : " ",
                        fields.c_str(), text.c_str());
            std::fflush(stdout);
        }
        if (!quiet) {
            clearStatus();
            std::fprintf(stderr, "%s\n", text.c_str());
        }
    }
    void error(const std::string& text) {
        clearStatus();
        std::fprintf(stderr, "quavelink-client: %s\n", text.c_str());
    }
    void status(const StatusFigures& figures) {
        if (statusOnTerminal) {
            std::fprintf(stderr, "\r%s\x1b[K", formatStatusLine(figures).c_str());
            statusShown = true;
        }
    }
    void machineStatus(const StatusFigures& figures) {
        if (!machine) return;
        std::printf("%s\n", formatMachineStatus(figures).c_str());
        std::fflush(stdout);
    }
    void clearStatus() {
        if (!statusShown) return;
        std::fprintf(stderr, "\r\x1b[K");
        statusShown = false;
    }

  private:
    bool machine;
    bool quiet;
    bool statusOnTerminal;
    bool statusShown = false;
};

std::string hostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "quavelink-client";
    return name;
}

std::string wavPathForRate(const std::string& path, int rate, int fileIndex) {
    if (fileIndex == 0) return path;
    // A WAV file holds one rate; after the server's rate changes the audio goes on in a new file.
    std::size_t dot = path.rfind('.');
    std::size_t slash = path.rfind('/');
    std::string suffix = "-" + std::to_string(fileIndex + 1) + "-" + std::to_string(rate);
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return path + suffix;
    }
    return path.substr(0, dot) + suffix + path.substr(dot);
}

int listServers(const ClientOptions& options, Output& out) {
    std::vector<FoundServer> found;
    std::string error;
    if (!findServers(options.effectiveDiscoveryPort(), options.queryAddresses,
                     options.discoveryWaitMs, found, error)) {
        out.error(error);
        return kExitNoServer;
    }
    for (const FoundServer& server : found) {
        if (options.machine) {
            std::printf("server address=%s port=%u\n", server.address.c_str(), options.port);
        } else {
            std::printf("QuaveLinkResponse from %s (server port %u)\n", server.address.c_str(),
                        options.port);
        }
    }
    std::fflush(stdout);
    if (found.empty()) {
        out.error("no server answered");
        return kExitNoServer;
    }
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    ParsedOptions parsed = parseClientOptions(std::vector<std::string>(argv, argv + argc));
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "quavelink-client: %s (see --help)\n", parsed.error.c_str());
        return kExitUsage;
    }
    ClientOptions options = parsed.options;
    if (options.action == ClientOptions::Action::Help) {
        std::fputs(clientUsage().c_str(), stdout);
        return kExitOk;
    }
    if (options.action == ClientOptions::Action::Version) {
        std::fputs(clientVersionLine().c_str(), stdout);
        return kExitOk;
    }

    struct sigaction quit {};
    quit.sa_handler = onQuitSignal;
    sigaction(SIGINT, &quit, nullptr);
    sigaction(SIGTERM, &quit, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Output out(options);
    if (options.action == ClientOptions::Action::List) return listServers(options, out);

    if (options.host.empty()) {
        std::vector<FoundServer> found;
        std::string error;
        if (!findServers(options.effectiveDiscoveryPort(), options.queryAddresses,
                         options.discoveryWaitMs, found, error) ||
            found.empty()) {
            out.error(error.empty() ? "no server answered; give its address" : error);
            return kExitNoServer;
        }
        options.host = found.front().address;
        out.event("found", "address=" + options.host, "Found a server at " + options.host);
    }
    if (options.name.empty()) options.name = hostName();

    Playout playout(playoutSettingsFor(options));
    WavFile wav;
    int wavFiles = 0;
    bool wavFailed = false;
    double secondsReceived = 0;

    auto takeAudio = [&](const std::int16_t* samples, std::size_t frames, int rate) {
        secondsReceived += static_cast<double>(frames) / rate;
        if (options.play) playout.push(samples, frames, rate, Player::steadyMicroseconds());
        if (options.wavPath.empty() || wavFailed) return;
        std::string error;
        if (!wav.isOpen() || wav.sampleRate() != rate) {
            wav.close();
            if (!wav.open(wavPathForRate(options.wavPath, rate, wavFiles), rate, error)) {
                out.error(error);
                wavFailed = true;
                return;
            }
            ++wavFiles;
        }
        if (!wav.write(samples, frames, error)) {
            out.error(error);
            wavFailed = true;
        }
    };
    StreamReceiver receiver(takeAudio,
                            [&](const std::string& text) { out.event("notice", "", text); });

    Player player(playout, createPulseOutput(options.device, "quavelink-client"),
                  outputBufferMsFor(options));
    if (options.play) {
        // Quit signals belong to the main loop; the playback thread and the sound server's own
        // thread, which inherit this mask, never see them.
        sigset_t quitSignals, previous;
        sigemptyset(&quitSignals);
        sigaddset(&quitSignals, SIGINT);
        sigaddset(&quitSignals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &quitSignals, &previous);
        player.start();
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }

    ClientSession session(receiver);
    StreamChoice choice{options.reliable, options.rateCode};
    KeyReader keys(options.keys);
    RateMeter rateMeter;
    double kbps = 0;
    int exitCode = kExitOk;
    bool connecting = true;
    bool waitingForKey = false;
    std::int64_t reconnectAt = 0;
    std::int64_t nextStatus = nowMs();
    std::int64_t nextMachineStatus = nowMs() + kMachineStatusIntervalMs;

    auto figures = [&] {
        StatusFigures f;
        f.server = session.serverText();
        switch (session.state()) {
            case ClientSession::State::Connecting:
                f.state = "connecting";
                break;
            case ClientSession::State::Connected:
                f.state = receiver.stats().received > 0 ? "streaming" : "waiting";
                break;
            default:
                f.state = "disconnected";
        }
        const auto& stats = receiver.stats();
        auto counters = playout.figures();
        f.reliable = session.choice().reliable;
        f.rateCode = session.choice().rateCode;
        f.sampleRate = stats.sampleRate;
        f.streamRateCode = stats.rateCode;
        f.streamReliable = stats.reliable;
        f.kilobitsPerSecond = kbps;
        f.received = stats.received;
        f.lost = stats.lost;
        f.underruns = counters.underruns;
        f.concealed = stats.concealedBlocks;
        f.bufferMs = static_cast<int>(counters.levelMs + 0.5);
        f.targetMs = static_cast<int>(counters.targetMs + 0.5);
        f.jitterMs = counters.jitterMs;
        f.pullJitterMs = counters.pullJitterMs;
        f.ratePpm = counters.correctionPpm;
        int blockMs = stats.rateCode > 0 ? 10 : 7;
        bool playing = options.play && f.state == "streaming";
        f.latencyMs = playing ? estimateLatencyMs(blockMs, session.roundTripMs(), f.bufferMs,
                                                  player.outputLatencyMs(), stats.rateCode > 0)
                              : -1;
        return f;
    };

    // This loop takes the blocks off the network into the playout queue; late, it lets the
    // queue run dry as surely as a late playback thread would.
    raiseToRealtime();
    while (!quitRequested.load()) {
        if (connecting && nowMs() >= reconnectAt) {
            connecting = false;
            std::string error;
            std::string server = options.host + ":" + std::to_string(options.port);
            out.event("connecting", "server=" + server, "Connecting to " + server);
            if (!session.connect(options.host, options.port, options.shared, options.name, choice,
                                 error)) {
                out.error(error);
                if (!options.reconnect) {
                    exitCode = kExitNoServer;
                    break;
                }
                connecting = true;
                reconnectAt = nowMs() + kReconnectPauseMs;
            }
        }

        auto before = session.state();
        session.service(5);
        if (before != ClientSession::State::Connected &&
            session.state() == ClientSession::State::Connected) {
            out.event("connected",
                      "server=" + session.serverText() + " mode=" + modeName(choice.reliable) +
                          " rate=" + std::to_string(choice.rateCode),
                      "Connected to " + session.serverText() + ", asking for " +
                          modeName(choice.reliable) + " delivery at rate code " +
                          std::to_string(choice.rateCode));
        }
        if (before != ClientSession::State::Ended &&
            session.state() == ClientSession::State::Ended) {
            static const char* const reasons[] = {"none",     "replaced", "closed", "timeout",
                                                  "noanswer", "local",    "failed"};
            auto reason = session.endReason();
            out.event("disconnected",
                      std::string("server=") + session.serverText() +
                          " reason=" + reasons[static_cast<int>(reason)] +
                          " value=" + std::to_string(session.disconnectValue().value_or(0)),
                      session.describeEnd());
            playout.clear();
            if (reason == ClientSession::EndReason::Replaced) {
                if (keys.open()) {
                    waitingForKey = true;
                    out.event("waiting", "", "Press c to connect again, q to quit");
                } else {
                    exitCode = kExitReplaced;
                    break;
                }
            } else if (options.reconnect) {
                connecting = true;
                reconnectAt = nowMs() + kReconnectPauseMs;
            } else if (keys.open()) {
                waitingForKey = true;
                out.event("waiting", "", "Press c to connect again, q to quit");
            } else {
                exitCode = kExitNoServer;
                break;
            }
        }

        for (char key : keys.take()) {
            StreamChoice next = choice;
            switch (key) {
                case 'q':
                case 'Q':
                    quitRequested = true;
                    break;
                case 'r':
                    next.reliable = true;
                    break;
                case 'b':
                    next.reliable = false;
                    break;
                case '0':
                case '1':
                case '2':
                case '3':
                    next.rateCode = key - '0';
                    break;
                case 'c':
                    if (session.state() == ClientSession::State::Ended) {
                        waitingForKey = false;
                        connecting = true;
                        reconnectAt = 0;
                    }
                    break;
                default:
                    break;
            }
            if (next.reliable != choice.reliable || next.rateCode != choice.rateCode) {
                choice = next;
                session.setChoice(choice);
                out.event("mode",
                          std::string("mode=") + modeName(choice.reliable) +
                              " rate=" + std::to_string(choice.rateCode),
                          std::string("Asking for ") + modeName(choice.reliable) +
                              " delivery at rate code " + std::to_string(choice.rateCode));
            }
        }
        // Stdin closed while waiting for a key: nobody can press one any more.
        if (waitingForKey && !keys.open()) {
            exitCode = session.endReason() == ClientSession::EndReason::Replaced ? kExitReplaced
                                                                                 : kExitNoServer;
            break;
        }

        std::int64_t now = nowMs();
        if (now >= nextStatus) {
            kbps = rateMeter.sample(receiver.stats().messageBytes, now);
            out.status(figures());
            nextStatus = now + kStatusIntervalMs;
        }
        if (now >= nextMachineStatus) {
            out.machineStatus(figures());
            nextMachineStatus = now + kMachineStatusIntervalMs;
        }
        if (options.seconds > 0 && secondsReceived >= options.seconds) break;
    }

    if (session.state() != ClientSession::State::Ended) session.close();
    player.stop();
    wav.close();
    out.clearStatus();
    const auto& stats = receiver.stats();
    auto counters = playout.figures();
    if (options.machine) {
        std::printf(
            "summary received=%llu lost=%llu stale=%llu invalid=%llu restarts=%llu "
            "concealed_frames=%llu frames=%llu underruns=%llu dropped_frames=%llu "
            "seconds=%.3f exit=%d\n",
            static_cast<unsigned long long>(stats.received),
            static_cast<unsigned long long>(stats.lost),
            static_cast<unsigned long long>(stats.stale),
            static_cast<unsigned long long>(stats.invalid),
            static_cast<unsigned long long>(stats.restarts),
            static_cast<unsigned long long>(stats.concealedFrames),
            static_cast<unsigned long long>(stats.frames),
            static_cast<unsigned long long>(counters.underruns),
            static_cast<unsigned long long>(counters.droppedFrames), secondsReceived, exitCode);
        std::fflush(stdout);
    } else if (!options.quiet) {
        std::fprintf(stderr, "Received %llu blocks, lost %llu, %llu playback underruns\n",
                     static_cast<unsigned long long>(stats.received),
                     static_cast<unsigned long long>(stats.lost),
                     static_cast<unsigned long long>(counters.underruns));
    }
    return exitCode;
}
