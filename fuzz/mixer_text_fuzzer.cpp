// The texts a mixer device hands the program: product, line and control names and the item
// names of list controls (for PulseAudio: sink, source and port descriptions, which any
// device or module may set), of any length and bytes, in a device of any shape. The mixer
// model opens the device, reads every control and selects list items by name.
#include <cstring>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "mixer/mixer.h"
#include "tests/mixer/fake_mixer_system.h"

namespace {

using namespace quavelink;
using fuzz::check;

constexpr std::uint32_t kControlTypes[] = {
    MIXERCONTROL_CONTROLTYPE_VOLUME, MIXERCONTROL_CONTROLTYPE_MUTE,
    MIXERCONTROL_CONTROLTYPE_MUX,    MIXERCONTROL_CONTROLTYPE_MIXER,
    MIXERCONTROL_CONTROLTYPE_PAN,    MIXERCONTROL_CONTROLTYPE_BOOLEAN,
    MIXERCONTROL_CONTROLTYPE_CUSTOM, MIXERCONTROL_CONTROLTYPE_PEAKMETER,
};
constexpr std::uint32_t kLineTypes[] = {
    MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, MIXERLINE_COMPONENTTYPE_DST_WAVEIN,
    MIXERLINE_COMPONENTTYPE_DST_VOICEIN,  MIXERLINE_COMPONENTTYPE_DST_LINE,
    MIXERLINE_COMPONENTTYPE_SRC_LINE,     MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE,
};

std::string text(fuzz::FuzzInput& in) { return std::string(in.shortText()); }

LineLayout makeLine(fuzz::FuzzInput& in, std::uint32_t& nextId, int depth) {
    LineLayout line;
    line.id = nextId++;
    line.componentType = kLineTypes[in.byte() % std::size(kLineTypes)];
    line.name = text(in);
    line.shortName = text(in);
    line.channels = 1 + in.byte() % 8;
    int controls = in.byte() % 4;
    for (int c = 0; c < controls; ++c) {
        ControlLayout control;
        control.id = nextId++;
        control.type = kControlTypes[in.byte() % std::size(kControlTypes)];
        control.flags =
            in.byte() & (MIXERCONTROL_CONTROLF_UNIFORM | MIXERCONTROL_CONTROLF_MULTIPLE);
        control.name = text(in);
        control.shortName = text(in);
        control.maximum = static_cast<std::int32_t>(in.u32());
        control.customSize = in.byte() % 16;
        if ((control.type & MIXERCONTROL_CT_CLASS_MASK) == MIXERCONTROL_CT_CLASS_LIST) {
            control.flags |= MIXERCONTROL_CONTROLF_MULTIPLE;
            int items = in.byte() % 8;
            for (int i = 0; i < items; ++i) control.items.push_back(text(in));
        }
        line.controls.push_back(std::move(control));
    }
    if (depth == 0) {
        int sources = in.byte() % 4;
        for (int s = 0; s < sources; ++s) line.sources.push_back(makeLine(in, nextId, 1));
    }
    return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput in(data, size);
    MixerLayout layout;
    layout.productName = text(in);
    layout.targetType = in.byte() & 1 ? MIXERLINE_TARGETTYPE_WAVEIN : MIXERLINE_TARGETTYPE_WAVEOUT;
    std::uint32_t nextId = 1;
    int destinations = 1 + in.byte() % 3;
    for (int d = 0; d < destinations; ++d) layout.destinations.push_back(makeLine(in, nextId, 0));

    test::FakeMixerSystem system;
    system.addDevice(layout);
    CMixer mixer(system);
    if (mixer.Open(0, nullptr, layout.targetType == MIXERLINE_TARGETTYPE_WAVEIN) < 0) return 0;

    MIXERCAPSA caps;
    if (mixer.GetCaps(&caps) >= 0) {
        check(std::memchr(caps.szPname, 0, sizeof caps.szPname) != nullptr, "product name unended");
    }
    for (int d = 0; d < mixer.GetDestinationCount(); ++d) {
        MIXERLINEA line;
        if (mixer.GetDestinationLine(d, &line) >= 0) {
            check(std::memchr(line.szName, 0, sizeof line.szName) != nullptr, "line name unended");
        }
    }

    // Every control, read with a buffer the input sizes and written with a text the input gives.
    std::vector<std::uint8_t> buffer;
    for (std::uint32_t id = 1; id < nextId && !in.empty(); ++id) {
        std::uint32_t bufferSize = in.byte();
        buffer.assign(bufferSize + 1, 0xAA);
        std::uint32_t sizeInOut = bufferSize;
        int got = mixer.GetValueById(id, buffer.data(), sizeInOut);
        if (got == kMixerBufferTooSmall) check(sizeInOut > bufferSize, "too small, yet it fits");
        std::string_view wanted = in.shortText();
        buffer.assign(wanted.begin(), wanted.end());
        buffer.resize(std::max<std::size_t>(buffer.size(), in.byte()), 0);
        std::uint32_t setSize = static_cast<std::uint32_t>(buffer.size());
        buffer.push_back(0);  // the program never passes a null buffer, even for zero bytes
        mixer.SetValueById(id, buffer.data(), setSize);
    }
    return 0;
}
