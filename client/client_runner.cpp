#include "client/client_runner.h"

#include <pthread.h>
#include <signal.h>

#include <utility>

#include "client/network/stream_receiver.h"
#include "client/playout/player.h"
#include "client/playout/playout.h"

namespace quavelink {

ClientRunner::ClientRunner(ClientOptions options, ClientRunnerParts parts)
    : options(std::move(options)), parts(std::move(parts)) {}

ClientRunner::~ClientRunner() = default;

int ClientRunner::run() {
    switch (options.action) {
        case ClientOptions::Action::Help:
            std::fputs(clientUsage().c_str(), parts.out);
            return kClientExitOk;
        case ClientOptions::Action::Version:
            std::fputs(clientVersionLine().c_str(), parts.out);
            return kClientExitOk;
        case ClientOptions::Action::List:
            return listServers();
        case ClientOptions::Action::Connect:
            break;
    }
    if (options.host.empty() && !findHost()) return kClientExitNoServer;
    if (options.name.empty()) options.name = parts.hostName();
    return stream();
}

int ClientRunner::listServers() {
    std::vector<FoundServer> found;
    std::string failure;
    if (!parts.findServers(options, found, failure)) {
        error(failure);
        return kClientExitNoServer;
    }
    for (const FoundServer& server : found) {
        if (options.machine) {
            std::fprintf(parts.out, "server address=%s port=%u\n", server.address.c_str(),
                         options.port);
        } else {
            std::fprintf(parts.out, "QuaveLinkResponse from %s (server port %u)\n",
                         server.address.c_str(), options.port);
        }
    }
    std::fflush(parts.out);
    if (found.empty()) {
        error("no server answered");
        return kClientExitNoServer;
    }
    return kClientExitOk;
}

bool ClientRunner::findHost() {
    std::vector<FoundServer> found;
    std::string failure;
    if (!parts.findServers(options, found, failure) || found.empty()) {
        error(failure.empty() ? "no server answered; give its address" : failure);
        return false;
    }
    options.host = found.front().address;
    event("found", "address=" + options.host, "Found a server at " + options.host);
    return true;
}

int ClientRunner::stream() {
    lines = std::make_unique<LineWriter>(parts.out, parts.err);
    if (!options.wavPath.empty()) {
        // From the recorder's thread: the line goes out in turn, without touching the status.
        std::string clear = parts.statusOnTerminal && !options.quiet ? "\r\x1b[K" : "";
        wav =
            std::make_unique<WavRecorder>(options.wavPath, [this, clear](const std::string& text) {
                lines->write(parts.err, clear + "quavelink-client: " + text + "\n");
            });
    }
    playout = std::make_unique<Playout>(playoutSettingsFor(options));
    receiver = std::make_unique<StreamReceiver>(
        [this](const std::int16_t* samples, std::size_t frames, int rate) {
            takeAudio(samples, frames, rate);
        },
        [this](const std::string& text) { event("notice", "", text); });
    player = std::make_unique<Player>(*playout, parts.makeOutput(options));
    if (options.play) {
        // Quit signals belong to the main loop; the playback thread and the sound server's own
        // thread, which inherit this mask, never see them.
        sigset_t quitSignals, previous;
        sigemptyset(&quitSignals);
        sigaddset(&quitSignals, SIGINT);
        sigaddset(&quitSignals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &quitSignals, &previous);
        player->start();
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }

    link = parts.makeLink(*receiver);
    choice = StreamChoice{options.reliable, options.rateCode};
    keys = parts.makeKeys(options.keys);
    nextStatus = parts.nowMs();
    nextMachineStatus = parts.nowMs() + kMachineStatusIntervalMs;

    // This loop takes the blocks off the network into the playout queue; late, it lets the
    // queue run dry as surely as a late playback thread would.
    parts.raisePriority();
    while (!parts.quit->load() && !quitByKey) {
        connectIfDue();
        if (exitCode != kClientExitOk) break;
        if (!followSession(link->state())) break;
        handleKeys();
        // Stdin closed while waiting for a key: nobody can press one any more.
        if (waitingForKey && !keys->open()) {
            exitCode = link->endReason() == ClientSession::EndReason::Replaced
                           ? kClientExitReplaced
                           : kClientExitNoServer;
            break;
        }
        showStatus();
        if (options.seconds > 0 && secondsReceived >= options.seconds) break;
    }

    if (link->state() != ClientSession::State::Ended) link->close();
    player->stop();
    if (wav) wav->finish();
    clearStatus();
    lines->finish();
    printSummary();
    return exitCode;
}

void ClientRunner::connectIfDue() {
    if (!connecting || parts.nowMs() < reconnectAt) return;
    connecting = false;
    std::string failure;
    std::string server = options.host + ":" + std::to_string(options.port);
    event("connecting", "server=" + server, "Connecting to " + server);
    if (link->connect(options.host, options.port, options.shared, options.name, choice, failure)) {
        return;
    }
    error(failure);
    if (!options.reconnect) {
        exitCode = kClientExitNoServer;
        return;
    }
    connecting = true;
    reconnectAt = parts.nowMs() + kReconnectPauseMs;
}

bool ClientRunner::followSession(ClientSession::State before) {
    link->service(5);
    const ClientSession::State now = link->state();
    if (before != ClientSession::State::Connected && now == ClientSession::State::Connected) {
        event("connected",
              "server=" + link->serverText() + " mode=" + modeName(choice.reliable) +
                  " rate=" + std::to_string(choice.rateCode),
              "Connected to " + link->serverText() + ", asking for " + modeName(choice.reliable) +
                  " delivery at rate code " + std::to_string(choice.rateCode));
    }
    if (before == ClientSession::State::Ended || now != ClientSession::State::Ended) return true;

    static const char* const reasons[] = {"none",     "replaced", "closed", "timeout",
                                          "noanswer", "local",    "failed"};
    auto reason = link->endReason();
    event("disconnected",
          std::string("server=") + link->serverText() +
              " reason=" + reasons[static_cast<int>(reason)] +
              " value=" + std::to_string(link->disconnectValue().value_or(0)),
          link->describeEnd());
    playout->clear();
    if (reason == ClientSession::EndReason::Replaced) {
        waitForKeyOrEnd(kClientExitReplaced);
    } else if (options.reconnect) {
        connecting = true;
        reconnectAt = parts.nowMs() + kReconnectPauseMs;
    } else {
        waitForKeyOrEnd(kClientExitNoServer);
    }
    return exitCode == kClientExitOk;
}

void ClientRunner::waitForKeyOrEnd(int endCode) {
    if (keys->open()) {
        waitingForKey = true;
        event("waiting", "", "Press c to connect again, q to quit");
    } else {
        exitCode = endCode;
    }
}

void ClientRunner::handleKeys() {
    for (char key : keys->take()) {
        StreamChoice next = choice;
        switch (key) {
            case 'q':
            case 'Q':
                quitByKey = true;
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
                if (link->state() == ClientSession::State::Ended) {
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
            link->setChoice(choice);
            event("mode",
                  std::string("mode=") + modeName(choice.reliable) +
                      " rate=" + std::to_string(choice.rateCode),
                  std::string("Asking for ") + modeName(choice.reliable) +
                      " delivery at rate code " + std::to_string(choice.rateCode));
        }
    }
}

void ClientRunner::showStatus() {
    std::int64_t now = parts.nowMs();
    if (now >= nextStatus) {
        kbps = rateMeter.sample(receiver->stats().messageBytes, now);
        if (!options.quiet && parts.statusOnTerminal) {
            writeLine(parts.err, "\r" + formatStatusLine(figures()) + "\x1b[K");
            statusShown = true;
        }
        nextStatus = now + kStatusIntervalMs;
    }
    if (now >= nextMachineStatus) {
        if (options.machine) writeLine(parts.out, formatMachineStatus(figures()) + "\n");
        nextMachineStatus = now + kMachineStatusIntervalMs;
    }
}

StatusFigures ClientRunner::figures() {
    StatusFigures f;
    f.server = link->serverText();
    switch (link->state()) {
        case ClientSession::State::Connecting:
            f.state = "connecting";
            break;
        case ClientSession::State::Connected:
            f.state = receiver->stats().received > 0 ? "streaming" : "waiting";
            break;
        default:
            f.state = "disconnected";
    }
    const auto& stats = receiver->stats();
    auto counters = playout->figures();
    f.reliable = link->choice().reliable;
    f.rateCode = link->choice().rateCode;
    f.sampleRate = stats.sampleRate;
    f.streamRateCode = stats.rateCode;
    f.streamReliable = stats.reliable;
    f.kilobitsPerSecond = kbps;
    f.received = stats.received;
    f.lost = stats.lost;
    f.underruns = counters.underruns;
    f.outputUnderruns = counters.outputUnderruns;
    f.outputMs = counters.outputMs;
    f.deviceMs = player->deviceLatencyMs();
    f.outputRealtime = realtimeName(player->outputRealtime());
    f.concealed = stats.concealedBlocks;
    f.bufferMs = static_cast<int>(counters.levelMs + 0.5);
    f.targetMs = static_cast<int>(counters.targetMs + 0.5);
    f.jitterMs = counters.jitterMs;
    f.pullJitterMs = counters.pullJitterMs;
    f.ratePpm = counters.correctionPpm;
    int blockMs = stats.rateCode > 0 ? 10 : 7;
    bool playing = options.play && f.state == "streaming" && counters.playing;
    f.latencyMs = playing ? estimateLatencyMs(blockMs, link->roundTripMs(), counters.levelMs,
                                              stats.rateCode > 0)
                          : -1;
    return f;
}

void ClientRunner::takeAudio(const std::int16_t* samples, std::size_t frames, int rate) {
    secondsReceived += static_cast<double>(frames) / rate;
    if (options.play) {
        playout->push(samples, frames, rate, Player::steadyMicroseconds());
        player->audioArrived();
    }
    if (wav) wav->push(samples, frames, rate);
}

void ClientRunner::printSummary() {
    const auto& stats = receiver->stats();
    auto counters = playout->figures();
    if (options.machine) {
        std::fprintf(parts.out,
                     "summary received=%llu lost=%llu stale=%llu invalid=%llu restarts=%llu "
                     "concealed_frames=%llu frames=%llu underruns=%llu output_underruns=%llu "
                     "dropped_frames=%llu output_realtime=%s seconds=%.3f exit=%d\n",
                     static_cast<unsigned long long>(stats.received),
                     static_cast<unsigned long long>(stats.lost),
                     static_cast<unsigned long long>(stats.stale),
                     static_cast<unsigned long long>(stats.invalid),
                     static_cast<unsigned long long>(stats.restarts),
                     static_cast<unsigned long long>(stats.concealedFrames),
                     static_cast<unsigned long long>(stats.frames),
                     static_cast<unsigned long long>(counters.underruns),
                     static_cast<unsigned long long>(counters.outputUnderruns),
                     static_cast<unsigned long long>(counters.droppedFrames),
                     realtimeName(player->outputRealtime()), secondsReceived, exitCode);
        std::fflush(parts.out);
    } else if (!options.quiet) {
        std::fprintf(
            parts.err, "Received %llu blocks, lost %llu, %llu playback underruns\n",
            static_cast<unsigned long long>(stats.received),
            static_cast<unsigned long long>(stats.lost),
            static_cast<unsigned long long>(counters.underruns + counters.outputUnderruns));
    }
}

void ClientRunner::event(const std::string& kind, const std::string& fields,
                         const std::string& text) {
    if (options.machine) {
        // The text comes last, as it alone may hold blanks.
        writeLine(parts.out,
                  "event " + kind + (fields.empty() ? "" : " ") + fields + " text=" + text + "\n");
    }
    if (!options.quiet) {
        clearStatus();
        writeLine(parts.err, text + "\n");
    }
}

void ClientRunner::error(const std::string& text) {
    clearStatus();
    writeLine(parts.err, "quavelink-client: " + text + "\n");
}

void ClientRunner::clearStatus() {
    if (!statusShown) return;
    writeLine(parts.err, "\r\x1b[K");
    statusShown = false;
}

void ClientRunner::writeLine(std::FILE* stream, std::string text) {
    if (lines) {
        lines->write(stream, std::move(text));
    } else {
        std::fputs(text.c_str(), stream);
        std::fflush(stream);
    }
}

}  // namespace quavelink
