#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/mixer/mixer_layout.h"

namespace quavelink::test {

//! A scripted mixer layer: every device is a layout the test builds (any destinations, source
//! lines and controls, meters included), with values held in memory. Records every platform
//! call; notifications wait in a queue until the test delivers them, as the window thread
//! would. Single-threaded, like the window.
class FakeMixerSystem : public MixerSystem {
  public:
    //! Adds mixer device `layout` (wave device number = order of adding). Control ids must be
    //! unique within the device.
    void addDevice(const MixerLayout& layout);
    //! How many mixer devices mixerGetNumDevs reports (default: the number added).
    void setDeviceCount(std::uint32_t count) { reportedCount = count; }
    //! Wave in device k opens device `first` + k (default 0: the same numbers as wave out).
    void setFirstWaveInDevice(int first) { firstWaveIn = first; }
    //! Makes the next `times` calls of `operation` (the method name, e.g.
    //! "mixerGetControlDetailsA") fail; "mixerOpen:<device>" for one device.
    void fail(const std::string& operation, int times = 1);

    //! Values of control `id` of device `device` (per channel, or per item of a list).
    std::vector<std::uint32_t> value(int device, std::uint32_t id) const;
    //! Sets a value as another program would, and queues its notification.
    void changeValue(int device, std::uint32_t id, std::vector<std::uint32_t> values);
    //! Runs the queued notifications; their number.
    int deliver();

    //! Every platform call so far, e.g. "mixerSetControlDetails:<id>".
    std::vector<std::string> calls;
    int countCalls(const std::string& prefix) const;

    std::uint32_t mixerGetNumDevs() override;
    MMRESULT mixerOpen(HMIXER* mixer, std::uint32_t deviceId, MixerNotifyTarget* notify,
                       std::uint32_t flags) override;
    MMRESULT mixerClose(HMIXER mixer) override;
    MMRESULT mixerGetDevCapsA(HMIXER mixer, MIXERCAPSA* caps, std::uint32_t capsSize) override;
    MMRESULT mixerGetLineInfoA(HMIXER mixer, MIXERLINEA* line, std::uint32_t flags) override;
    MMRESULT mixerGetLineControlsA(HMIXER mixer, MIXERLINECONTROLSA* query,
                                   std::uint32_t flags) override;
    MMRESULT mixerGetControlDetailsA(HMIXER mixer, MIXERCONTROLDETAILS* details,
                                     std::uint32_t flags) override;
    MMRESULT mixerSetControlDetails(HMIXER mixer, const MIXERCONTROLDETAILS* details,
                                    std::uint32_t flags) override;

    bool mixerServerRunning() override { return serverRunning; }
    bool serverRunning = true;

    //! The flags of the last mixerOpen.
    std::uint32_t lastOpenFlags = 0;

  private:
    struct Device {
        MixerLayout layout;
        std::map<std::uint32_t, std::vector<std::uint32_t>> values;
    };
    struct Open {
        int device = 0;
        MixerNotifyTarget* notify = nullptr;
    };
    bool failing(const std::string& operation);
    Device* deviceOf(HMIXER mixer);
    void notifyAll(int device, std::uint32_t id);

    std::vector<Device> devices;
    std::map<HMIXER, Open> open;
    HMIXER nextHandle = 100;
    std::map<std::string, int> failures;
    std::deque<std::function<void()>> pending;
    std::int64_t reportedCount = -1;
    int firstWaveIn = 0;
};

// Builders for the layouts of the tests.
ControlLayout volume(std::uint32_t id, std::int32_t maximum = 65535);
ControlLayout mute(std::uint32_t id);
ControlLayout mux(std::uint32_t id, std::vector<std::string> items);
ControlLayout meter(std::uint32_t id);
LineLayout line(std::uint32_t id, std::uint32_t type, const std::string& name,
                std::uint32_t channels, std::vector<ControlLayout> controls,
                std::vector<LineLayout> sources = {});

}  // namespace quavelink::test
