#include <gtest/gtest.h>
#include <pulse/pulseaudio.h>
#include <signal.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "mixer/mixer.h"
#include "platform/mixer/pulse_mixer_system.h"
#include "pulse_daemon.h"

namespace quavelink {
namespace {

using test::PulseDaemon;

// Stands in for the window thread: posted work waits here until the test runs it.
class PostedWork {
  public:
    WindowThreadPoster poster() {
        return [this](std::function<void()> work) {
            std::lock_guard lock(mutex);
            queue.push_back(std::move(work));
        };
    }
    void runAll() {
        std::deque<std::function<void()>> now;
        {
            std::lock_guard lock(mutex);
            now.swap(queue);
        }
        for (auto& work : now) work();
    }

  private:
    std::mutex mutex;
    std::deque<std::function<void()>> queue;
};

class Changes : public MixerNotifyTarget {
  public:
    void OnMixerControlChange(HMIXER, std::uint32_t controlId) override {
        ids.push_back(controlId);
    }
    bool saw(std::uint32_t id) const { return std::find(ids.begin(), ids.end(), id) != ids.end(); }
    std::vector<std::uint32_t> ids;
};

// Runs the posted work until `done` holds; false after 5 s without it.
bool pumpUntil(PostedWork& work, const std::function<bool()>& done) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < end) {
        work.runAll();
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

const std::vector<std::string> kModules = {
    "module-null-sink sink_name=test rate=48000 sink_properties=device.description=QuaveSink",
    "module-null-sink sink_name=other rate=44100 sink_properties=device.description=OtherSink",
    "module-null-source source_name=mic description=QuaveMic",
    "module-null-source source_name=mono channels=1 description=MonoMic",
};

class PulseMixer : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(daemon.ready());
        ASSERT_EQ(daemon.pactl("set-default-sink test"), 0);
        system = CreatePulseMixerSystem(work.poster());
    }
    // The fader values (left, right) of the `kind` ("sink" or "source") `name` per pactl.
    std::vector<std::uint32_t> pactlVolume(const std::string& kind, const std::string& name) {
        auto text = daemon.pactlOutput("get-" + kind + "-volume " + name);
        std::vector<std::uint32_t> values;
        if (!text) return values;
        // "Volume: front-left: 40001 /  61% / ..., front-right: ..."
        std::size_t at = 0;
        while ((at = text->find(": ", at)) != std::string::npos) {
            at += 2;
            char* end = nullptr;
            unsigned long value = std::strtoul(text->c_str() + at, &end, 10);
            if (end != text->c_str() + at && std::strncmp(end, " /", 2) == 0) {
                values.push_back(faderFromPulseVolume(static_cast<std::uint32_t>(value)));
            }
        }
        return values;
    }

    PulseDaemon daemon{kModules};
    PostedWork work;
    std::unique_ptr<MixerSystem> system;
};

TEST_F(PulseMixer, OutputMixerIsTheDefaultSinkBothWays) {
    EXPECT_EQ(system->mixerGetNumDevs(), 2u);  // two sources that are not monitors
    Changes changes;
    CMixer mixer(*system);
    ASSERT_EQ(mixer.Open(0, &changes, false), 0);
    MIXERCAPSA caps;
    ASSERT_EQ(mixer.GetCaps(&caps), 48);
    EXPECT_STREQ(caps.szPname, "QuaveSink");
    int d = mixer.GetDestination();
    MIXERLINEA line;
    ASSERT_EQ(mixer.GetDestinationLine(d, &line), 0);
    EXPECT_EQ(line.dwComponentType, MIXERLINE_COMPONENTTYPE_DST_SPEAKERS);
    EXPECT_EQ(line.cChannels, 2u);
    long long volumeId = mixer.GetDestinationControlId(d, 0);
    long long muteId = mixer.GetDestinationControlId(d, 1);
    ASSERT_GE(volumeId, 0);

    std::uint32_t values[2] = {0, 0};
    std::uint32_t size = sizeof(values);
    ASSERT_EQ(mixer.GetValueById(volumeId, values, size), 0);
    EXPECT_EQ(values[0], 65535u);

    // Changed elsewhere: a notification, and the new value.
    ASSERT_EQ(daemon.pactl("set-sink-volume test 30000 20000"), 0);
    ASSERT_TRUE(pumpUntil(work, [&] { return changes.saw(volumeId); }));
    ASSERT_EQ(mixer.GetValueById(volumeId, values, size), 0);
    EXPECT_EQ(values[0], faderFromPulseVolume(30000));
    EXPECT_EQ(values[1], faderFromPulseVolume(20000));

    // Written here: pactl sees it.
    values[0] = 40000;
    values[1] = 19999;
    ASSERT_EQ(mixer.SetValueById(volumeId, values, size), 0);
    EXPECT_EQ(pactlVolume("sink", "test"), (std::vector<std::uint32_t>{40000, 19999}));
    std::uint32_t muted[2] = {1, 1};
    ASSERT_EQ(mixer.GetValueById(muteId, values, size), 0);
    ASSERT_EQ(mixer.SetValueById(muteId, muted, size), 0);
    EXPECT_EQ(daemon.pactlOutput("get-sink-mute test").value_or(""), "Mute: yes\n");

    // A new default sink is what the output mixer shows and sets from then on. pipewire-pulse
    // tells of the change in two steps (the default asked for, then the one its session manager
    // made) and of our own writes above a little late: the notification that counts is the one
    // after which the mixer reads the new sink.
    changes.ids.clear();
    ASSERT_EQ(daemon.pactl("set-sink-volume other 10000"), 0);
    ASSERT_EQ(daemon.pactl("set-default-sink other"), 0);
    EXPECT_TRUE(pumpUntil(work,
                          [&] {
                              if (!changes.saw(volumeId)) return false;
                              changes.ids.clear();
                              return mixer.GetValueById(volumeId, values, size) == 0 &&
                                     values[0] == faderFromPulseVolume(10000);
                          }))
        << "the output mixer reads " << values[0];
}

