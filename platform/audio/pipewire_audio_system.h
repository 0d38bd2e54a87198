#pragma once

#include <memory>

#include "platform/audio/audio_system.h"

namespace quavelink::audio {

//! The real audio system over PipeWire's own API, for desktops where PipeWire is the sound
//! server. Endpoints are PipeWire's audio nodes, known by their node names (which are also
//! their PulseAudio names): sinks are render endpoints, captured in loopback through their
//! monitor ports; sources are capture endpoints. The default endpoints come from the session
//! manager's `default` metadata. Streams are `pw_stream`s whose process callback runs on
//! PipeWire's real-time data thread and hands each packet over at once; a capture stream asks
//! for a quantum of kCaptureQuantumFrames. The connection is made on first use and made again
//! after PipeWire was lost. Choose it in main(); tests of the logic use the fake instead.
std::unique_ptr<AudioSystem> CreatePipeWireAudioSystem();

//! The graph quantum a capture stream asks for (node.latency), in frames at the stream's rate:
//! the largest power of two within the smaller block (338 frames), which PipeWire would round
//! to anyway. A block then leaves within one quantum of its last frame being played.
constexpr unsigned kCaptureQuantumFrames = 256;

}  // namespace quavelink::audio
