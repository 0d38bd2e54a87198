#include "app/program.h"

#include <sys/resource.h>

#include <QApplication>
#include <QSystemTrayIcon>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>

#include "app/instance_lock.h"
#include "app/instance_raise.h"
#include "app/log_console.h"
#include "app/main_window.h"
#include "app/message_boxes.h"
#include "app/version_check_host.h"
#include "capture/channel_selection.h"
#include "capture/endpoint_list.h"
#include "platform/audio/audio_backend.h"
#include "platform/audio/pulse_audio_system.h"
#include "platform/environment.h"
#include "platform/hand_off.h"
#include "platform/log.h"
#include "platform/mixer/pulse_mixer_system.h"
#include "recording/mp3/mp3_encoder.h"
#include "server/wire_format.h"
#include "settings/settings.h"
#include "workers/port_claim.h"
#include "workers/server_workers.h"

namespace quavelink {
namespace {

// Nice value of the raised process priority; lowering it needs CAP_SYS_NICE or an rlimit.
constexpr int kRaisedNice = -10;

// The real workers. They live until the process exits: their threads run to the end, and
// nothing is ever stopped or joined.
class ProgramWorkers : public WindowWorkers, public RecordControl {
  public:
    ProgramWorkers(EndpointList& endpoints, ChannelSelection& channels)
        : endpoints(endpoints), channels(channels) {}

    bool startServer(ServerWindow& window) override {
        workers = new ServerWorkers(endpoints, channels, window,
                                    {GetWarn48kDone(), [] { SetWarn48kDone(true); }});
        return workers->startServer();
    }
    bool startDiscovery() override { return workers->startDiscovery(); }
    bool startRecord() override { return workers->startRecorder(); }
    void stopRecordTarget() override { workers->recorder().setRecordTarget("", -1, 0, false, 0); }

    bool streamIs48k() const override {
        return workers == nullptr || workers->server().streamIs48k.load();
    }
    int loadMp3Encoder(MessageBoxHost& boxes) override { return loadLameEncoder(boxes); }
    void setRecordTarget(const std::string& path, int fd, int sampleRate, bool mp3,
                         int kbps) override {
        workers->recorder().setRecordTarget(path, fd, sampleRate, mp3, kbps);
    }

  private:
    EndpointList& endpoints;
    ChannelSelection& channels;
    ServerWorkers* workers = nullptr;
};

void endProcess(int status) {
    audio::RestoreSoundServerSettings();
    std::fflush(nullptr);
    std::_Exit(status);
}

}  // namespace

const char* modalResultMessage(int result) {
    switch (result) {
        case 3:
            return "Error from dialog window";
        case -1:
            return "Dialog window could not be created";
        default:
            return nullptr;
    }
}

int runServerProgram(int argc, char** argv) {
    // Message boxes need the application object, so it comes before everything else.
    auto* app = new QApplication(argc, argv);
    auto* boxes =
        new GuiMessageBoxHost(GuiMessageBoxHost::modeForPlatform(QGuiApplication::platformName()));

    auto* instanceLock = new InstanceLock;
    if (!instanceLock->acquire()) {
        // The running copy's window may be hidden in a tray that is gone, or minimised where
        // nothing lists it: it comes forward, and there is nothing left to tell.
        if (askRunningInstanceToRaise(qEnvironmentVariable("XDG_ACTIVATION_TOKEN").toStdString())) {
            logLine("QuaveLink Server is already running: its window was brought to the front\n");
        } else {
            logLine("The running copy did not answer\n");
            boxes->ShowMessageBox(QSystemTrayIcon::isSystemTrayAvailable()
                                      ? "QuaveLink Server is already running (check system tray?)"
                                      : "QuaveLink Server is already running, but its window did "
                                        "not come to the front.");
        }
        // Nothing was started yet, so this copy can end cleanly.
        delete instanceLock;
        delete boxes;
        delete app;
        return 1;
    }

    // Our own headless server on the port is no busy port to reboot away: say who is there.
    auto* portClaim = new PortClaim;
    const std::uint16_t port = portFromEnvironment().value_or(kDefaultServerPort);
    if (std::optional<PortHolder> holder = portClaim->claim(port, ServerProgram::Window)) {
        boxes->ShowMessageBox(windowBlockedMessage(*holder, port));
        delete portClaim;
        delete instanceLock;
        delete boxes;
        delete app;
        return 1;
    }

    LogConsole* console = nullptr;
    if (environmentSwitchOn("QUAVELINK_SERVER_CONSOLE")) {
        console = new LogConsole;
        console->start();
    } else {
        // Without the console the log usually goes to a file or a journal, where the C
        // library's block buffering would hold back the last lines of a killed program.
        lineBufferStandardOutput();
    }

    // Threads inherit the nice value of their creator, so every worker started from here on
    // runs at the raised priority.
    if (setpriority(PRIO_PROCESS, 0, kRaisedNice) != 0) {
        logLine("Warning, could not set process priority class\n");
    }

    const SoundServerApi backend = chooseSoundServerApi();
    logLine("Sound server API: %s\n", soundServerApiName(backend));
    std::unique_ptr<audio::AudioSystem> audioSystem = audio::CreateAudioSystem(backend);
    auto* endpoints = new EndpointList(*audioSystem.release());
    auto* channels = new ChannelSelection;
    auto* workers = new ProgramWorkers(*endpoints, *channels);

    // Mixer changes reach the window as queued work on the GUI thread.
    MixerSystem* mixers =
        CreatePulseMixerSystem([app](std::function<void()> work) {
            QMetaObject::invokeMethod(app, HandOff(std::move(work)), Qt::QueuedConnection);
        }).release();

    MainWindowSetup setup;
    setup.endpoints = endpoints;
    setup.mixers = mixers;
    setup.channels = channels;
    setup.boxes = boxes;
    setup.workers = workers;
    setup.console = console;
    setup.exitProcess = endProcess;
    setup.recording = workers;
    setup.versionHost = new AppVersionCheckHost(boxes->currentMode());

    int result = -1;
    // The window is never destroyed: worker threads keep calling it until the process ends.
    CQuaveLinkServerDlg* window = new (std::nothrow) CQuaveLinkServerDlg(setup);
    if (window != nullptr) {
        auto* raiseListener = new InstanceRaiseListener([window](const std::string& token) {
            logLine("A second start asked for the window\n");
            window->BringToFront(token);
            return window->isVisible() && !window->isMinimized();
        });
        raiseListener->listen();
        result = window->DoModal();
    }
    if (const char* message = modalResultMessage(result)) boxes->ShowMessageBox(message);
    if (window != nullptr) window->hide();
    (void)app;
    endProcess(0);
    return 0;
}

}  // namespace quavelink
