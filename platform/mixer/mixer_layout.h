#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/mixer/mixer_api.h"

namespace quavelink {

//! One control as a mixer device describes it.
struct ControlLayout {
    std::uint32_t id = 0;
    std::uint32_t type = MIXERCONTROL_CONTROLTYPE_VOLUME;
    std::uint32_t flags = 0;
    std::string name;
    std::string shortName;
    std::int32_t minimum = 0;
    std::int32_t maximum = 65535;
    //! Item names of a list control (its cMultipleItems).
    std::vector<std::string> items;
    //! Value bytes per channel and item of a custom control.
    std::uint32_t customSize = 0;
};

//! One destination line with its source lines, or one source line.
struct LineLayout {
    std::uint32_t id = 0;
    std::uint32_t componentType = MIXERLINE_COMPONENTTYPE_DST_SPEAKERS;
    std::string name;
    std::string shortName;
    std::uint32_t channels = 2;
    std::vector<ControlLayout> controls;
    std::vector<LineLayout> sources;  //!< destinations only
};

//! Everything the records of one mixer device tell.
struct MixerLayout {
    std::string productName;  //!< cut to 31 characters in the capabilities
    std::uint32_t targetType = MIXERLINE_TARGETTYPE_WAVEOUT;
    std::vector<LineLayout> destinations;

    //! The control with `id` and the number of channels of its line, or null.
    const ControlLayout* findControl(std::uint32_t id, std::uint32_t* lineChannels) const;
};

// The record work shared by the backends: each answers a query from a layout. All return
// MMSYSERR_NOERROR or the error a mixer device gives for the malformed or unknown request.
MMRESULT fillCaps(const MixerLayout& layout, MIXERCAPSA* caps, std::uint32_t capsSize);
MMRESULT fillLineInfo(const MixerLayout& layout, MIXERLINEA* line, std::uint32_t flags);
MMRESULT fillLineControls(const MixerLayout& layout, MIXERLINECONTROLSA* query,
                          std::uint32_t flags);
MMRESULT fillListText(const MixerLayout& layout, MIXERCONTROLDETAILS* details);

//! Checks a value request for control `control` on a line of `lineChannels` channels: the
//! element size, the channel count (1 or the line's) and the item count must fit, and the
//! buffer must be there.
MMRESULT checkValueRequest(const ControlLayout& control, std::uint32_t lineChannels,
                           const MIXERCONTROLDETAILS& details);

//! Copies `text` into a fixed field, cut so that a terminating zero always fits.
void copyName(char* field, std::size_t fieldSize, const std::string& text);

}  // namespace quavelink
