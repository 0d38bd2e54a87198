// How long a volume change made by another program takes to move the window's slider: pactl
// sets the default sink's volume, the mixer layer hears the server's event, and the output
// group re-reads the mixer on the GUI thread. Printed as medians against the run time of one
// pactl call of the same kind (the baseline), measured in the same run. Asserts nothing.
#include <stdlib.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QMetaObject>
#include <QSlider>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "mixer/window_mixers.h"
#include "platform/hand_off.h"
#include "platform/mixer/pulse_mixer_system.h"
#include "pulse_daemon.h"

using namespace quavelink;
using Clock = std::chrono::steady_clock;

namespace {

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 20;
    test::PulseDaemon daemon({"module-null-sink sink_name=test rate=48000"});
    if (!daemon.ready()) {
        std::fprintf(stderr, "no PulseAudio daemon\n");
        return 1;
    }
    QApplication app(argc, argv);
    auto system = CreatePulseMixerSystem([](std::function<void()> work) {
        QMetaObject::invokeMethod(qApp, HandOff(std::move(work)), Qt::QueuedConnection);
    });
    QWidget window;
    ControlTemplates templates;
    templates.label = new QLabel(&window);
    templates.balance = new QSlider(Qt::Horizontal, &window);
    templates.volume = new QSlider(Qt::Vertical, &window);
    templates.mute = new QCheckBox(&window);
    auto* inputSelect = new QComboBox(&window);
    auto* inputSource = new QComboBox(&window);
    WindowMixers mixers(system.get(), nullptr, window, templates, *inputSelect, *inputSource);
    mixers.OpenMixers();
    mixers.MapEndpoint(0, "Default multimedia device", true);
    mixers.OnInputDeviceChanged(0);
    CMixerSliderCtrl* volume = nullptr;
    if (!mixers.outputGroup() ||
        mixers.outputGroup()->FindSlotControls(0, &volume, nullptr, nullptr) == 0 || !volume) {
        std::fprintf(stderr, "no output group\n");
        return 1;
    }

    std::vector<double> toSlider;
    std::vector<double> baseline;
    int missed = 0;
    for (int round = 0; round < rounds; ++round) {
        auto start = Clock::now();
        daemon.pactl("get-sink-volume test");
        baseline.push_back(msSince(start));

        std::uint32_t level = round % 2 == 0 ? 20000 : 50000;
        int expected = 65535 - static_cast<int>(faderFromPulseVolume(pulseVolumeFromFader(level)));
        start = Clock::now();
        daemon.pactl("set-sink-volume test " + std::to_string(pulseVolumeFromFader(level)));
        bool moved = false;
        while (msSince(start) < 5000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
            if (volume->GetPos() == expected) {
                moved = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        if (moved) {
            toSlider.push_back(msSince(start));
        } else {
            ++missed;
        }
    }
    double slider = median(toSlider);
    double base = median(baseline);
    std::printf("rounds %d, missed %d\n", rounds, missed);
    std::printf("pactl set-sink-volume to slider moved: median %.2f ms, max %.2f ms\n", slider,
                toSlider.empty() ? 0.0 : *std::max_element(toSlider.begin(), toSlider.end()));
    std::printf("baseline, one pactl get-sink-volume: median %.2f ms\n", base);
    std::printf("ratio slider / baseline: %.2f\n", base > 0 ? slider / base : 0.0);
    return 0;
}