TEST_F(PulseMixer, InputMixersAreTheSourcesWithAMultiplexer) {
    Changes changes;
    CMixer first(*system);
    CMixer second(*system);
    CMixer none(*system);
    ASSERT_EQ(first.Open(0, &changes, true), 0);
    ASSERT_EQ(second.Open(1, &changes, true), 0);
    EXPECT_EQ(none.Open(2, &changes, true), -1);
    MIXERCAPSA caps;
    first.GetCaps(&caps);
    EXPECT_STREQ(caps.szPname, "QuaveMic");
    second.GetCaps(&caps);
    EXPECT_STREQ(caps.szPname, "MonoMic");

    // A source without ports has one line, named after it, selected for good.
    int d = first.GetDestination();
    ASSERT_EQ(first.GetSourceCount(d), 1);
    char text[100] = {};
    std::uint32_t size = sizeof(text);
    ASSERT_EQ(first.GetDestinationControlValue(d, 0, text, size), 0);
    EXPECT_STREQ(text, "QuaveMic");
    EXPECT_EQ(first.SetDestinationControlValue(d, 0, text, size), 0);

    // The line's volume is the source's.
    std::uint32_t values[2] = {0, 0};
    size = sizeof(values);
    ASSERT_EQ(first.GetSourceControlValue(d, 0, 0, values, size), 0);
    long long volumeId = first.GetSourceControlId(d, 0, 0);
    values[0] = 50000;
    values[1] = 25000;
    ASSERT_EQ(first.SetValueById(volumeId, values, size), 0);
    EXPECT_EQ(pactlVolume("source", "mic"), (std::vector<std::uint32_t>{50000, 25000}));
    ASSERT_TRUE(pumpUntil(work, [&] { return changes.saw(volumeId); }));

    // A mono source has a mono line.
    MIXERLINEA line;
    ASSERT_EQ(second.GetSourceLine(second.GetDestination(), 0, &line), 0);
    EXPECT_EQ(line.cChannels, 1u);
    // Control identifiers differ between mixers.
    EXPECT_NE(second.GetSourceControlId(second.GetDestination(), 0, 0), volumeId);
}

TEST_F(PulseMixer, AfterASoundServerRestartTheControlsAreReadAgainAndWorkOn) {
    Changes changes;
    CMixer mixer(*system);
    ASSERT_EQ(mixer.Open(0, &changes, false), 0);
    int d = mixer.GetDestination();
    long long volumeId = mixer.GetDestinationControlId(d, 0);
    ASSERT_GE(volumeId, 0);

    daemon.kill(SIGKILL);
    ASSERT_TRUE(daemon.restart());
    ASSERT_EQ(daemon.pactl("set-default-sink test"), 0);
    ASSERT_EQ(daemon.pactl("set-sink-volume test 30000"), 0);
    // The window is told to read every control again, and reads the restarted server's value.
    ASSERT_TRUE(pumpUntil(work, [&] { return changes.saw(volumeId); }));
    std::uint32_t values[2] = {0, 0};
    std::uint32_t size = sizeof(values);
    ASSERT_EQ(mixer.GetValueById(volumeId, values, size), 0);
    EXPECT_EQ(values[0], faderFromPulseVolume(30000));

    // Changes go both ways again: written here, and seen when made elsewhere.
    values[0] = values[1] = 40000;
    ASSERT_EQ(mixer.SetValueById(volumeId, values, size), 0);
    EXPECT_EQ(pactlVolume("sink", "test"), (std::vector<std::uint32_t>{40000, 40000}));
    changes.ids.clear();
    ASSERT_EQ(daemon.pactl("set-sink-volume test 20000"), 0);
    ASSERT_TRUE(pumpUntil(work, [&] { return changes.saw(volumeId); }));
}

