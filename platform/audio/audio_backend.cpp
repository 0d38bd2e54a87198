#include "platform/audio/audio_backend.h"

#include "platform/audio/pipewire_audio_system.h"
#include "platform/audio/pulse_audio_system.h"

namespace quavelink::audio {

std::unique_ptr<AudioSystem> CreateAudioSystem(SoundServerApi api) {
    return api == SoundServerApi::PipeWire ? CreatePipeWireAudioSystem() : CreatePulseAudioSystem();
}

}  // namespace quavelink::audio
