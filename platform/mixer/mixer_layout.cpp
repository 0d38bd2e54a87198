#include "platform/mixer/mixer_layout.h"

#include <algorithm>
#include <cstring>

namespace quavelink {
namespace {

const LineLayout* lineById(const MixerLayout& layout, std::uint32_t id) {
    for (const LineLayout& destination : layout.destinations) {
        if (destination.id == id) return &destination;
        for (const LineLayout& source : destination.sources) {
            if (source.id == id) return &source;
        }
    }
    return nullptr;
}

void fillLine(const MixerLayout& layout, const LineLayout& line, std::uint32_t destination,
              std::uint32_t source, bool isSource, MIXERLINEA* out) {
    out->dwDestination = destination;
    out->dwSource = isSource ? source : 0;
    out->dwLineID = line.id;
    out->fdwLine = MIXERLINE_LINEF_ACTIVE | (isSource ? MIXERLINE_LINEF_SOURCE : 0);
    out->dwComponentType = line.componentType;
    out->cChannels = line.channels;
    out->cConnections = isSource ? 0 : static_cast<std::uint32_t>(line.sources.size());
    out->cControls = static_cast<std::uint32_t>(line.controls.size());
    copyName(out->szShortName, sizeof(out->szShortName), line.shortName);
    copyName(out->szName, sizeof(out->szName), line.name);
    out->Target.dwType = layout.targetType;
    out->Target.dwDeviceID = 0;
    copyName(out->Target.szPname, sizeof(out->Target.szPname), layout.productName);
}

std::uint32_t elementSize(const ControlLayout& control) {
    if ((control.type & MIXERCONTROL_CT_CLASS_MASK) == MIXERCONTROL_CT_CLASS_CUSTOM) {
        return control.customSize;
    }
    return 4;
}

}  // namespace

void copyName(char* field, std::size_t fieldSize, const std::string& text) {
    if (fieldSize == 0) return;
    std::size_t length = std::min(text.size(), fieldSize - 1);
    std::memcpy(field, text.data(), length);
    std::memset(field + length, 0, fieldSize - length);
}

const ControlLayout* MixerLayout::findControl(std::uint32_t id, std::uint32_t* lineChannels) const {
    auto search = [&](const LineLayout& line) -> const ControlLayout* {
        for (const ControlLayout& control : line.controls) {
            if (control.id == id) {
                if (lineChannels) *lineChannels = line.channels;
                return &control;
            }
        }
        return nullptr;
    };
    for (const LineLayout& destination : destinations) {
        if (const ControlLayout* found = search(destination)) return found;
        for (const LineLayout& source : destination.sources) {
            if (const ControlLayout* found = search(source)) return found;
        }
    }
    return nullptr;
}

MMRESULT fillCaps(const MixerLayout& layout, MIXERCAPSA* caps, std::uint32_t capsSize) {
    if (caps == nullptr || capsSize < sizeof(MIXERCAPSA)) return MMSYSERR_INVALPARAM;
    *caps = MIXERCAPSA{};
    copyName(caps->szPname, sizeof(caps->szPname), layout.productName);
    caps->cDestinations = static_cast<std::uint32_t>(layout.destinations.size());
    return MMSYSERR_NOERROR;
}

MMRESULT fillLineInfo(const MixerLayout& layout, MIXERLINEA* line, std::uint32_t flags) {
    if (line == nullptr || line->cbStruct != sizeof(MIXERLINEA)) return MMSYSERR_INVALPARAM;
    std::uint32_t query = flags & MIXER_QUERYMASK;
    if (query != MIXER_GETLINEINFOF_DESTINATION && query != MIXER_GETLINEINFOF_SOURCE) {
        return MMSYSERR_INVALFLAG;
    }
    std::uint32_t d = line->dwDestination;
    if (d >= layout.destinations.size()) return MIXERR_INVALLINE;
    const LineLayout& destination = layout.destinations[d];
    if (query == MIXER_GETLINEINFOF_DESTINATION) {
        fillLine(layout, destination, d, 0, false, line);
        return MMSYSERR_NOERROR;
    }
    std::uint32_t s = line->dwSource;
    if (s >= destination.sources.size()) return MIXERR_INVALLINE;
    fillLine(layout, destination.sources[s], d, s, true, line);
    return MMSYSERR_NOERROR;
}

MMRESULT fillLineControls(const MixerLayout& layout, MIXERLINECONTROLSA* query,
                          std::uint32_t flags) {
    if (query == nullptr || (flags & MIXER_QUERYMASK) != MIXER_GETLINECONTROLSF_ALL) {
        return MMSYSERR_INVALFLAG;
    }
    const LineLayout* line = lineById(layout, query->dwLineID);
    if (line == nullptr) return MIXERR_INVALLINE;
    if (query->cbmxctrl != sizeof(MIXERCONTROLA) || query->pamxctrl == nullptr ||
        query->cControls != line->controls.size()) {
        return MMSYSERR_INVALPARAM;
    }
    for (std::size_t i = 0; i < line->controls.size(); ++i) {
        const ControlLayout& control = line->controls[i];
        MIXERCONTROLA& out = query->pamxctrl[i];
        out = MIXERCONTROLA{};
        out.cbStruct = sizeof(MIXERCONTROLA);
        out.dwControlID = control.id;
        out.dwControlType = control.type;
        out.fdwControl =
            control.flags | (control.items.empty() ? 0 : MIXERCONTROL_CONTROLF_MULTIPLE);
        out.cMultipleItems = static_cast<std::uint32_t>(control.items.size());
        copyName(out.szShortName, sizeof(out.szShortName), control.shortName);
        copyName(out.szName, sizeof(out.szName), control.name);
        out.Bounds.lMinimum = control.minimum;
        out.Bounds.lMaximum = control.maximum;
        if ((control.type & MIXERCONTROL_CT_CLASS_MASK) == MIXERCONTROL_CT_CLASS_CUSTOM) {
            out.Metrics.cbCustomData = control.customSize;
        } else {
            out.Metrics.cSteps = static_cast<std::uint32_t>(control.maximum - control.minimum);
        }
    }
    return MMSYSERR_NOERROR;
}

MMRESULT fillListText(const MixerLayout& layout, MIXERCONTROLDETAILS* details) {
    if (details == nullptr) return MMSYSERR_INVALPARAM;
    const ControlLayout* control = layout.findControl(details->dwControlID, nullptr);
    if (control == nullptr) return MIXERR_INVALCONTROL;
    if ((control->type & MIXERCONTROL_CT_CLASS_MASK) != MIXERCONTROL_CT_CLASS_LIST) {
        return MMSYSERR_INVALPARAM;
    }
    if (details->cbDetails != sizeof(MIXERCONTROLDETAILS_LISTTEXTA) ||
        details->paDetails == nullptr || details->cMultipleItems != control->items.size() ||
        details->cChannels != 1) {
        return MMSYSERR_INVALPARAM;
    }
    auto* texts = static_cast<MIXERCONTROLDETAILS_LISTTEXTA*>(details->paDetails);
    for (std::size_t i = 0; i < control->items.size(); ++i) {
        texts[i] = MIXERCONTROLDETAILS_LISTTEXTA{};
        texts[i].dwParam1 = static_cast<std::uint32_t>(i);
        copyName(texts[i].szName, sizeof(texts[i].szName), control->items[i]);
    }
    return MMSYSERR_NOERROR;
}

MMRESULT checkValueRequest(const ControlLayout& control, std::uint32_t lineChannels,
                           const MIXERCONTROLDETAILS& details) {
    if (details.paDetails == nullptr || details.cbDetails != elementSize(control)) {
        return MMSYSERR_INVALPARAM;
    }
    if (!control.items.empty() || (control.flags & MIXERCONTROL_CONTROLF_MULTIPLE) != 0) {
        if (details.cChannels != 1 || details.cMultipleItems != control.items.size()) {
            return MMSYSERR_INVALPARAM;
        }
        return MMSYSERR_NOERROR;
    }
    if (details.cMultipleItems != 0) return MMSYSERR_INVALPARAM;
    if (details.cChannels != 1 && details.cChannels != lineChannels) return MMSYSERR_INVALPARAM;
    return MMSYSERR_NOERROR;
}

}  // namespace quavelink
