#include "platform/pipewire/sound_server_api.h"

#include <strings.h>

#include <cstdlib>

#include "platform/log.h"
#include "platform/pipewire/pipewire_connection.h"

namespace quavelink {

std::optional<SoundServerApi> forcedSoundServerApi() {
    const char* value = std::getenv("QUAVELINK_AUDIO_BACKEND");
    if (!value || *value == '\0') return std::nullopt;
    if (strcasecmp(value, "pipewire") == 0) return SoundServerApi::PipeWire;
    if (strcasecmp(value, "pulseaudio") == 0) return SoundServerApi::PulseAudio;
    logLine("QUAVELINK_AUDIO_BACKEND=%s names no backend (pipewire or pulseaudio); ignored\n",
            value);
    return std::nullopt;
}

SoundServerApi chooseSoundServerApi() {
    if (std::optional<SoundServerApi> forced = forcedSoundServerApi()) return *forced;
    return pipewire::PipeWireCarriesAudio() ? SoundServerApi::PipeWire : SoundServerApi::PulseAudio;
}

const char* soundServerApiName(SoundServerApi api) {
    return api == SoundServerApi::PipeWire ? "PipeWire" : "PulseAudio";
}

}  // namespace quavelink
