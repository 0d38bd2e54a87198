#include "app/hot_keys.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QSlider>
#include <QWidget>
#include <memory>

#include "fake_mixer_system.h"
#include "mixer/control_group.h"
#include "mixer/mixer.h"

namespace quavelink {
namespace {

using test::FakeMixerSystem;

constexpr std::uint32_t kVolumeId = 1;
constexpr std::uint32_t kMuteId = 2;

// The output group of a stereo playback mixer on an offscreen window, as the main window
// builds it.
class Hotkeys : public ::testing::Test {
  protected:
    void build(std::vector<std::uint32_t> levels) {
        templates.label = new QLabel("Label", &window);
        templates.balance = new QSlider(Qt::Horizontal, &window);
        templates.volume = new QSlider(Qt::Vertical, &window);
        templates.mute = new QCheckBox("Mute", &window);
        MixerLayout layout;
        layout.productName = "Speakers";
        layout.destinations = {test::line(1, MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, "Master Volume",
                                          2, {test::volume(kVolumeId), test::mute(kMuteId)})};
        system.addDevice(layout);
        system.changeValue(0, kVolumeId, levels);
        system.deliver();
        mixer = std::make_unique<CMixer>(system);
        ASSERT_EQ(mixer->Open(0, nullptr, false), 0);
        group = std::make_unique<CControlGroup>(templates);
        group->Create(mixer.get(), mixer->GetDestination(), &window, 0, 120, 0, 6000, false);
    }
    std::vector<std::uint32_t> levels() const { return system.value(0, kVolumeId); }
    bool press(int id, bool enabled = true) { return ApplyHotkey(id, enabled, group.get()); }

    QWidget window;
    ControlTemplates templates;
    FakeMixerSystem system;
    std::unique_ptr<CMixer> mixer;
    std::unique_ptr<CControlGroup> group;
};

TEST_F(Hotkeys, VolumeKeysStepBy4096WithinTheRangeKeepingTheBalance) {
    build({65535, 32767});
    EXPECT_TRUE(press(kHotkeyVolumeUp));  // at the top already: stays there
    EXPECT_EQ(levels()[0], 65535u);

    EXPECT_TRUE(press(kHotkeyVolumeDown));
    std::vector<std::uint32_t> down = levels();
    EXPECT_EQ(down[0], 65535u - 4096u);
    // The quieter channel follows the shown balance instead of jumping to the same level.
    EXPECT_NEAR(static_cast<double>(down[1]), (65535.0 - 4096.0) / 2.0, 2.0);

    for (int i = 0; i < 20; ++i) press(kHotkeyVolumeDown);
    EXPECT_EQ(levels()[0], 0u);
    press(kHotkeyVolumeUp);
    EXPECT_EQ(levels()[0], 4096u);
}

TEST_F(Hotkeys, AltMFlipsTheMuteBoxAndTheMixerEachPress) {
    build({30000, 30000});
    CMixerSliderCtrl* volume = nullptr;
    CMixerSliderHorz* balance = nullptr;
    CMixerCheckBoxMute* mute = nullptr;
    group->FindSlotControls(0, &volume, &balance, &mute);
    ASSERT_NE(mute, nullptr);
    EXPECT_TRUE(press(kHotkeyMute));
    EXPECT_TRUE(mute->isChecked());
    EXPECT_EQ(system.value(0, kMuteId)[0], 1u);
    EXPECT_TRUE(press(kHotkeyMute));
    EXPECT_FALSE(mute->isChecked());
    EXPECT_EQ(system.value(0, kMuteId)[0], 0u);
}

TEST_F(Hotkeys, DoNothingWhenDisabledOrWithoutAMixer) {
    build({30000, 30000});
    int writes = system.countCalls("mixerSetControlDetails");
    EXPECT_FALSE(press(kHotkeyVolumeUp, false));
    EXPECT_FALSE(press(kHotkeyMute, false));
    EXPECT_FALSE(ApplyHotkey(kHotkeyVolumeDown, true, nullptr));
    EXPECT_FALSE(press('A'));
    EXPECT_EQ(system.countCalls("mixerSetControlDetails"), writes);
    EXPECT_EQ(levels()[0], 30000u);
    EXPECT_EQ(system.value(0, kMuteId)[0], 0u);
}

TEST(KeyRepeatFilter, TellsAutoRepeatFromNewPressesInBothRepeatStyles) {
    KeyRepeatFilter filter;
    EXPECT_TRUE(filter.press(58, 1000));
    EXPECT_FALSE(filter.press(58, 1030));  // detectable repeat: no release between
    filter.release(58, 1060);
    EXPECT_FALSE(filter.press(58, 1060));  // classic repeat: release and press at one time
    filter.release(58, 1090);
    EXPECT_TRUE(filter.press(58, 1400));
    EXPECT_TRUE(filter.press(45, 1400));  // another key is its own
}

}  // namespace
}  // namespace quavelink
