#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/audio/audio_system.h"

namespace quavelink::test {

//! A scripted audio system for unit tests. Devices, formats, packets, empty polls, failures
//! and notifications are set up by the test; what the code under test did is recorded. Any
//! thread; notifications are delivered on the thread of the scripting call.
class FakeAudioSystem : public audio::AudioSystem {
  public:
    struct Device {
        std::string id;
        audio::DataFlow flow = audio::DataFlow::Render;
        audio::MixFormat format;
        audio::EndpointProperties properties;
        bool present = true;
    };

    //! One scripted GetBuffer result.
    struct Packet {
        std::vector<float> samples;  // interleaved frames of the format
        std::uint32_t flags = 0;
        audio::Status error = audio::kOk;  // a failed GetBuffer when negative
    };

    FakeAudioSystem();

    //! Adds a device in the collection order (render and capture devices in any order); a
    //! present one is told to registered clients as added.
    void addDevice(const Device& device);
    //! Makes `id` the default of its flow, telling registered clients when it changed.
    void setDefault(audio::DataFlow flow, const std::string& id);
    //! The device is gone: opening it fails, open streams on it hear DeviceRemoval, and
    //! registered clients hear it removed.
    void removeDevice(const std::string& id);
    //! A removed device is back (a sink loaded again under its name), told as added.
    void restoreDevice(const std::string& id);
    //! The device's mix format changes; open streams on it hear FormatChanged, registered
    //! clients a state change.
    void changeFormat(const std::string& id, const audio::MixFormat& format);
    //! Queues a packet for the next stream that polls device `id`, and sets the packet event of
    //! the streams open on it.
    void pushPacket(const std::string& id, Packet packet);
    //! Queues `frames` frames of the stereo (or wider) tone value `value` on every channel.
    void pushFrames(const std::string& id, std::uint32_t frames, float value,
                    std::uint32_t flags = 0);
    //! Makes operation `key` fail with `status` (`times` < 0: always). Keys:
    //! "CreateDeviceEnumerator", "EnumAudioEndpoints", "GetDefaultAudioEndpoint", "Item",
    //! "OpenPropertyStore:<id>", "Activate:<id>", "GetMixFormat:<id>", "Initialize:<id>:loopback",
    //! "Initialize:<id>:direct", "GetService:capture", "GetService:render",
    //! "GetService:session", "Start", "Stop", "GetBufferSize", "GetCurrentPadding",
    //! "RenderGetBuffer", "RenderReleaseBuffer", "ReleaseBuffer", "Register", "SetEventHandle".
    void fail(const std::string& key, audio::Status status, int times = -1);

    //! Every operation done, in order ("Activate:<id>", "Initialize:<id>:loopback",
    //! "Start:<id>", ...).
    std::vector<std::string> calls();
    int count(const std::string& call);
    //! Waits until `call` has been made at least `times` times; false on time-out.
    bool waitForCall(const std::string& call, int times, int timeoutMs = 3000);
    //! Capture polls (GetBuffer calls) so far.
    int polls();
    //! Frames written by render streams, and those of them flagged silent.
    std::uint32_t renderedFrames();
    std::uint32_t renderedSilentFrames();
    //! Registered endpoint notification clients.
    int notificationClients();

    audio::Status CreateDeviceEnumerator(
        std::shared_ptr<audio::DeviceEnumerator>& enumerator) override;

    struct State;

  private:
    std::shared_ptr<State> state;
};

}  // namespace quavelink::test
