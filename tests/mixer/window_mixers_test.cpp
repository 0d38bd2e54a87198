#include "mixer/window_mixers.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QSlider>
#include <QWidget>

#include "fake_mixer_system.h"
#include "support/log_capture.h"

namespace quavelink {
namespace {

using test::FakeMixerSystem;
using test::line;
using test::mute;
using test::mux;
using test::volume;

MixerLayout playback() {
    MixerLayout layout;
    layout.productName = "Built-in Audio Analog Stereo";
    layout.destinations = {
        line(1, MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, "Master Volume", 2, {volume(1), mute(2)})};
    return layout;
}

MixerLayout recorder(const std::string& product, std::vector<std::string> ports,
                     std::uint32_t idBase) {
    MixerLayout layout;
    layout.productName = product;
    std::vector<LineLayout> sources;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        std::uint32_t id = idBase + 2 + 2 * static_cast<std::uint32_t>(i);
        sources.push_back(line(static_cast<std::uint32_t>(i), MIXERLINE_COMPONENTTYPE_SRC_LINE,
                               ports[i], 2, {volume(id), mute(id + 1)}));
    }
    layout.destinations = {line(0xFFFF, MIXERLINE_COMPONENTTYPE_DST_WAVEIN, "Recording Control", 2,
                                {mux(idBase + 1, ports)}, sources)};
    return layout;
}

// The window's pieces the mixer part works with.
class WindowMixersTest : public ::testing::Test {
  protected:
    void SetUp() override {
        templates.label = new QLabel("Label", &window);
        templates.balance = new QSlider(Qt::Horizontal, &window);
        templates.volume = new QSlider(Qt::Vertical, &window);
        templates.mute = new QCheckBox("Mute", &window);
        inputSelect = new QComboBox(&window);
        inputSource = new QComboBox(&window);
    }
    void open() {
        mixers = std::make_unique<WindowMixers>(&system, nullptr, window, templates, *inputSelect,
                                                *inputSource);
        mixers->OpenMixers();
    }
    // The endpoint list as the window fills it, then a choice of entry `index`.
    void list(const std::vector<std::pair<std::string, bool>>& endpoints) {
        for (std::size_t i = 0; i < endpoints.size(); ++i) {
            inputSelect->addItem(QString::fromStdString(endpoints[i].first));
            mixers->MapEndpoint(static_cast<int>(i), endpoints[i].first, endpoints[i].second);
        }
    }
    void choose(int index) {
        inputSelect->setCurrentIndex(index);
        mixers->OnInputDeviceChanged(index);
    }

