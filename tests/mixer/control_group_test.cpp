#include "mixer/control_group.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QSlider>
#include <QWidget>
#include <memory>

#include "fake_mixer_system.h"
#include "mixer/mixer.h"

namespace quavelink {
namespace {

using test::FakeMixerSystem;
using test::line;
using test::mute;
using test::volume;

// A window with the four hidden templates at their places.
struct TemplateWindow {
    TemplateWindow() {
        window.resize(480, 300);
        templates.label = new QLabel("Label", &window);
        templates.label->setGeometry(16, 160, 90, 14);
        templates.balance = new QSlider(Qt::Horizontal, &window);
        templates.balance->setGeometry(40, 150, 46, 24);
        templates.volume = new QSlider(Qt::Vertical, &window);
        templates.volume->setGeometry(43, 180, 40, 100);
        templates.mute = new QCheckBox("Mute", &window);
        templates.mute->setGeometry(43, 285, 50, 16);
        for (QWidget* w : std::initializer_list<QWidget*>{templates.label, templates.balance,
                                                          templates.volume, templates.mute}) {
            w->hide();
        }
    }
    QWidget window;
    ControlTemplates templates;
};

MixerLayout speakersMixer(std::uint32_t channels = 2) {
    MixerLayout layout;
    layout.productName = "Speakers";
    layout.destinations = {line(1, MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, "Master Volume", channels,
                                {volume(1), mute(2)})};
    return layout;
}

class OutputGroup : public ::testing::Test {
  protected:
    void build(const MixerLayout& layout, std::vector<std::uint32_t> initial = {65535, 32767},
               std::uint32_t volumeId = 1) {
        system.addDevice(layout);
        system.changeValue(0, volumeId, initial);
        mixer = std::make_unique<CMixer>(system);
        ASSERT_EQ(mixer->Open(0, nullptr, false), 0);
        group = std::make_unique<CControlGroup>(ui.templates);
        next =
            group->Create(mixer.get(), mixer->GetDestination(), &ui.window, 0, 120, 0, 6000, false);
        ASSERT_GE(group->FindSlotControls(0, &volumeSlider, &balanceSlider, &muteBox), 3);
    }
    // The user drags the volume slider to `level` (the widget's value is the level).
    void dragVolumeTo(int level) { volumeSlider->setValue(level); }

