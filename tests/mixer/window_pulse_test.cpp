#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QMetaObject>
#include <chrono>
#include <functional>
#include <thread>

#include "app/main_window.h"
#include "app/window_test_helpers.h"
#include "mixer/window_mixers.h"
#include "pulse_daemon.h"
#include "pulse_window_parts.h"
#include "settings/settings.h"

// The main window with its real mixer controls over a private PulseAudio daemon: a null sink
// as the playback device and a null source as a recording device.

namespace quavelink {
namespace {

using test::IdleWorkers;
using test::runUntil;
using LoggedBoxes = test::RecordedBoxes;

// The left fader value of sink "test" as pactl reports it.
std::uint32_t sinkLevelOf(const test::PulseDaemon& daemon) {
    auto text = daemon.pactlOutput("get-sink-volume test");
    if (!text) return 0;
    // "Volume: front-left: 40001 /  61% / ..."
    auto at = text->find("front-left: ");
    if (at == std::string::npos) return 0;
    return faderFromPulseVolume(std::stoul(text->substr(at + 12)));
}

class WindowOnPulse : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(daemon.ready());
        ASSERT_EQ(daemon.pactl("set-default-sink test"), 0);
        ResetSettingsToDefaults();
        SetInputSelect("");
        parts = std::make_unique<test::PulseWindowParts>();
        window = std::make_unique<CQuaveLinkServerDlg>(parts->setup(boxes, workers));
        window->OnInitDialog();
        mixers = window->mixerControls();
        ASSERT_NE(mixers, nullptr);
        ASSERT_NE(mixers->outputGroup(), nullptr);
        mixers->outputGroup()->FindSlotControls(0, &volume, &balance, &mute);
        ASSERT_NE(volume, nullptr);
    }
    void TearDown() override { window.reset(); }

    std::uint32_t sinkLevel() { return sinkLevelOf(daemon); }
    void choose(const QString& endpoint) {
        auto* list =
            static_cast<QComboBox*>(window->control(CQuaveLinkServerDlg::IDC_INPUT_SELECT));
        int index = list->findText(endpoint);
        ASSERT_GE(index, 0) << endpoint.toStdString();
        list->setCurrentIndex(index);
        window->OnInputDeviceChanged();
    }

    test::PulseDaemon daemon{{
        "module-null-sink sink_name=test rate=48000 sink_properties=device.description=QuaveSink",
        "module-null-source source_name=mic description=QuaveMic",
    }};
    std::unique_ptr<test::PulseWindowParts> parts;
    LoggedBoxes boxes;
    IdleWorkers workers;
    std::unique_ptr<CQuaveLinkServerDlg> window;
    WindowMixers* mixers = nullptr;
    CMixerSliderCtrl* volume = nullptr;
    CMixerSliderHorz* balance = nullptr;
    CMixerCheckBoxMute* mute = nullptr;
};

TEST_F(WindowOnPulse, OutputGroupReadsAndWritesTheDefaultSink) {
    EXPECT_EQ(volume->GetPos(), 0);  // a new sink is at 100 %
    EXPECT_EQ(mixers->outputGroup()->Label(0)->text(), "Master Volume");

    // Changed with pactl: the slider follows.
    ASSERT_EQ(daemon.pactl("set-sink-volume test 30000 15000"), 0);
    const int expected = 65535 - static_cast<int>(faderFromPulseVolume(30000));
    ASSERT_TRUE(runUntil([&] { return volume->GetPos() == expected; })) << volume->GetPos();
    EXPECT_LT(balance->value(), 65535);  // the left channel is the louder one

    // Moved in the window: pactl sees it, and the balance is kept.
    volume->setValue(20000);
    EXPECT_EQ(sinkLevel(), 20000u);
    auto text = daemon.pactlOutput("get-sink-volume test").value_or("");
    EXPECT_NE(text.find("front-right: " + std::to_string(pulseVolumeFromFader(10000))),
              std::string::npos)
        << text;

    ASSERT_NE(mute, nullptr);
    mute->click();
    EXPECT_EQ(daemon.pactlOutput("get-sink-mute test").value_or(""), "Mute: yes\n");
    ASSERT_EQ(daemon.pactl("set-sink-mute test 0"), 0);
    ASSERT_TRUE(runUntil([&] { return !mute->isChecked(); }));
}

