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

}  // namespace quavelink::audio
