#pragma once

#include <memory>

#include "platform/audio/audio_system.h"

namespace quavelink::audio {

//! The real audio system over libpulse, for PulseAudio and for PipeWire through
//! pipewire-pulse. Sinks are render endpoints (captured in loopback through their monitor);
//! sources that are not monitors are capture endpoints. The server is the one libpulse finds
//! (PULSE_SERVER and the usual places); the connection is made on first use and made again
//! after it was lost. Choose it in main(); tests of the logic use the fake instead.
std::unique_ptr<AudioSystem> CreatePulseAudioSystem();

//! Puts back what open captures changed on the sound server (on PipeWire, a captured sink's
//! monitor is taken before the sink's volume), for a program about to leave without closing
//! them. Any thread; blocks for a round trip to the sound server per capture.
void RestoreSoundServerSettings();

}  // namespace quavelink::audio
