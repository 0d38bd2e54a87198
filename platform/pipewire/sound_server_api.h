#pragma once

#include <optional>

namespace quavelink {

//! The two ways the programs reach the sound server: PipeWire's own API, and libpulse
//! (PulseAudio, or PipeWire through pipewire-pulse).
enum class SoundServerApi { PipeWire, PulseAudio };

//! The API that QUAVELINK_AUDIO_BACKEND forces ("pipewire" or "pulseaudio", in any letter case);
//! nothing when it is unset or empty, or names neither (said once in the log).
std::optional<SoundServerApi> forcedSoundServerApi();

//! The API for this desktop: the forced one, else PipeWire's own when PipeWire runs and carries
//! the sound, else libpulse. Any thread; blocks for a round trip to PipeWire (a second at most).
SoundServerApi chooseSoundServerApi();

//! "PipeWire" or "PulseAudio", as the log names them.
const char* soundServerApiName(SoundServerApi api);

}  // namespace quavelink