TEST_F(WindowOnPulse, InputGroupFollowsTheChosenEndpoint) {
    EXPECT_EQ(mixers->inputGroup(), nullptr);  // the default device is a playback device
    QLabel* inputHeading = nullptr;
    for (QLabel* label : window->findChildren<QLabel*>()) {
        if (label->text() == "Audio Input") inputHeading = label;
    }
    ASSERT_NE(inputHeading, nullptr);
    EXPECT_TRUE(inputHeading->isHidden()) << "no input controls to name";
    choose("QuaveMic");
    EXPECT_FALSE(inputHeading->isHidden());
    ASSERT_NE(mixers->inputGroup(), nullptr);
    EXPECT_EQ(mixers->inputGroup()->Label(0)->text(), "QuaveMic");
    auto* sources = static_cast<QComboBox*>(window->control(CQuaveLinkServerDlg::IDC_INPUT_SOURCE));
    EXPECT_EQ(sources->currentText(), "QuaveMic");
    EXPECT_TRUE(sources->isHidden());

    CMixerSliderCtrl* micVolume = nullptr;
    mixers->inputGroup()->FindSlotControls(0, &micVolume, nullptr, nullptr);
    ASSERT_NE(micVolume, nullptr);
    // The input group stands one step right of the output group, rebuilt with it.
    CMixerSliderCtrl* outputVolume = nullptr;
    mixers->outputGroup()->FindSlotControls(0, &outputVolume, nullptr, nullptr);
    ASSERT_NE(outputVolume, nullptr);
    EXPECT_EQ(micVolume->x(), outputVolume->x() + WindowMixers::kGroupStep);
    // Its heading stands over its column, which its line label spans.
    EXPECT_NEAR(inputHeading->geometry().center().x(),
                mixers->inputGroup()->Label(0)->geometry().center().x(), 2);
    ASSERT_EQ(daemon.pactl("set-source-volume mic 20000"), 0);
    const int expected = 65535 - static_cast<int>(faderFromPulseVolume(20000));
    ASSERT_TRUE(runUntil([&] { return micVolume->GetPos() == expected; }));

    choose("QuaveSink");
    EXPECT_EQ(mixers->inputGroup(), nullptr);
    EXPECT_TRUE(inputHeading->isHidden());
}

TEST(WindowBeforePulse, BindsItsMixerControlsOnceTheSoundServerRuns) {
    test::PulseDaemon daemon{{"module-null-sink sink_name=test rate=48000"}};
    ASSERT_TRUE(daemon.ready());
    daemon.kill(SIGKILL);
    ResetSettingsToDefaults();
    SetInputSelect("");
    test::PulseWindowParts parts;
    LoggedBoxes boxes;
    IdleWorkers workers;
    auto window = std::make_unique<CQuaveLinkServerDlg>(parts.setup(boxes, workers));
    window->OnInitDialog();
    WindowMixers* mixers = window->mixerControls();
    ASSERT_NE(mixers, nullptr);
    EXPECT_EQ(mixers->outputGroup(), nullptr);

    ASSERT_TRUE(daemon.restart());
    ASSERT_TRUE(
        runUntil([&] { return mixers->outputGroup() != nullptr; }, std::chrono::seconds(20)));
    EXPECT_EQ(mixers->outputGroup()->Label(0)->text(), "Master Volume");
    CMixerSliderCtrl* volume = nullptr;
    CMixerCheckBoxMute* mute = nullptr;
    mixers->outputGroup()->FindSlotControls(0, &volume, nullptr, &mute);
    ASSERT_NE(volume, nullptr);
    ASSERT_NE(mute, nullptr);
    EXPECT_FALSE(volume->isHidden());

    // Bound both ways: the fader sets the sink, and follows a change made elsewhere.
    volume->setValue(20000);
    EXPECT_EQ(sinkLevelOf(daemon), 20000u);
    ASSERT_EQ(daemon.pactl("set-sink-volume test 30000"), 0);
    const int expected = 65535 - static_cast<int>(faderFromPulseVolume(30000));
    EXPECT_TRUE(runUntil([&] { return volume->GetPos() == expected; })) << volume->GetPos();
    mute->click();
    EXPECT_EQ(daemon.pactlOutput("get-sink-mute test").value_or(""), "Mute: yes\n");
    window.reset();
}

}  // namespace
}  // namespace quavelink