    TemplateWindow ui;
    FakeMixerSystem system;
    std::unique_ptr<CMixer> mixer;
    std::unique_ptr<CControlGroup> group;
    int next = 0;
    CMixerSliderCtrl* volumeSlider = nullptr;
    CMixerSliderHorz* balanceSlider = nullptr;
    CMixerCheckBoxMute* muteBox = nullptr;
};

TEST_F(OutputGroup, ShowsTheBalanceAndKeepsItWhenTheVolumeMoves) {
    build(speakersMixer());
    EXPECT_EQ(next, 120);
    EXPECT_EQ(group->GetNextControlId(), 6004);
    EXPECT_EQ(volumeSlider->GetPos(), 0);  // level 65535 at the top
    EXPECT_EQ(balanceSlider->maximum(), 131070);
    EXPECT_EQ(balanceSlider->value(), 32767);
    EXPECT_TRUE(balanceSlider->isHidden());
    // The slot sits at the template positions.
    EXPECT_EQ(volumeSlider->geometry(), ui.templates.volume->geometry());
    EXPECT_EQ(group->Label(0)->text(), "Master Volume");

    dragVolumeTo(40000);
    EXPECT_EQ(system.value(0, 1), (std::vector<std::uint32_t>{40000, 19999}));

    // Down to silence and back up: the balance shown survives the quiet values.
    dragVolumeTo(0);
    EXPECT_EQ(system.value(0, 1), (std::vector<std::uint32_t>{0, 0}));
    system.deliver();
    EXPECT_EQ(balanceSlider->value(), 32767);
    dragVolumeTo(50000);
    EXPECT_EQ(system.value(0, 1), (std::vector<std::uint32_t>{50000, 24999}));
}

TEST_F(OutputGroup, FollowsChangesMadeElsewhere) {
    build(speakersMixer());
    system.changeValue(0, 1, {10000, 20000});
    system.changeValue(0, 2, {1, 1});
    system.deliver();
    group->OnMixerControlChange(1);
    EXPECT_EQ(volumeSlider->GetPos(), 65535 - 20000);
    EXPECT_GT(balanceSlider->value(), 65535);  // right of centre: the right channel is louder
    group->OnMixerControlChange(2);
    EXPECT_TRUE(muteBox->isChecked());

    muteBox->click();
    EXPECT_EQ(system.value(0, 2), (std::vector<std::uint32_t>{0, 0}));
    // A notification for a control the group does not show changes nothing.
    EXPECT_EQ(group->OnMixerControlChange(77), -1);
}

TEST_F(OutputGroup, MonoLineHasACentredDisabledBalance) {
    build(speakersMixer(1), {30000});
    EXPECT_FALSE(balanceSlider->isEnabledTo(&ui.window));
    EXPECT_EQ(balanceSlider->value(), (balanceSlider->maximum() - balanceSlider->minimum()) / 2);
    EXPECT_EQ(volumeSlider->GetPos(), 65535 - 30000);
    dragVolumeTo(12345);
    EXPECT_EQ(system.value(0, 1), (std::vector<std::uint32_t>{12345}));
}

TEST_F(OutputGroup, BalanceMoveWritesNothingWhenTheLevelCannotBeRead) {
    build(speakersMixer());
    int writes = system.countCalls("mixerSetControlDetails");
    system.fail("mixerGetControlDetailsA");
    balanceSlider->setValue(65535);
    EXPECT_EQ(system.countCalls("mixerSetControlDetails"), writes);
    EXPECT_EQ(system.value(0, 1), (std::vector<std::uint32_t>{65535, 32767}));
    // Read again, the centre writes the level to both sides.
    balanceSlider->setValue(65535);
    balanceSlider->setValue(65535 + 1);
    balanceSlider->setValue(65535);
    EXPECT_EQ(system.value(0, 1), (std::vector<std::uint32_t>{65535, 65535}));
}

TEST_F(OutputGroup, WithoutSpeakersShowsTheFirstSourceAsMasterVolume) {
    MixerLayout layout;
    layout.productName = "Odd";
    layout.destinations = {
        line(1, MIXERLINE_COMPONENTTYPE_DST_LINE, "Line Out", 2, {},
             {line(2, MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT, "Wave", 2, {mute(5), volume(4)}),
              line(3, MIXERLINE_COMPONENTTYPE_SRC_LINE, "Aux", 2, {volume(6)})})};
    build(layout, {20000, 20000}, 4);
    EXPECT_EQ(group->SlotCount(), 1);
    EXPECT_EQ(group->Label(0)->text(), "Master Volume");
    EXPECT_EQ(volumeSlider->geometry(), ui.templates.volume->geometry());
    dragVolumeTo(1000);
    EXPECT_EQ(system.value(0, 4), (std::vector<std::uint32_t>{1000, 1000}));
}

TEST(InputGroup, SourcesShareOnePlaceAndLinesWithoutControlsAreLeftOut) {
    TemplateWindow ui;
    FakeMixerSystem system;
    MixerLayout layout;
    layout.productName = "Mic";
    layout.destinations = {
        line(1, MIXERLINE_COMPONENTTYPE_DST_WAVEIN, "Recording", 2,
             {test::mux(1, {"Mic", "Empty", "Line", "Mono"})},
             {line(2, MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE, "Mic", 2, {volume(2), mute(3)}),
              line(3, MIXERLINE_COMPONENTTYPE_SRC_ANALOG, "Empty", 2, {}),
              line(4, MIXERLINE_COMPONENTTYPE_SRC_LINE, "Line", 2, {mute(5)}),
              line(5, MIXERLINE_COMPONENTTYPE_SRC_LINE, "Mono", 1, {volume(6)})})};
    system.addDevice(layout);
    CMixer mixer(system);
    ASSERT_EQ(mixer.Open(0, nullptr, true), 0);
    CControlGroup group(ui.templates);
    EXPECT_EQ(group.Create(&mixer, mixer.GetDestination(), &ui.window, 120, 120, 0, 6004, true),
              240);
    ASSERT_EQ(group.SlotCount(), 3);
    EXPECT_EQ(group.GetNextControlId(), 6004 + 3 * 4);
    EXPECT_EQ(group.Label(1)->text(), "Line");

    CMixerSliderCtrl* lineVolume = nullptr;
    CMixerSliderHorz* lineBalance = nullptr;
    CMixerCheckBoxMute* lineMute = nullptr;
    group.FindSlotControls(1, &lineVolume, &lineBalance, &lineMute);
    EXPECT_EQ(lineVolume->geometry(), ui.templates.volume->geometry().translated(120, 0));
    EXPECT_FALSE(lineVolume->isEnabledTo(&ui.window));  // no volume control on that line
    EXPECT_FALSE(lineBalance->isEnabledTo(&ui.window));
    EXPECT_TRUE(lineMute->isEnabledTo(&ui.window));

    CMixerCheckBoxMute* monoMute = nullptr;
    group.FindSlotControls(2, nullptr, nullptr, &monoMute);
    EXPECT_TRUE(monoMute->isHidden());

    group.ShowOnlySlot(1);
    EXPECT_TRUE(group.Label(0)->isHidden());
    EXPECT_FALSE(group.Label(1)->isHidden());
    EXPECT_FALSE(lineVolume->isHidden());
    // The mute box on top is the shown slot's.
    CMixerCheckBoxMute* micMute = nullptr;
    group.FindSlotControls(0, nullptr, nullptr, &micMute);
    group.ShowOnlySlot(0);
    EXPECT_EQ(ui.window.childAt(micMute->geometry().center()), micMute);
    group.ShowOnlySlot(1);
    lineMute->click();
    EXPECT_EQ(system.value(0, 5), (std::vector<std::uint32_t>{1, 1}));
    EXPECT_EQ(ui.window.childAt(lineMute->geometry().center()), lineMute);
}

}  // namespace
}  // namespace quavelink
