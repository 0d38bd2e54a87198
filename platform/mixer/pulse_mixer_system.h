#pragma once

#include <cstdint>
#include <memory>

#include "platform/mixer/mixer_api.h"

namespace quavelink {

//! The mixer layer over the PulseAudio (or pipewire-pulse) server of the session. Output mixer
//! (wave out device 0): the default sink, followed when the default changes, with one speakers
//! destination "Master Volume" holding a volume fader (0..65535, left and right) and a mute
//! switch. Input mixer k (wave in device k): the k-th source that is not a monitor, a wave-in
//! destination whose only control is a multiplexer over the source's ports, and one source line
//! per port (one line named after the source when it has none) with a volume fader and a mute
//! switch, which all act on the source itself. Product names are the device descriptions.
//! Changes, by anyone, reach the notification targets through `poster` on the window thread.
//! Without a server the system has no mixer device.
std::unique_ptr<MixerSystem> CreatePulseMixerSystem(WindowThreadPoster poster);

//! A PulseAudio volume (0x10000 = 100 %, more is clamped) as a 0..65535 fader value, and
//! back; the round trip keeps every fader value.
std::uint32_t faderFromPulseVolume(std::uint32_t volume);
std::uint32_t pulseVolumeFromFader(std::uint32_t fader);

}  // namespace quavelink
