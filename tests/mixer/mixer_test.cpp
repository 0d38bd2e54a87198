#include "mixer/mixer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "fake_mixer_system.h"
#include "support/log_capture.h"
#include "support/recorded_boxes.h"

namespace quavelink {
namespace {

using test::FakeMixerSystem;
using test::line;
using test::mute;
using test::mux;
using test::volume;

// A recording mixer: a speakers destination with sources the model must not load, then a
// wave-in destination with a multiplexer over three lines, then a voice-in destination.
MixerLayout recordingCard() {
    MixerLayout layout;
    layout.productName = "USB Audio CODEC with a long product name";
    layout.destinations = {
        line(0xF000, MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, "Speakers", 2, {volume(1), mute(2)},
             {line(0x10, MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT, "Wave", 2, {volume(3)})}),
        line(0xF001, MIXERLINE_COMPONENTTYPE_DST_WAVEIN, "Recording Control", 2,
             {mux(10, {"Microphone", "Line In", "Stereo Mix"})},
             {line(0x20, MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE, "Microphone", 1,
                   {volume(11), mute(12)}),
              line(0x21, MIXERLINE_COMPONENTTYPE_SRC_LINE, "Line In", 2, {volume(13), mute(14)}),
              line(0x22, MIXERLINE_COMPONENTTYPE_SRC_ANALOG, "Stereo Mix", 2, {volume(15)})}),
        line(0xF002, MIXERLINE_COMPONENTTYPE_DST_VOICEIN, "Voice", 1, {mux(20, {"Microphone"})},
             {line(0x30, MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE, "Microphone", 1, {volume(21)})}),
    };
    return layout;
}

TEST(CMixer, ChoosesWaveInForInputAndReadsTheWholeTree) {
    FakeMixerSystem system;
    system.addDevice(recordingCard());
    test::LogCapture log;
    CMixer mixer(system);
    ASSERT_EQ(mixer.Open(0, nullptr, true), 0);
    EXPECT_EQ(system.lastOpenFlags, MIXER_OBJECTF_WAVEIN);
    EXPECT_EQ(log.count("Mixer destination for input is WAVEIN\n"), 1);
    EXPECT_EQ(log.count("GetDestinationDetails: Mixer name USB Audio CODEC with a long pro\n"), 1);
    EXPECT_EQ(mixer.GetDestination(), 1);
    MIXERCAPSA caps;
    EXPECT_EQ(mixer.GetCaps(&caps), 48);
    EXPECT_STREQ(caps.szPname, "USB Audio CODEC with a long pro");

    // A speakers destination never has its sources loaded.
    EXPECT_EQ(mixer.GetSourceCount(0), 0);
    EXPECT_EQ(mixer.GetDestinationControlCount(0), 2);
    EXPECT_EQ(mixer.GetSourceCount(1), 3);
    EXPECT_EQ(mixer.GetDestinationControlCount(1), 1);
    EXPECT_EQ(mixer.GetSourceControlCount(1, 2), 1);
    MIXERLINEA source;
    ASSERT_EQ(mixer.GetSourceLine(1, 1, &source), 0);
    EXPECT_STREQ(source.szName, "Line In");
    MIXERCONTROLA control;
    EXPECT_EQ(mixer.GetSourceControl(1, 0, 0, &control), 1);  // the microphone line is mono
    EXPECT_EQ(control.dwControlID, 11u);
    EXPECT_EQ(mixer.GetSourceControlId(1, 1, 1), 14);
    EXPECT_EQ(mixer.GetDestinationControlId(1, 0), 10);
}

TEST(CMixer, OutputWithoutSpeakersUsesTheLastDestinationAndWarns) {
    FakeMixerSystem system;
    MixerLayout layout = recordingCard();
    layout.destinations.erase(layout.destinations.begin());
    system.addDevice(layout);
    test::LogCapture log;
    CMixer mixer(system);
    ASSERT_EQ(mixer.Open(0, nullptr, false), 0);
    EXPECT_EQ(mixer.GetDestination(), 1);
    EXPECT_EQ(log.count("Warning: No suitable mixer destination found for output\n"), 1);
}

TEST(CMixer, OpenFailures) {
    {
        FakeMixerSystem system;  // no device at all
        CMixer mixer(system);
        EXPECT_EQ(mixer.Open(0, nullptr, false), -1);
        MIXERCAPSA caps;
        EXPECT_EQ(mixer.GetCaps(&caps), -1);
        EXPECT_EQ(system.countCalls("mixerOpen"), 0);
    }
    {
        FakeMixerSystem system;
        system.addDevice(recordingCard());
        CMixer mixer(system);
        EXPECT_EQ(mixer.Open(1, nullptr, true), -1);  // device number beyond the count
        system.fail("mixerOpen");
        EXPECT_EQ(mixer.Open(0, nullptr, true), -1);
        EXPECT_EQ(mixer.GetHandle(), kNoMixer);
    }
    {
        FakeMixerSystem system;
        system.addDevice(MixerLayout{"Empty", MIXERLINE_TARGETTYPE_WAVEOUT, {}});
        test::RecordedBoxes boxes;
        CMixer mixer(system, &boxes);
        EXPECT_LT(mixer.Open(0, nullptr, false), 0);
        EXPECT_EQ(boxes.shown(), std::vector<std::string>{"Mixer has no destinations!"});
    }
    {
        FakeMixerSystem system;
        system.addDevice(recordingCard());
        system.fail("mixerGetLineInfoA");
        test::RecordedBoxes boxes;
        CMixer mixer(system, &boxes);
        EXPECT_LT(mixer.Open(0, nullptr, true), 0);
        EXPECT_EQ(boxes.shown(), std::vector<std::string>{"mixerGetLineInfo call failed!"});
    }
    {
        // A meter on the speakers line makes the whole mixer unusable.
        FakeMixerSystem system;
        MixerLayout layout = recordingCard();
        layout.destinations[0].controls.push_back(test::meter(5));
        system.addDevice(layout);
        CMixer mixer(system);
        EXPECT_LT(mixer.Open(0, nullptr, false), 0);
    }
    {
        // A recording destination without sources.
        FakeMixerSystem system;
        MixerLayout layout;
        layout.productName = "Bare";
        layout.destinations = {line(1, MIXERLINE_COMPONENTTYPE_DST_LINE, "Line", 2, {volume(1)})};
        system.addDevice(layout);
        CMixer mixer(system);
        EXPECT_EQ(mixer.Open(0, nullptr, true), -2);
    }
}

class OpenRecordingMixer : public ::testing::Test {
  protected:
    void SetUp() override {
        system.addDevice(recordingCard());
        // The device count is read when the mixer is made.
        mixer = std::make_unique<CMixer>(system);
        ASSERT_EQ(mixer->Open(0, nullptr, true), 0);
    }
    FakeMixerSystem system;
    std::unique_ptr<CMixer> mixer;
};

TEST_F(OpenRecordingMixer, MultiplexerReadsAsTheSelectedNameAndNeedsRoomForItsItems) {
    system.changeValue(0, 10, {0, 1, 0});
    char text[100];
    std::memset(text, 'x', sizeof(text));
    std::uint32_t size = sizeof(text);
    ASSERT_EQ(mixer->GetDestinationControlValue(1, 0, text, size), 0);
    EXPECT_STREQ(text, "Line In");

    char small[8];
    size = sizeof(small);  // three items need 12 bytes
    EXPECT_EQ(mixer->GetDestinationControlValue(1, 0, small, size), -2);
    EXPECT_EQ(size, 12u);
}

TEST_F(OpenRecordingMixer, MultiplexerWriteSelectsTheExactNameOnly) {
    char text[100] = {};
    std::uint32_t size = sizeof(text);
    ASSERT_EQ(mixer->GetDestinationControlValue(1, 0, text, size), 0);

    test::LogCapture log;
    int sets = system.countCalls("mixerSetControlDetails");
    std::strcpy(text, "line in");
    EXPECT_EQ(mixer->SetDestinationControlValue(1, 0, text, size), 0);
    EXPECT_EQ(log.count("Could not set input multiplexer source 'line in', not found\n"), 1);
    EXPECT_EQ(system.countCalls("mixerSetControlDetails"), sets);
    EXPECT_EQ(system.value(0, 10), (std::vector<std::uint32_t>{1, 0, 0}));

    std::strcpy(text, "Stereo Mix");
    EXPECT_EQ(mixer->SetDestinationControlValue(1, 0, text, size), 0);
    EXPECT_EQ(system.value(0, 10), (std::vector<std::uint32_t>{0, 0, 1}));

    // A text that does not end inside the caller's buffer is cut at its end.
    char unterminated[12];
    std::memcpy(unterminated, "Line In\0\0\0\0\0", sizeof(unterminated));
    std::memset(unterminated, 'A', sizeof(unterminated));
    size = sizeof(unterminated);
    EXPECT_EQ(mixer->SetDestinationControlValue(1, 0, unterminated, size), 0);
    EXPECT_EQ(system.value(0, 10), (std::vector<std::uint32_t>{0, 0, 1}));
}

TEST_F(OpenRecordingMixer, AWriteNeedsAReadFirst) {
    std::uint32_t values[2] = {1000, 2000};
    std::uint32_t size = sizeof(values);
    EXPECT_EQ(mixer->SetValueById(13, values, size), -1);
    EXPECT_EQ(system.countCalls("mixerSetControlDetails"), 0);
    EXPECT_EQ(size, sizeof(values));

    ASSERT_EQ(mixer->GetSourceControlValue(1, 1, 0, values, size), 0);
    values[0] = 1000;
    values[1] = 2000;
    EXPECT_EQ(mixer->SetValueById(13, values, size), 0);
    EXPECT_EQ(system.value(0, 13), (std::vector<std::uint32_t>{1000, 2000}));
}

TEST_F(OpenRecordingMixer, UnknownIdsAndShortBuffers) {
    std::uint32_t values[2] = {0, 0};
    std::uint32_t size = sizeof(values);
    EXPECT_EQ(mixer->GetValueById(999, values, size), -3);
    EXPECT_EQ(size, 0u);
    size = sizeof(values);
    EXPECT_EQ(mixer->SetValueById(999, values, size), -3);
    EXPECT_EQ(size, 0u);

    // A stereo value does not fit in 4 bytes; the mono microphone line does.
    size = 4;
    EXPECT_EQ(mixer->GetValueById(13, values, size), -2);
    EXPECT_EQ(size, 8u);
    size = 4;
    EXPECT_EQ(mixer->GetValueById(11, values, size), 0);

    // Controls of a later destination are found too; a short buffer there still says so.
    size = 4;
    EXPECT_EQ(mixer->GetValueById(21, values, size), 0);
    char text[2];
    size = sizeof(text);
    EXPECT_EQ(mixer->GetValueById(20, text, size), -2);  // a one-item list needs 4 bytes
    EXPECT_EQ(size, 4u);
}

TEST_F(OpenRecordingMixer, IndexesOutOfRangeMakeNoPlatformCall) {
    std::size_t before = system.calls.size();
    MIXERLINEA lineOut;
    MIXERCONTROLA control;
    std::uint32_t values[2];
    std::uint32_t size = sizeof(values);
    EXPECT_EQ(mixer->GetDestinationLine(3, &lineOut), -1);
    EXPECT_EQ(mixer->GetDestinationLine(-1, &lineOut), -1);
    EXPECT_EQ(mixer->GetSourceLine(1, 3, &lineOut), -1);
    EXPECT_EQ(mixer->GetSourceLine(1, -1, &lineOut), -1);
    EXPECT_EQ(mixer->GetSourceCount(3), -1);
    EXPECT_EQ(mixer->GetDestinationControlCount(-1), -1);
    EXPECT_EQ(mixer->GetSourceControlCount(1, 3), -1);
    EXPECT_EQ(mixer->GetSourceControlCount(1, -1), -1);
    EXPECT_EQ(mixer->GetDestinationControl(1, 1, &control), -1);
    EXPECT_EQ(mixer->GetSourceControl(1, 0, 2, &control), -1);
    EXPECT_EQ(mixer->GetDestinationControlId(0, 2), -1);
    EXPECT_EQ(mixer->GetSourceControlId(1, 2, 1), -1);
    EXPECT_EQ(mixer->GetDestinationControlValue(1, 1, values, size), -1);
    EXPECT_EQ(mixer->SetDestinationControlValue(4, 0, values, size), -1);
    EXPECT_EQ(mixer->GetSourceControlValue(1, 5, 0, values, size), -1);
    EXPECT_EQ(system.calls.size(), before);
}

}  // namespace
}  // namespace quavelink
