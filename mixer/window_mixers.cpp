#include "mixer/window_mixers.h"

#include <strings.h>

#include <QComboBox>
#include <QLabel>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <cstring>

#include "platform/log.h"

namespace quavelink {
namespace {

constexpr std::uint32_t kSourceTextBytes = 100;

// What the output controls change, told where the user acts: on PipeWire the capture takes the
// sink's monitor before its volume, PulseAudio has no such monitor.
constexpr char kOutputVolumeTip[] =
    "The PC's output volume (Alt+O louder, Alt+K softer). On PipeWire clients do not hear it; "
    "on PulseAudio they do, on most USB, Bluetooth and virtual outputs.";
constexpr char kOutputMuteTip[] =
    "Mutes the PC's output (Alt+M). On PipeWire clients go on hearing the stream; on "
    "PulseAudio they hear the mute too, on most USB, Bluetooth and virtual outputs.";

// Moves every control of `group` by `dx` pixels.
void moveGroup(CControlGroup* group, int dx) {
    std::vector<QWidget*> moved;
    auto move = [&](QWidget* widget) {
        if (widget == nullptr || std::find(moved.begin(), moved.end(), widget) != moved.end()) {
            return;
        }
        widget->move(widget->x() + dx, widget->y());
        moved.push_back(widget);
    };
    for (const GroupItem& item : group->Items()) {
        move(item.window);
        move(group->Label(item.slot));
    }
}

void disableGroup(CControlGroup* group) {
    if (group == nullptr) return;
    for (const GroupItem& item : group->Items()) {
        if (item.window != nullptr) item.window->setEnabled(false);
        if (QLabel* label = group->Label(item.slot)) label->setEnabled(false);
    }
}

}  // namespace

WindowMixers::WindowMixers(MixerSystem* system, MessageBoxHost* boxes, QWidget& window,
                           const ControlTemplates& templates, QComboBox& inputSelect,
                           QComboBox& inputSource)
    : system(system),
      boxes(boxes),
      window(window),
      templates(templates),
      inputSelect(inputSelect),
      inputSource(inputSource) {
    deviceMixerMap.fill(-1);
    sourceConnection = QObject::connect(&inputSource, &QComboBox::activated, &inputSource,
                                        [this] { SelectInputSource(); });
    if (system != nullptr) {
        system->mixerWatchDevices(this);
        serverCheck = new QTimer(&window);
        serverCheck->setInterval(kServerCheckMs);
        QObject::connect(serverCheck, &QTimer::timeout, serverCheck, [this] { CheckServer(); });
        serverCheck->start();
    }
}

WindowMixers::~WindowMixers() {
    if (system != nullptr) system->mixerWatchDevices(nullptr);
    delete serverCheck;
    QObject::disconnect(sourceConnection);
    // The groups' controls go before the mixers they are bound to.
    output.reset();
    input.reset();
}

CMixer* WindowMixers::mixer(int index) const {
    return index >= 0 && index < static_cast<int>(mixers.size()) ? mixers[index].get() : nullptr;
}

void WindowMixers::OpenMixers() {
    if (system == nullptr) return;
    mixerDeviceCount = system->mixerGetNumDevs();
    if (mixerDeviceCount == 0) return;
    // The groups' controls are bound to the mixers they replace.
    output.reset();
    input.reset();
    mixers.clear();
    outputMixerCount = 0;
    inputMixerCount = 0;
    for (std::uint32_t i = 0; i <= mixerDeviceCount; ++i) {
        mixers.push_back(std::make_unique<CMixer>(*system, boxes));
    }
    if (mixers[0]->Open(0, this, false) == 0) outputMixerCount = 1;
    for (std::uint32_t k = 0; k < mixerDeviceCount; ++k) {
        if (mixers[k + 1]->Open(k, this, true) != 0) break;
        ++inputMixerCount;
    }
}

void WindowMixers::SetLateOpenHandler(std::function<void()> opened) {
    lateOpenHandler = std::move(opened);
}

void WindowMixers::OnMixerDevicesChanged() {
    if (outputMixerCount > 0 || inputMixerCount > 0) return;
    OpenMixers();
    if (outputMixerCount == 0 && inputMixerCount == 0) return;
    logLine("Mixer controls opened now that the sound server runs\n");
    if (lateOpenHandler) lateOpenHandler();
}

void WindowMixers::MapEndpoint(int listIndex, const std::string& endpointName,
                               bool renderEndpoint) {
    if (listIndex < 0 || listIndex + 1 >= kMapEntries) return;
    int& entry = deviceMixerMap[listIndex + 1];
    entry = -1;
    if (renderEndpoint) return;
    for (int j = 1; j <= inputMixerCount; ++j) {
        MIXERCAPSA caps{};
        if (mixers[j]->GetCaps(&caps) < 0) continue;
        std::size_t length = std::min(endpointName.size(), std::strlen(caps.szPname));
        if (strncasecmp(endpointName.c_str(), caps.szPname, length) == 0) entry = j;
    }
}

int WindowMixers::MixerIndexFor(int selectionIndex) const {
    int entry = selectionIndex + 1;
    if (entry < 0 || entry >= kMapEntries) return -1;
    return deviceMixerMap[entry];
}

void WindowMixers::CheckServer() {
    bool running = system == nullptr || system->mixerServerRunning();
    if (running == serverRunning) return;
    serverRunning = running;
    if (running) {
        OnInputDeviceChanged(inputSelect.currentIndex());
        return;
    }
    logLine("Mixer controls disabled while the sound server is gone\n");
    disableGroup(output.get());
    disableGroup(input.get());
}

void WindowMixers::OnInputDeviceChanged(int selectedInputIndex) {
    int mixerIndex = MixerIndexFor(selectedInputIndex);
    RebuildControlGroups(mixerIndex);
    CMixer* inputMixer = mixer(mixerIndex);
    if (inputMixer == nullptr) return;
    int d = inputMixer->GetDestination();
    inputSource.clear();
    int sources = std::max(inputMixer->GetSourceCount(d), 0);
    for (int k = 0; k < sources; ++k) {
        MIXERLINEA line{};
        if (inputMixer->GetSourceLine(d, k, &line) < 0) continue;
        inputSource.addItem(QString::fromLocal8Bit(line.szName));
    }
    ShowCurrentInputSource(mixerIndex, d);
}

void WindowMixers::RebuildControlGroups(int mixerIndex) {
    output.reset();
    input.reset();
    if (mixers.empty()) return;
    auto route = [this](int controlId) { OnControlChanged(controlId); };
    output = std::make_unique<CControlGroup>(templates, route);
    int next = output->Create(mixers[0].get(), mixers[0]->GetDestination(), &window, 0, kGroupStep,
                              0, kFirstControlId, false);
    CMixerSliderCtrl* volume = nullptr;
    CMixerCheckBoxMute* mute = nullptr;
    output->FindSlotControls(0, &volume, nullptr, &mute);
    if (volume != nullptr) volume->setToolTip(QString::fromLatin1(kOutputVolumeTip));
    if (mute != nullptr) mute->setToolTip(QString::fromLatin1(kOutputMuteTip));
    if (CMixer* inputMixer = mixer(mixerIndex); inputMixer != nullptr && mixerIndex >= 1) {
        input = std::make_unique<CControlGroup>(templates, route);
        input->Create(inputMixer, inputMixer->GetDestination(), &window, next, kGroupStep, 0,
                      output->GetNextControlId(), true);
    } else if (templates.frame != nullptr) {
        // The frame is laid out for two columns: with one it would stand half empty.
        QRect column;
        for (const GroupItem& item : output->Items()) {
            if (item.window != nullptr && !item.window->isHidden()) {
                column = column.united(item.window->geometry());
            }
            if (QLabel* label = output->Label(item.slot); label != nullptr && !label->isHidden()) {
                column = column.united(label->geometry());
            }
        }
        if (!column.isNull()) {
            moveGroup(output.get(), templates.frame->geometry().center().x() - column.center().x());
        }
    }
}

void WindowMixers::ShowCurrentInputSource(int mixerIndex, int d) {
    CMixer* inputMixer = mixer(mixerIndex);
    if (inputMixer == nullptr) return;
    int n = inputMixer->GetSourceCount(d);
    char text[kSourceTextBytes] = {};
    std::uint32_t size = kSourceTextBytes;
    int entry = n - 1;
    if (inputMixer->GetDestinationControlValue(d, 0, text, size) < 0) {
        logLine("Source set-to-current failed, could not get destination %d control state\n", d);
    } else {
        text[kSourceTextBytes - 1] = '\0';
        int found = inputSource.findText(QString::fromLocal8Bit(text), Qt::MatchFixedString);
        if (found >= 0) entry = found;
    }
    inputSource.setCurrentIndex(entry);
    if (input) input->ShowOnlySlot(inputSource.currentIndex());
}

void WindowMixers::SelectInputSource() {
    int m = MixerIndexFor(inputSelect.currentIndex());
    CMixer* inputMixer = mixer(m);
    if (inputMixer == nullptr) return;
    int k = inputSource.currentIndex();
    if (input) input->ShowOnlySlot(k);
    int d = inputMixer->GetDestination();
    MIXERLINEA line{};
    if (inputMixer->GetDestinationLine(d, &line) < 0 || line.cControls != 1) return;
    char text[kSourceTextBytes] = {};
    bool fetched = k >= 0;
    if (fetched) {
        QByteArray name = inputSource.itemText(k).toLocal8Bit();
        std::memcpy(text, name.constData(),
                    std::min<std::size_t>(name.size(), kSourceTextBytes - 1));
    }
    std::uint32_t size = kSourceTextBytes;
    if (!fetched || inputMixer->SetDestinationControlValue(d, 0, text, size) < 0) {
        logLine("Source select failed, could not set destination %d control state to '%s'\n", d,
                text);
    }
}

void WindowMixers::OnMixerNotify(std::uint32_t controlId) {
    int m = MixerIndexFor(inputSelect.currentIndex());
    if (CMixer* inputMixer = mixer(m); inputMixer != nullptr && m >= 1) {
        int d = inputMixer->GetDestination();
        long long muxId = inputMixer->GetDestinationControlId(d, 0);
        if (muxId >= 0 && static_cast<std::uint32_t>(muxId) == controlId) {
            ShowCurrentInputSource(m, d);
        }
    }
    if (output) output->OnMixerControlChange(controlId);
    if (input) input->OnMixerControlChange(controlId);
}

void WindowMixers::OnControlChanged(int dialogControlId) {
    if (output) output->OnControlChanged(dialogControlId);
    if (input) input->OnControlChanged(dialogControlId);
}

void WindowMixers::OnMixerControlChange(HMIXER, std::uint32_t controlId) {
    OnMixerNotify(controlId);
}

}  // namespace quavelink
