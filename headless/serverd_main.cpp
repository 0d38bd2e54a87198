// quavelink-serverd: the streaming server without a window, for machines without a desktop.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/channel_selection.h"
#include "capture/endpoint_list.h"
#include "headless/headless_window.h"
#include "headless/serverd_options.h"
#include "headless/stop_signals.h"
#include "platform/audio/audio_backend.h"
#include "platform/audio/pulse_audio_system.h"
#include "platform/environment.h"
#include "platform/log.h"
#include "recording/mp3/mp3_encoder.h"
#include "recording/record_file.h"
#include "server/wire_format.h"
#include "settings/settings.h"
#include "workers/port_claim.h"
#include "workers/server_workers.h"

using namespace quavelink;

namespace {

std::vector<std::string> listEndpoints(EndpointList& endpoints) {
    endpoints.findEndpoint(0);
    std::vector<std::string> names;
    for (int i = 0; i < EndpointList::kMaxListEntries; ++i) {
        auto name = endpoints.endpointName(i);
        if (!name) break;
        names.push_back(*name);
    }
    return names;
}

// Waits up to `milliseconds` (forever when negative) for a stop signal; returns the
// signal, or 0 when the time ran out. Being stopped and continued (job control, a debugger)
// interrupts the wait without being a reason to stop: a wait for ever goes on waiting, and a
// timed one returns early, which its callers, polling anyway, take as time run out.
int waitForStopSignal(const sigset_t& signals, long milliseconds) {
    timespec timeout{milliseconds / 1000, (milliseconds % 1000) * 1000000};
    for (;;) {
        int signal = sigtimedwait(&signals, nullptr, milliseconds < 0 ? nullptr : &timeout);
        if (signal > 0) return signal;
        if (milliseconds >= 0 || errno != EINTR) return 0;
    }
}

// Opens the record file at start, so that a recording that cannot be made stops the program
// before it streams, with the system's reason. Returns nothing after saying why.
std::optional<RecordFile> openRecording(const ServerdOptions& options, HeadlessWindow& window) {
    if (isMp3Path(options.recordPath) && loadLameEncoder(window) != 0) return std::nullopt;
    RecordFile file = openRecordFile(options.recordPath, 0644);
    if (file.fd < 0) {
        std::fprintf(stderr, "quavelink-serverd: Could not open file %s for writing: %s\n",
                     options.recordPath.c_str(), std::strerror(file.error));
        return std::nullopt;
    }
    if (!file.created) logLine("Replacing the existing file %s\n", options.recordPath.c_str());
    return file;
}

// Starts recording into the opened `fd` once the capture runs (the file's rate is the
// stream's). Returns 0, or the stop signal that came first.
int startRecording(const ServerdOptions& options, int fd, HeadlessWindow& window,
                   ServerWorkers& workers, const sigset_t& signals) {
    for (int waited = 0; window.captureRateText().empty(); waited += 100) {
        if (int signal = waitForStopSignal(signals, 100); signal != 0) return signal;
        if (waited == 10000) logLine("Waiting for the capture to start before recording\n");
    }
    const bool mp3 = isMp3Path(options.recordPath);
    const int rate = workers.server().streamIs48k ? 48000 : 44100;
    workers.recorder().setRecordTarget(options.recordPath, fd, rate, mp3,
                                       mp3 ? options.mp3Kbps : 0);
    logLine("Recording to %s at %d Hz\n", options.recordPath.c_str(), rate);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // A closed standard output (the reader of a pipe gone, as after `| head`) is no reason to
    // stop streaming: writes to it fail and are dropped.
    signal(SIGPIPE, SIG_IGN);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    ServerdOptions options = parseServerdOptions(argc, argv);
    if (!options.error.empty()) {
        std::fprintf(stderr, "quavelink-serverd: %s\n%s", options.error.c_str(), serverdUsage());
        return 2;
    }
    if (options.help) {
        std::fputs(serverdUsage(), stdout);
        return 0;
    }
    if (options.version) {
        std::fputs(serverdVersionLine(), stdout);
        return 0;
    }
    // Every signal that would end the program is taken by this thread alone, before any other
    // thread starts (the sound server's own included), so that each one stops it here, in
    // order, its recording finished. A listing has nothing to finish.
    const sigset_t signals = stopSignals();
    if (!options.listDevices) takeStopSignals();

    // The window may hold the port: then this program is not wanted, and the service must not
    // be started again every few seconds (the unit lists the status as final).
    PortClaim portClaim;
    const std::uint16_t port = portFromEnvironment().value_or(kDefaultServerPort);
    if (!options.listDevices) {
        if (std::optional<PortHolder> holder = portClaim.claim(port, ServerProgram::Daemon)) {
            std::fprintf(stderr, "quavelink-serverd: %s\n",
                         daemonBlockedLine(*holder, port).c_str());
            return kPortHeldExitStatus;
        }
    }

    LoadSettings();
    const SoundServerApi backend = chooseSoundServerApi();
    std::unique_ptr<audio::AudioSystem> audioSystem = audio::CreateAudioSystem(backend);
    EndpointList endpoints(*audioSystem);
    std::vector<std::string> names = listEndpoints(endpoints);
    if (options.listDevices) {
        for (std::size_t i = 0; i < names.size(); ++i)
            std::printf("%zu: %s\n", i, names[i].c_str());
        return 0;
    }
    std::string error;
    std::optional<int> index = chooseEndpoint(names, options.device, GetInputSelect(), error);
    if (!index) {
        std::fprintf(stderr, "quavelink-serverd: %s\n", error.c_str());
        return 2;
    }
    if (options.device) SetInputSelect(names[*index]);
    logLine("Sound server API: %s\n", soundServerApiName(backend));
    logLine("Capturing from %d: %s\n", *index, names[*index].c_str());

    HeadlessWindow window;
    std::optional<RecordFile> recordFile;
    if (!options.recordPath.empty()) {
        recordFile = openRecording(options, window);
        if (!recordFile) return 1;
    }
    ChannelSelection channels;
    ServerWorkers workers(endpoints, channels, window,
                          {GetWarn48kDone(), [] { SetWarn48kDone(true); }});
    window.choice.choose(*index);

    if (!workers.startServer()) {
        window.ShowMessageBox("Could not create audio thread");
        return -1;
    }
    if (!workers.startDiscovery()) {
        window.ShowMessageBox("Could not create multicast receive thread");
    }
    if (!workers.startRecorder()) window.ShowMessageBox("Could not create file record thread");

    int signal = 0;
    if (recordFile) signal = startRecording(options, recordFile->fd, window, workers, signals);
    const bool recording = recordFile && signal == 0;
    if (signal == 0) signal = waitForStopSignal(signals, -1);
    logLine("Stopping on signal %d\n", signal);
    // Finishes the recording too.
    workers.stop();
    // A recording asked for and not made whole is a failure the caller must see.
    int status = 0;
    if (recording) {
        close(recordFile->fd);
        logLine("Recording finished\n");
        if (workers.recorder().recordingFailed()) {
            std::fprintf(stderr, "quavelink-serverd: the recording %s is incomplete\n",
                         options.recordPath.c_str());
            status = 1;
        }
    } else if (recordFile) {
        // Stopped before the capture ran: nothing was recorded, and no empty file of ours stays.
        close(recordFile->fd);
        if (recordFile->created) unlink(options.recordPath.c_str());
    }
    audio::RestoreSoundServerSettings();
    std::fflush(nullptr);
    // The sound system's own threads may still run: leave without destroying what they use.
    std::_Exit(status);
}
