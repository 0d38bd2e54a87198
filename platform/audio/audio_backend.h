#pragma once

#include <memory>

#include "platform/audio/audio_system.h"
#include "platform/pipewire/sound_server_api.h"

namespace quavelink::audio {

//! A new audio system over `api`: PipeWire's own backend or the libpulse one.
std::unique_ptr<AudioSystem> CreateAudioSystem(SoundServerApi api);

}  // namespace quavelink::audio