// Another client that changes the volume of `sink` without pause on a thread of its own, each
// change followed by the mixer's queries about it, until it goes or the server does.
class EndlessVolumeChanges {
  public:
    explicit EndlessVolumeChanges(const std::string& sink)
        : thread([this, sink](std::stop_token stop) { run(sink, stop); }) {}

  private:
    static void run(const std::string& sink, const std::stop_token& stop) {
        pa_mainloop* loop = pa_mainloop_new();
        pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "volume changes");
        pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr);
        for (pa_volume_t step = 0;
             !stop.stop_requested() && PA_CONTEXT_IS_GOOD(pa_context_get_state(context)); ++step) {
            if (pa_context_get_state(context) == PA_CONTEXT_READY) {
                pa_cvolume volume;
                // Below 100 %, where every step is a fader value of its own.
                pa_cvolume_set(&volume, 2, PA_VOLUME_NORM / 4 + step % 2048 * 16);
                pa_operation* operation = pa_context_set_sink_volume_by_name(
                    context, sink.c_str(), &volume, nullptr, nullptr);
                // Answered before the next: the server is never far behind.
                while (operation && pa_operation_get_state(operation) == PA_OPERATION_RUNNING &&
                       !stop.stop_requested()) {
                    pa_mainloop_iterate(loop, 1, nullptr);
                }
                if (operation) pa_operation_unref(operation);
            } else {
                pa_mainloop_iterate(loop, 1, nullptr);
            }
        }
        pa_context_disconnect(context);
        pa_context_unref(context);
        pa_mainloop_free(loop);
    }

    std::jthread thread;
};

// libpulse forgets the queries still running when its connection dies, callbacks and all: what
// such a query owned would be left behind (LeakSanitizer, in the sanitizer build, tells) with
// each death of the sound server in the middle of the mixer's work.
TEST_F(PulseMixer, ASoundServerThatDiesBusyWithTheMixerLeavesItWorking) {
    Changes changes;
    CMixer output(*system);
    ASSERT_EQ(output.Open(0, &changes, false), 0);
    long long volumeId = output.GetDestinationControlId(output.GetDestination(), 0);
    for (int round = 0; round < 5; ++round) {
        changes.ids.clear();
        EndlessVolumeChanges volumeChanges("test");
        ASSERT_TRUE(pumpUntil(work, [&] { return changes.saw(volumeId); }));
        daemon.kill(SIGKILL);
        ASSERT_TRUE(daemon.restart());
        ASSERT_EQ(daemon.pactl("set-default-sink test"), 0);
    }
    changes.ids.clear();
    ASSERT_EQ(daemon.pactl("set-sink-volume test 20000"), 0);
    ASSERT_TRUE(pumpUntil(work, [&] { return changes.saw(volumeId); }));
}

TEST(PulseMixerVolume, EveryFaderValueSurvivesTheRoundTrip) {
    for (std::uint32_t fader = 0; fader <= 65535; ++fader) {
        ASSERT_EQ(faderFromPulseVolume(pulseVolumeFromFader(fader)), fader) << fader;
    }
    EXPECT_EQ(pulseVolumeFromFader(65535), 0x10000u);  // the top is 100 %
    EXPECT_EQ(faderFromPulseVolume(0x20000), 65535u);  // louder than 100 % shows as the top
}

TEST(PulseMixerWithoutServer, HasNoMixerDevice) {
    const char* previous = std::getenv("PULSE_SERVER");
    std::string saved = previous ? previous : "";
    setenv("PULSE_SERVER", "unix:/nonexistent/quavelink-no-server", 1);
    auto system = CreatePulseMixerSystem({});
    EXPECT_EQ(system->mixerGetNumDevs(), 0u);
    HMIXER mixer = kNoMixer;
    EXPECT_NE(system->mixerOpen(&mixer, 0, nullptr, MIXER_OBJECTF_WAVEOUT), MMSYSERR_NOERROR);
    if (previous) {
        setenv("PULSE_SERVER", saved.c_str(), 1);
    } else {
        unsetenv("PULSE_SERVER");
    }
}

}  // namespace
}  // namespace quavelink
