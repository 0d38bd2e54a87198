#include "fake_mixer_system.h"

#include <algorithm>
#include <cstring>

namespace quavelink::test {

void FakeMixerSystem::addDevice(const MixerLayout& layout) {
    Device device;
    device.layout = layout;
    auto initialise = [&](const LineLayout& l) {
        for (const ControlLayout& control : l.controls) {
            std::size_t count = control.items.empty() ? l.channels : control.items.size();
            std::vector<std::uint32_t> values(count, 0);
            if (!control.items.empty()) values[0] = 1;
            device.values[control.id] = values;
        }
    };
    for (const LineLayout& destination : layout.destinations) {
        initialise(destination);
        for (const LineLayout& source : destination.sources) initialise(source);
    }
    devices.push_back(std::move(device));
}

void FakeMixerSystem::fail(const std::string& operation, int times) { failures[operation] = times; }

bool FakeMixerSystem::failing(const std::string& operation) {
    auto found = failures.find(operation);
    if (found == failures.end() || found->second == 0) return false;
    --found->second;
    return true;
}

int FakeMixerSystem::countCalls(const std::string& prefix) const {
    return static_cast<int>(std::count_if(
        calls.begin(), calls.end(), [&](const std::string& c) { return c.rfind(prefix, 0) == 0; }));
}

std::vector<std::uint32_t> FakeMixerSystem::value(int device, std::uint32_t id) const {
    return devices.at(device).values.at(id);
}

void FakeMixerSystem::changeValue(int device, std::uint32_t id, std::vector<std::uint32_t> values) {
    devices.at(device).values.at(id) = std::move(values);
    notifyAll(device, id);
}

void FakeMixerSystem::notifyAll(int device, std::uint32_t id) {
    for (const auto& [handle, opened] : open) {
        if (opened.device != device || opened.notify == nullptr) continue;
        HMIXER mixer = handle;
        pending.push_back([this, mixer, id] {
            auto found = open.find(mixer);
            if (found != open.end() && found->second.notify) {
                found->second.notify->OnMixerControlChange(mixer, id);
            }
        });
    }
}

int FakeMixerSystem::deliver() {
    int count = 0;
    while (!pending.empty()) {
        auto work = std::move(pending.front());
        pending.pop_front();
        work();
        ++count;
    }
    return count;
}

FakeMixerSystem::Device* FakeMixerSystem::deviceOf(HMIXER mixer) {
    auto found = open.find(mixer);
    return found == open.end() ? nullptr : &devices[found->second.device];
}

std::uint32_t FakeMixerSystem::mixerGetNumDevs() {
    calls.push_back("mixerGetNumDevs");
    return reportedCount >= 0 ? static_cast<std::uint32_t>(reportedCount)
                              : static_cast<std::uint32_t>(devices.size());
}

MMRESULT FakeMixerSystem::mixerOpen(HMIXER* mixer, std::uint32_t deviceId,
                                    MixerNotifyTarget* notify, std::uint32_t flags) {
    calls.push_back("mixerOpen:" + std::to_string(deviceId));
    lastOpenFlags = flags;
    if (failing("mixerOpen") || failing("mixerOpen:" + std::to_string(deviceId))) {
        return MMSYSERR_ERROR;
    }
    std::size_t device = deviceId;
    if ((flags & MIXER_OBJECTF_TYPEMASK) == MIXER_OBJECTF_WAVEIN) device += firstWaveIn;
    if (device >= devices.size()) return MMSYSERR_BADDEVICEID;
    *mixer = nextHandle++;
    open[*mixer] = Open{static_cast<int>(device), notify};
    return MMSYSERR_NOERROR;
}

MMRESULT FakeMixerSystem::mixerClose(HMIXER mixer) {
    calls.push_back("mixerClose");
    return open.erase(mixer) == 1 ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE;
}

MMRESULT FakeMixerSystem::mixerGetDevCapsA(HMIXER mixer, MIXERCAPSA* caps, std::uint32_t capsSize) {
    calls.push_back("mixerGetDevCapsA");
    Device* device = deviceOf(mixer);
    if (device == nullptr) return MMSYSERR_INVALHANDLE;
    if (failing("mixerGetDevCapsA")) return MMSYSERR_ERROR;
    return fillCaps(device->layout, caps, capsSize);
}

MMRESULT FakeMixerSystem::mixerGetLineInfoA(HMIXER mixer, MIXERLINEA* line, std::uint32_t flags) {
    calls.push_back("mixerGetLineInfoA");
    Device* device = deviceOf(mixer);
    if (device == nullptr) return MMSYSERR_INVALHANDLE;
    if (failing("mixerGetLineInfoA")) return MMSYSERR_ERROR;
    return fillLineInfo(device->layout, line, flags);
}

MMRESULT FakeMixerSystem::mixerGetLineControlsA(HMIXER mixer, MIXERLINECONTROLSA* query,
                                                std::uint32_t flags) {
    calls.push_back("mixerGetLineControlsA");
    Device* device = deviceOf(mixer);
    if (device == nullptr) return MMSYSERR_INVALHANDLE;
    if (failing("mixerGetLineControlsA")) return MMSYSERR_ERROR;
    return fillLineControls(device->layout, query, flags);
}

MMRESULT FakeMixerSystem::mixerGetControlDetailsA(HMIXER mixer, MIXERCONTROLDETAILS* details,
                                                  std::uint32_t flags) {
    calls.push_back("mixerGetControlDetailsA:" + std::to_string(details->dwControlID));
    Device* device = deviceOf(mixer);
    if (device == nullptr) return MMSYSERR_INVALHANDLE;
    if (failing("mixerGetControlDetailsA")) return MMSYSERR_ERROR;
    if ((flags & MIXER_QUERYMASK) == MIXER_GETCONTROLDETAILSF_LISTTEXT) {
        return fillListText(device->layout, details);
    }
    std::uint32_t channels = 0;
    const ControlLayout* control = device->layout.findControl(details->dwControlID, &channels);
    if (control == nullptr) return MIXERR_INVALCONTROL;
    if (MMRESULT check = checkValueRequest(*control, channels, *details)) return check;
    if ((control->type & MIXERCONTROL_CT_CLASS_MASK) == MIXERCONTROL_CT_CLASS_CUSTOM) {
        std::memset(details->paDetails, 0, details->cbDetails * details->cChannels);
        return MMSYSERR_NOERROR;
    }
    const std::vector<std::uint32_t>& values = device->values[control->id];
    auto* out = static_cast<std::uint32_t*>(details->paDetails);
    if (!control->items.empty()) {
        std::copy(values.begin(), values.end(), out);
    } else if (details->cChannels == 1) {
        out[0] = *std::max_element(values.begin(), values.end());
    } else {
        std::copy(values.begin(), values.end(), out);
    }
    return MMSYSERR_NOERROR;
}

MMRESULT FakeMixerSystem::mixerSetControlDetails(HMIXER mixer, const MIXERCONTROLDETAILS* details,
                                                 std::uint32_t flags) {
    calls.push_back("mixerSetControlDetails:" + std::to_string(details->dwControlID));
    auto found = open.find(mixer);
    if (found == open.end()) return MMSYSERR_INVALHANDLE;
    if (failing("mixerSetControlDetails")) return MMSYSERR_ERROR;
    if ((flags & MIXER_QUERYMASK) != MIXER_SETCONTROLDETAILSF_VALUE) return MMSYSERR_INVALFLAG;
    Device& device = devices[found->second.device];
    std::uint32_t channels = 0;
    const ControlLayout* control = device.layout.findControl(details->dwControlID, &channels);
    if (control == nullptr) return MIXERR_INVALCONTROL;
    if (MMRESULT check = checkValueRequest(*control, channels, *details)) return check;
    if ((control->type & MIXERCONTROL_CT_CLASS_MASK) == MIXERCONTROL_CT_CLASS_CUSTOM) {
        return MMSYSERR_NOERROR;
    }
    std::vector<std::uint32_t>& values = device.values[control->id];
    const auto* in = static_cast<const std::uint32_t*>(details->paDetails);
    if (!control->items.empty() || details->cChannels == values.size()) {
        std::copy(in, in + values.size(), values.begin());
    } else {
        std::fill(values.begin(), values.end(), in[0]);
    }
    notifyAll(found->second.device, control->id);
    return MMSYSERR_NOERROR;
}

ControlLayout volume(std::uint32_t id, std::int32_t maximum) {
    ControlLayout control;
    control.id = id;
    control.type = MIXERCONTROL_CONTROLTYPE_VOLUME;
    control.name = "Volume";
    control.maximum = maximum;
    return control;
}

ControlLayout mute(std::uint32_t id) {
    ControlLayout control;
    control.id = id;
    control.type = MIXERCONTROL_CONTROLTYPE_MUTE;
    control.name = "Mute";
    control.maximum = 1;
    return control;
}

ControlLayout mux(std::uint32_t id, std::vector<std::string> items) {
    ControlLayout control;
    control.id = id;
    control.type = MIXERCONTROL_CONTROLTYPE_MUX;
    control.flags = MIXERCONTROL_CONTROLF_MULTIPLE;
    control.name = "Recording Source";
    control.items = std::move(items);
    return control;
}

ControlLayout meter(std::uint32_t id) {
    ControlLayout control;
    control.id = id;
    control.type = MIXERCONTROL_CONTROLTYPE_PEAKMETER;
    control.name = "Peak";
    return control;
}

LineLayout line(std::uint32_t id, std::uint32_t type, const std::string& name,
                std::uint32_t channels, std::vector<ControlLayout> controls,
                std::vector<LineLayout> sources) {
    LineLayout l;
    l.id = id;
    l.componentType = type;
    l.name = name;
    l.shortName = name.substr(0, 15);
    l.channels = channels;
    l.controls = std::move(controls);
    l.sources = std::move(sources);
    return l;
}

}  // namespace quavelink::test