    QWidget window;
    ControlTemplates templates;
    QComboBox* inputSelect = nullptr;
    QComboBox* inputSource = nullptr;
    FakeMixerSystem system;
    std::unique_ptr<WindowMixers> mixers;
};

TEST_F(WindowMixersTest, EndpointsFindTheirRecordingMixerByTheCutProductName) {
    system.addDevice(playback());
    system.addDevice(recorder("Webcam C920 Analog Stereo Micro", {"Mic"}, 0x100));
    system.addDevice(recorder("USB Headset Mono", {"Mic"}, 0x200));
    system.addDevice(recorder("usb headset", {"Mic"}, 0x300));
    system.setDeviceCount(3);
    system.setFirstWaveInDevice(1);
    open();
    EXPECT_EQ(mixers->outputMixerCount, 1);
    ASSERT_EQ(mixers->inputMixerCount, 3);
    EXPECT_EQ(mixers->deviceMixerMap[0], -1);
    list({{"Default multimedia device", true},
          {"Webcam C920 Analog Stereo Microphone Input", false},  // 42 characters
          {"WEBCAM C920 ANALOG STEREO MICRO", false},
          {"Webcam C920 Analog Stereo Mike!", false},
          {"USB Headset Mono", false},
          {"Built-in Audio Analog Stereo", true}});
    EXPECT_EQ(mixers->MixerIndexFor(-1), -1);
    EXPECT_EQ(mixers->MixerIndexFor(0), -1);
    EXPECT_EQ(mixers->MixerIndexFor(1), 1);
    EXPECT_EQ(mixers->MixerIndexFor(2), 1);
    EXPECT_EQ(mixers->MixerIndexFor(3), -1);
    EXPECT_EQ(mixers->MixerIndexFor(4), 3);   // both headset names match: the later one wins
    EXPECT_EQ(mixers->MixerIndexFor(5), -1);  // a render endpoint has no recording mixer
}

class OneRecorder : public WindowMixersTest {
  protected:
    void SetUp() override {
        WindowMixersTest::SetUp();
        system.addDevice(playback());
        MixerLayout input =
            recorder("Mic Array", {"Front Microphone", "Line In", "Rear Mic"}, 0x100);
        system.addDevice(input);
        system.setDeviceCount(1);
        system.setFirstWaveInDevice(1);
        open();
        ASSERT_EQ(mixers->inputMixerCount, 1);
        list({{"Default multimedia device", true}, {"Mic Array", false}});
    }
};

TEST_F(OneRecorder, ChoosingTheDeviceShowsItsCurrentSourceOnly) {
    system.changeValue(1, 0x101, {0, 1, 0});
    system.deliver();
    choose(1);
    ASSERT_NE(mixers->inputGroup(), nullptr);
    EXPECT_EQ(inputSource->count(), 3);
    EXPECT_EQ(inputSource->currentText(), "Line In");
    EXPECT_TRUE(mixers->inputGroup()->Label(0)->isHidden());
    EXPECT_FALSE(mixers->inputGroup()->Label(1)->isHidden());
    // The input group's identifiers follow the output group's four (its label takes 6004).
    EXPECT_EQ(mixers->inputGroup()->Items().front().dialogControlId, 6005);

    // Another program switches the source: the list and the visible slot follow.
    system.changeValue(1, 0x101, {0, 0, 1});
    system.deliver();
    EXPECT_EQ(inputSource->currentText(), "Rear Mic");
    EXPECT_FALSE(mixers->inputGroup()->Label(2)->isHidden());

    // The user picks a source: the multiplexer selects it.
    inputSource->setCurrentIndex(0);
    mixers->SelectInputSource();
    EXPECT_EQ(system.value(1, 0x101), (std::vector<std::uint32_t>{1, 0, 0}));
    EXPECT_FALSE(mixers->inputGroup()->Label(0)->isHidden());

    // Back to the default device: no input group, the output group stays.
    choose(0);
    EXPECT_EQ(mixers->inputGroup(), nullptr);
    EXPECT_NE(mixers->outputGroup(), nullptr);
}

TEST_F(OneRecorder, AnUnknownOrUnreadableSourceShowsTheLastEntry) {
    choose(1);
    system.changeValue(1, 0x101, {0, 0, 0});  // nothing selected: the text is empty
    system.deliver();
    EXPECT_EQ(inputSource->currentIndex(), 2);

    inputSource->setCurrentIndex(0);
    test::LogCapture log;
    system.fail("mixerGetControlDetailsA");
    mixers->ShowCurrentInputSource(1, 0);
    EXPECT_EQ(inputSource->currentIndex(), 2);
    EXPECT_EQ(log.count("Source set-to-current failed, could not get destination 0 control "
                        "state\n"),
              1);
}

TEST_F(OneRecorder, VolumeNotificationsReachTheShownSlot) {
    choose(1);
    system.changeValue(1, 0x104, {30000, 30000});  // "Line In" volume
    system.deliver();
    CMixerSliderCtrl* lineVolume = nullptr;
    mixers->inputGroup()->FindSlotControls(1, &lineVolume, nullptr, nullptr);
    EXPECT_EQ(lineVolume->GetPos(), 65535 - 30000);
    system.changeValue(0, 1, {1000, 1000});
    system.deliver();
    CMixerSliderCtrl* outputVolume = nullptr;
    mixers->outputGroup()->FindSlotControls(0, &outputVolume, nullptr, nullptr);
    EXPECT_EQ(outputVolume->GetPos(), 65535 - 1000);
}

// While the sound server is gone the controls would show values nobody can read: disabled, and
// built anew from what the mixers hold once it is back.
TEST_F(OneRecorder, ControlsAreOffWhileTheSoundServerIsGoneAndReadAgainAfter) {
    choose(1);
    auto outputVolume = [&] {
        CMixerSliderCtrl* volume = nullptr;
        mixers->outputGroup()->FindSlotControls(0, &volume, nullptr, nullptr);
        return volume;
    };
    system.serverRunning = false;
    mixers->CheckServer();
    EXPECT_FALSE(outputVolume()->isEnabled());
    for (const GroupItem& item : mixers->inputGroup()->Items()) {
        EXPECT_FALSE(item.window->isEnabled()) << item.dialogControlId;
    }
    // Changed while the server was away, as a restarted one sets its stored volume.
    system.changeValue(0, 1, {1000, 1000});
    system.serverRunning = true;
    mixers->CheckServer();
    ASSERT_NE(mixers->inputGroup(), nullptr);
    EXPECT_TRUE(outputVolume()->isEnabled());
    EXPECT_EQ(outputVolume()->GetPos(), 65535 - 1000);
    EXPECT_EQ(inputSource->currentText(), "Front Microphone");
}

TEST_F(WindowMixersTest, ARecordingDestinationWithTwoControlsIsNeverWritten) {
    system.addDevice(playback());
    MixerLayout input = recorder("Two Controls", {"Mic", "Line"}, 0x100);
    input.destinations[0].controls.push_back(volume(0x1F0));
    system.setDeviceCount(1);
    system.setFirstWaveInDevice(1);
    system.addDevice(input);
    open();
    list({{"Default multimedia device", true}, {"Two Controls", false}});
    ASSERT_EQ(mixers->MixerIndexFor(1), 1);
    choose(1);
    test::LogCapture log;
    int writes = system.countCalls("mixerSetControlDetails");
    inputSource->setCurrentIndex(1);
    mixers->SelectInputSource();
    EXPECT_EQ(system.countCalls("mixerSetControlDetails"), writes);
    EXPECT_FALSE(log.containsPrefix("Source select failed"));
}

TEST_F(WindowMixersTest, MuteBoxesPastTheFirstHundredSlotsStillWork) {
    system.addDevice(playback());
    std::vector<std::string> ports;
    for (int i = 0; i < 100; ++i) ports.push_back("Port " + std::to_string(i));
    system.addDevice(recorder("Patch Bay", ports, 0x1000));
    system.setDeviceCount(1);
    system.setFirstWaveInDevice(1);
    open();
    list({{"Default multimedia device", true}, {"Patch Bay", false}});
    choose(1);
    CMixerCheckBoxMute* lastMute = nullptr;
    mixers->inputGroup()->FindSlotControls(99, nullptr, nullptr, &lastMute);
    ASSERT_NE(lastMute, nullptr);
    ASSERT_GT(lastMute->property("controlId").toInt(), 6384);
    lastMute->click();
    EXPECT_EQ(system.value(1, 0x1000 + 2 + 2 * 99 + 1), (std::vector<std::uint32_t>{1, 1}));
}

TEST_F(WindowMixersTest, NoMixerDeviceMeansNoGroups) {
    open();
    EXPECT_EQ(mixers->mixerDeviceCount, 0u);
    list({{"Default multimedia device", true}, {"Anything", false}});
    choose(1);
    EXPECT_EQ(mixers->outputGroup(), nullptr);
    EXPECT_EQ(mixers->MixerIndexFor(1), -1);
}

TEST_F(WindowMixersTest, MixersThatCameLateAreOpenedOnceAndTheWindowToldOnce) {
    system.setDeviceCount(0);
    system.addDevice(playback());
    system.addDevice(recorder("USB Microphone", {"Mic"}, 0x1000));
    system.setFirstWaveInDevice(1);
    open();
    int told = 0;
    mixers->SetLateOpenHandler([&] { ++told; });
    mixers->OnMixerDevicesChanged();  // still no device: nothing to open
    EXPECT_EQ(told, 0);
    EXPECT_EQ(system.countCalls("mixerOpen"), 0);

    system.setDeviceCount(1);
    mixers->OnMixerDevicesChanged();
    EXPECT_EQ(told, 1);
    EXPECT_EQ(mixers->outputMixerCount, 1);
    EXPECT_EQ(mixers->inputMixerCount, 1);
    list({{"Default multimedia device", true}, {"USB Microphone", false}});
    choose(1);
    ASSERT_NE(mixers->outputGroup(), nullptr);
    ASSERT_NE(mixers->inputGroup(), nullptr);

    // An open set survives a server restart: its controls are told of the changes instead.
    const int opens = system.countCalls("mixerOpen");
    mixers->OnMixerDevicesChanged();
    EXPECT_EQ(told, 1);
    EXPECT_EQ(system.countCalls("mixerOpen"), opens);
    EXPECT_NE(mixers->inputGroup(), nullptr);
}

}  // namespace
}  // namespace quavelink
