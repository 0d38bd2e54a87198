#include "mixer/mixer.h"

#include <cstring>
#include <new>

#include "platform/log.h"
#include "platform/message_box.h"

namespace quavelink {
namespace {

constexpr std::uint32_t kListTypeBits = 0x70010001;

bool isListType(std::uint32_t type) { return (type & kListTypeBits) == kListTypeBits; }

void errorBox(MessageBoxHost* boxes, const char* text) {
    // The two boxes have no owner window and the caption "Error".
    if (boxes != nullptr) {
        boxes->ShowMessageBox(text);
    } else {
        logLine("%s\n", text);
    }
}

}  // namespace

// ---- CMixerControl ----

CMixerControl::CMixerControl(MixerSystem& system) : system(system) {}

CMixerControl::~CMixerControl() = default;

int CMixerControl::GetControlInfo(const MIXERLINEA& lineIn, HMIXER handleIn) {
    if (lineIn.cControls == 0 || !controls.empty()) return kMixerFailed;
    handle = handleIn;
    try {
        controls.assign(lineIn.cControls, MIXERCONTROLA{});
    } catch (const std::bad_alloc&) {
        return kMixerFailed;
    }
    count = static_cast<int>(lineIn.cControls);
    query = MIXERLINECONTROLSA{};
    query.cbStruct = sizeof(MIXERLINECONTROLSA);
    query.dwLineID = lineIn.dwLineID;
    query.dwControlID = 0;
    query.cControls = lineIn.cControls;
    query.cbmxctrl = sizeof(MIXERCONTROLA);
    query.pamxctrl = controls.data();
    if (system.mixerGetLineControlsA(handle, &query, MIXER_GETLINECONTROLSF_ALL) !=
        MMSYSERR_NOERROR) {
        controls.clear();
        query.pamxctrl = nullptr;
        count = 0;
        return kMixerFailed;
    }
    line = lineIn;
    logLine("GetControlInfo: Mixer line %s\n", line.szName);
    readFlags.assign(count, 0);
    details.assign(count, ValueRecord{});
    if (PrepareDetails() < 0) return kMixerFailed;
    return count;
}

int CMixerControl::PrepareDetails() {
    for (int i = 0; i < count; ++i) {
        const MIXERCONTROLA& control = controls[i];
        ValueRecord& record = details[i];
        readFlags[i] = 0;
        record.details = MIXERCONTROLDETAILS{};
        record.details.cbStruct = sizeof(MIXERCONTROLDETAILS);
        record.details.dwControlID = 0;
        if ((control.fdwControl & MIXERCONTROL_CONTROLF_MULTIPLE) != 0) {
            record.details.cChannels = 1;
            record.details.cMultipleItems = control.cMultipleItems;
        } else {
            record.details.cChannels = line.cChannels;
            record.details.cMultipleItems = 0;
        }
        switch (control.dwControlType & MIXERCONTROL_CT_CLASS_MASK) {
            case MIXERCONTROL_CT_CLASS_CUSTOM:
                record.details.cbDetails = control.Metrics.cbCustomData;
                break;
            case MIXERCONTROL_CT_CLASS_SWITCH:
            case MIXERCONTROL_CT_CLASS_SLIDER:
            case MIXERCONTROL_CT_CLASS_FADER:
            case MIXERCONTROL_CT_CLASS_LIST:
                record.details.cbDetails = 4;
                break;
            default:  // meter, number, time
                return kMixerFailed;
        }
        try {
            record.buffer.assign(valueSize(i), 0);
        } catch (const std::bad_alloc&) {
            return kMixerFailed;
        }
        record.details.paDetails = record.buffer.data();
    }
    return 0;
}

std::uint32_t CMixerControl::valueSize(int index) const {
    const MIXERCONTROLDETAILS& record = details[index].details;
    std::uint64_t size = std::uint64_t{record.cbDetails} * record.cChannels;
    if (record.cMultipleItems != 0) size *= record.cMultipleItems;
    // A platform that claims more than fits in a 32-bit size gets no value exchange at all.
    return size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<std::uint32_t>(size);
}

int CMixerControl::find(std::uint32_t controlId) const {
    for (int i = 0; i < count; ++i) {
        if (controls[i].dwControlID == controlId) return i;
    }
    return -1;
}

bool CMixerControl::fetchNames(int index, std::vector<MIXERCONTROLDETAILS_LISTTEXTA>& names) {
    MIXERCONTROLDETAILS copy = details[index].details;
    copy.cbDetails = sizeof(MIXERCONTROLDETAILS_LISTTEXTA);
    try {
        names.assign(std::size_t{copy.cChannels} * copy.cMultipleItems,
                     MIXERCONTROLDETAILS_LISTTEXTA{});
    } catch (const std::bad_alloc&) {
        return false;
    }
    copy.paDetails = names.data();
    if (system.mixerGetControlDetailsA(handle, &copy, MIXER_GETCONTROLDETAILSF_LISTTEXT) !=
        MMSYSERR_NOERROR) {
        return false;
    }
    // The platform owns the names it wrote; make sure each ends inside its field.
    for (auto& name : names) name.szName[sizeof(name.szName) - 1] = '\0';
    return true;
}

int CMixerControl::GetValue(std::uint32_t controlId, void* buffer, std::uint32_t& size) {
    int i = find(controlId);
    if (i < 0) {
        size = 0;
        return kMixerNoSuchControl;
    }
    std::uint32_t needed = valueSize(i);
    if (size < needed) {
        size = needed;
        return kMixerBufferTooSmall;
    }
    std::memset(buffer, 0, size);
    ValueRecord& record = details[i];
    record.details.dwControlID = controlId;
    if (isListType(controls[i].dwControlType)) {
        std::vector<MIXERCONTROLDETAILS_LISTTEXTA> names;
        if (!fetchNames(i, names)) return kMixerFailed;
        if (system.mixerGetControlDetailsA(handle, &record.details,
                                           MIXER_GETCONTROLDETAILSF_VALUE) != MMSYSERR_NOERROR) {
            return kMixerFailed;
        }
        auto* text = static_cast<char*>(buffer);
        text[0] = '\0';
        const auto* selected = reinterpret_cast<const std::uint32_t*>(record.buffer.data());
        std::uint32_t items = record.details.cMultipleItems;
        for (std::uint32_t j = 0; j < items && j < names.size(); ++j) {
            std::size_t length = std::strlen(names[j].szName);
            if (selected[j] != 0 && length < size) std::memcpy(text, names[j].szName, length + 1);
        }
        readFlags[i] = 1;
        return 0;
    }
    if (system.mixerGetControlDetailsA(handle, &record.details, MIXER_GETCONTROLDETAILSF_VALUE) !=
        MMSYSERR_NOERROR) {
        return kMixerFailed;
    }
    readFlags[i] = 1;
    std::memcpy(buffer, record.buffer.data(), needed);
    return 0;
}

int CMixerControl::SetValue(std::uint32_t controlId, const void* buffer, std::uint32_t& size) {
    int i = find(controlId);
    if (i < 0) {
        size = 0;
        return kMixerNoSuchControl;
    }
    if (readFlags[i] == 0) return kMixerFailed;
    std::uint32_t needed = valueSize(i);
    if (size < needed) {
        size = needed;
        return kMixerBufferTooSmall;
    }
    ValueRecord& record = details[i];
    record.details.dwControlID = controlId;
    if (isListType(controls[i].dwControlType)) {
        std::vector<MIXERCONTROLDETAILS_LISTTEXTA> names;
        if (!fetchNames(i, names)) return kMixerFailed;
        // The caller's text need not end inside its buffer.
        std::string text(static_cast<const char*>(buffer),
                         strnlen(static_cast<const char*>(buffer), size));
        auto* selected = reinterpret_cast<std::uint32_t*>(record.buffer.data());
        bool matched = false;
        std::uint32_t items = record.details.cMultipleItems;
        for (std::uint32_t j = 0; j < items && j < names.size(); ++j) {
            selected[j] = text == names[j].szName ? 1 : 0;
            matched = matched || selected[j] != 0;
        }
        if (!matched) {
            logLine("Could not set input multiplexer source '%s', not found\n", text.c_str());
            return 0;
        }
    } else {
        std::memcpy(record.buffer.data(), buffer, needed);
    }
    return system.mixerSetControlDetails(handle, &record.details, MIXER_SETCONTROLDETAILSF_VALUE) ==
                   MMSYSERR_NOERROR
               ? 0
               : kMixerFailed;
}

int CMixerControl::GetControl(int index, MIXERCONTROLA* out) const {
    if (index < 0 || index >= count) return kMixerFailed;
    *out = controls[index];
    return static_cast<int>(line.cChannels);
}

long long CMixerControl::GetControlId(int index) const {
    if (index < 0 || index >= count) return kMixerFailed;
    return controls[index].dwControlID;
}

// ---- CMixerDestination ----

CMixerDestination::CMixerDestination(MixerSystem& system, MessageBoxHost* boxes)
    : system(system), boxes(boxes) {}

CMixerDestination::~CMixerDestination() = default;

int CMixerDestination::Init(int index, HMIXER handleIn) {
    handle = handleIn;
    destinationIndex = index;
    line = MIXERLINEA{};
    line.cbStruct = sizeof(MIXERLINEA);
    line.dwDestination = static_cast<std::uint32_t>(index);
    line.dwSource = 0;
    if (system.mixerGetLineInfoA(handle, &line,
                                 MIXER_GETLINEINFOF_DESTINATION | MIXER_OBJECTF_HMIXER) !=
        MMSYSERR_NOERROR) {
        errorBox(boxes, "mixerGetLineInfo call failed!");
        ownControlCount = 0;
        return kMixerFailed;
    }
    line.szName[sizeof(line.szName) - 1] = '\0';
    line.szShortName[sizeof(line.szShortName) - 1] = '\0';
    logLine("  Mixer destination %s (%s)\n", line.szName, line.szShortName);
    ownControlCount = line.cControls;
    int result = 0;
    const std::uint32_t type = line.dwComponentType;
    if (type != MIXERLINE_COMPONENTTYPE_DST_SPEAKERS) result = LoadSources();
    if (ownControlCount != 0 && (type == MIXERLINE_COMPONENTTYPE_DST_SPEAKERS ||
                                 type == MIXERLINE_COMPONENTTYPE_DST_WAVEIN ||
                                 type == MIXERLINE_COMPONENTTYPE_DST_VOICEIN)) {
        ownControls = std::make_unique<CMixerControl>(system);
        return ownControls->GetControlInfo(line, handle);
    }
    ownControlCount = 0;
    return result;
}

int CMixerDestination::LoadSources() {
    if (handle == kNoMixer) return kMixerFailed;
    sourceCount = line.cConnections;
    if (sourceCount == 0) return kMixerBufferTooSmall;
    try {
        sourceLines.assign(sourceCount, MIXERLINEA{});
        sourceControls.clear();
        sourceControls.reserve(sourceCount);
        for (std::uint32_t i = 0; i < sourceCount; ++i) {
            sourceControls.push_back(std::make_unique<CMixerControl>(system));
        }
    } catch (const std::bad_alloc&) {
        sourceLines.clear();
        sourceControls.clear();
        sourceCount = 0;
        return kMixerFailed;
    }
    for (std::uint32_t i = 0; i < sourceCount; ++i) {
        MIXERLINEA& source = sourceLines[i];
        source = line;
        source.dwSource = i;
        system.mixerGetLineInfoA(handle, &source, MIXER_GETLINEINFOF_SOURCE);
        source.szName[sizeof(source.szName) - 1] = '\0';
        source.szShortName[sizeof(source.szShortName) - 1] = '\0';
        sourceControls[i]->GetControlInfo(source, handle);
    }
    return 0;
}

template <typename Access>
int CMixerDestination::askAll(std::uint32_t& size, Access access) {
    int result = kMixerNoSuchControl;
    const std::uint32_t given = size;
    // Identifiers are unique in a mixer: the set that knows the control has the last word, so
    // its -1 (say, a write before any read) is not lost to the sets searched after it.
    auto ask = [&](CMixerControl& controlSet) {
        std::uint32_t trySize = given;
        result = access(controlSet, trySize);
        if (result == kMixerBufferTooSmall) size = trySize;
        return result != kMixerNoSuchControl;
    };
    if (ownControls && ask(*ownControls)) return result;
    for (auto& controlSet : sourceControls) {
        if (ask(*controlSet)) return result;
    }
    if (result == kMixerNoSuchControl) size = 0;
    return result;
}

int CMixerDestination::GetValueById(std::uint32_t controlId, void* buffer, std::uint32_t& size) {
    return askAll(size, [&](CMixerControl& controlSet, std::uint32_t& trySize) {
        return controlSet.GetValue(controlId, buffer, trySize);
    });
}

int CMixerDestination::SetValueById(std::uint32_t controlId, const void* buffer,
                                    std::uint32_t& size) {
    return askAll(size, [&](CMixerControl& controlSet, std::uint32_t& trySize) {
        return controlSet.SetValue(controlId, buffer, trySize);
    });
}

bool CMixerDestination::validSource(int source) const {
    return source >= 0 && static_cast<std::uint32_t>(source) < sourceCount;
}

int CMixerDestination::GetSourceLine(int source, MIXERLINEA* out) const {
    if (!validSource(source)) return kMixerFailed;
    *out = sourceLines[source];
    return 0;
}

int CMixerDestination::GetSourceControlCount(int source) const {
    if (!validSource(source)) return kMixerFailed;
    return sourceControls[source]->GetCount();
}

int CMixerDestination::GetOwnControl(int index, MIXERCONTROLA* out) const {
    if (!ownControls || index < 0 || static_cast<std::uint32_t>(index) >= ownControlCount) {
        return kMixerFailed;
    }
    return ownControls->GetControl(index, out);
}

int CMixerDestination::GetSourceControl(int source, int index, MIXERCONTROLA* out) const {
    if (!validSource(source)) return kMixerFailed;
    return sourceControls[source]->GetControl(index, out);
}

long long CMixerDestination::GetOwnControlId(int index) const {
    if (!ownControls || index < 0 || static_cast<std::uint32_t>(index) >= ownControlCount) {
        return kMixerFailed;
    }
    return ownControls->GetControlId(index);
}

long long CMixerDestination::GetSourceControlId(int source, int index) const {
    if (!validSource(source)) return kMixerFailed;
    return sourceControls[source]->GetControlId(index);
}

// ---- CMixer ----

CMixer::CMixer(MixerSystem& system, MessageBoxHost* boxes)
    : system(system), boxes(boxes), deviceCount(system.mixerGetNumDevs()) {}

CMixer::~CMixer() { close(); }

void CMixer::close() {
    if (handle != kNoMixer) system.mixerClose(handle);
    handle = kNoMixer;
}

int CMixer::Open(std::uint32_t waveDeviceId, MixerNotifyTarget* notifyWindow, bool isInput) {
    if (deviceCount == 0 || waveDeviceId >= deviceCount) return kMixerFailed;
    close();
    std::uint32_t flags = isInput ? MIXER_OBJECTF_WAVEIN : MIXER_OBJECTF_WAVEOUT;
    if (notifyWindow != nullptr) flags |= CALLBACK_WINDOW;
    HMIXER opened = kNoMixer;
    if (system.mixerOpen(&opened, waveDeviceId, notifyWindow, flags) != MMSYSERR_NOERROR) {
        handle = kNoMixer;
        return kMixerFailed;
    }
    handle = opened;
    int result = GetDestinationDetails();
    if (result < 0) return result;

    int speakers = -1;
    int waveIn = -1;
    int voiceIn = -1;
    for (int d = 0; d < destinationCount; ++d) {
        MIXERLINEA destinationLine;
        if (GetDestinationLine(d, &destinationLine) < 0) continue;
        switch (destinationLine.dwComponentType) {
            case MIXERLINE_COMPONENTTYPE_DST_SPEAKERS:
                if (speakers < 0) speakers = d;
                break;
            case MIXERLINE_COMPONENTTYPE_DST_WAVEIN:
                if (waveIn < 0) waveIn = d;
                break;
            case MIXERLINE_COMPONENTTYPE_DST_VOICEIN:
                if (voiceIn < 0) voiceIn = d;
                break;
            default:
                break;
        }
    }
    chosenDestination = -1;
    if (isInput) {
        if (waveIn >= 0) {
            chosenDestination = waveIn;
            logLine("Mixer destination for input is WAVEIN\n");
        } else if (voiceIn >= 0) {
            chosenDestination = voiceIn;
            logLine("Mixer destination for input is VOICEIN\n");
        }
    } else if (speakers >= 0) {
        chosenDestination = speakers;
        logLine("Mixer destination for output is SPEAKERS\n");
    }
    if (chosenDestination < 0) {
        logLine("Warning: No suitable mixer destination found for %s\n",
                isInput ? "input" : "output");
        chosenDestination = destinationCount - 1;
    }
    return 0;
}

int CMixer::ReadCaps() {
    MIXERCAPSA read{};
    if (system.mixerGetDevCapsA(handle, &read, sizeof(read)) != MMSYSERR_NOERROR) {
        return kMixerFailed;
    }
    read.szPname[sizeof(read.szPname) - 1] = '\0';
    caps = read;
    return 0;
}

int CMixer::GetCaps(MIXERCAPSA* out) const {
    if (deviceCount == 0) return kMixerFailed;
    *out = caps;
    return static_cast<int>(sizeof(MIXERCAPSA));
}

int CMixer::GetDestinationDetails() {
    if (ReadCaps() < 0) return kMixerFailed;
    logLine("GetDestinationDetails: Mixer name %s\n", caps.szPname);
    destinationCount = 0;
    destinations.clear();
    std::uint32_t count = caps.cDestinations;
    if (count == 0) {
        errorBox(boxes, "Mixer has no destinations!");
        return kMixerFailed;
    }
    try {
        destinations.reserve(count);
        for (std::uint32_t i = 0; i < count; ++i) {
            destinations.push_back(std::make_unique<CMixerDestination>(system, boxes));
        }
    } catch (const std::bad_alloc&) {
        destinations.clear();
        return kMixerFailed;
    }
    destinationCount = static_cast<int>(count);
    int failure = 0;
    for (int i = 0; i < destinationCount; ++i) {
        int result = destinations[i]->Init(i, handle);
        if (result < 0) failure = result;
    }
    return failure < 0 ? failure : destinationCount;
}

const CMixerDestination* CMixer::loaded(int dest) const {
    if (dest < 0 || dest >= destinationCount) return nullptr;
    const CMixerDestination* destination = destinations[dest].get();
    return destination->GetIndex() < 0 ? nullptr : destination;
}

int CMixer::GetDestinationLine(int dest, MIXERLINEA* out) const {
    const CMixerDestination* destination = loaded(dest);
    if (destination == nullptr) return kMixerFailed;
    *out = destination->GetLine();
    return 0;
}

int CMixer::GetSourceLine(int dest, int source, MIXERLINEA* out) const {
    const CMixerDestination* destination = loaded(dest);
    return destination == nullptr ? kMixerFailed : destination->GetSourceLine(source, out);
}

int CMixer::GetSourceCount(int dest) const {
    if (dest < 0 || dest >= destinationCount) return kMixerFailed;
    return static_cast<int>(destinations[dest]->GetSourceCount());
}

int CMixer::GetDestinationControlCount(int dest) const {
    if (dest < 0 || dest >= destinationCount) return kMixerFailed;
    return static_cast<int>(destinations[dest]->GetOwnControlCount());
}

int CMixer::GetSourceControlCount(int dest, int source) const {
    if (dest < 0 || dest >= destinationCount) return kMixerFailed;
    return destinations[dest]->GetSourceControlCount(source);
}

int CMixer::GetDestinationControl(int dest, int index, MIXERCONTROLA* out) const {
    if (dest < 0 || dest >= destinationCount) return kMixerFailed;
    return destinations[dest]->GetOwnControl(index, out);
}

int CMixer::GetSourceControl(int dest, int source, int index, MIXERCONTROLA* out) const {
    if (dest < 0 || dest >= destinationCount) return kMixerFailed;
    return destinations[dest]->GetSourceControl(source, index, out);
}

long long CMixer::GetDestinationControlId(int dest, int index) const {
    if (dest < 0 || dest >= destinationCount) return kMixerFailed;
    return destinations[dest]->GetOwnControlId(index);
}

long long CMixer::GetSourceControlId(int dest, int source, int index) const {
    if (dest < 0 || dest >= destinationCount) return kMixerFailed;
    return destinations[dest]->GetSourceControlId(source, index);
}

int CMixer::GetValueById(std::uint32_t controlId, void* buffer, std::uint32_t& size) {
    if (destinations.empty()) return kMixerFailed;
    int result = kMixerFailed;
    const std::uint32_t given = size;
    for (auto& destination : destinations) {
        std::uint32_t trySize = given;
        result = destination->GetValueById(controlId, buffer, trySize);
        if (result != kMixerNoSuchControl) {
            if (result == kMixerBufferTooSmall) size = trySize;
            return result;
        }
    }
    size = 0;
    return result;
}

int CMixer::SetValueById(std::uint32_t controlId, const void* buffer, std::uint32_t& size) {
    if (destinations.empty()) return kMixerFailed;
    int result = kMixerFailed;
    const std::uint32_t given = size;
    for (auto& destination : destinations) {
        std::uint32_t trySize = given;
        result = destination->SetValueById(controlId, buffer, trySize);
        if (result != kMixerNoSuchControl) {
            if (result == kMixerBufferTooSmall) size = trySize;
            return result;
        }
    }
    size = 0;
    return result;
}

int CMixer::GetDestinationControlValue(int dest, int index, void* buffer, std::uint32_t& size) {
    long long id = GetDestinationControlId(dest, index);
    if (id < 0) return static_cast<int>(id);
    return destinations[dest]->GetValueById(static_cast<std::uint32_t>(id), buffer, size);
}

int CMixer::SetDestinationControlValue(int dest, int index, const void* buffer,
                                       std::uint32_t& size) {
    long long id = GetDestinationControlId(dest, index);
    if (id < 0) return static_cast<int>(id);
    return destinations[dest]->SetValueById(static_cast<std::uint32_t>(id), buffer, size);
}

int CMixer::GetSourceControlValue(int dest, int source, int index, void* buffer,
                                  std::uint32_t& size) {
    long long id = GetSourceControlId(dest, source, index);
    if (id < 0) return static_cast<int>(id);
    return destinations[dest]->GetValueById(static_cast<std::uint32_t>(id), buffer, size);
}

}  // namespace quavelink
