#pragma once

#include <memory>
#include <string>

namespace quavelink::audio {

//! While it lives, the monitor of the PipeWire sink it was made for carries what is played into
//! the sink before the sink's volume and mute, so that lowering or muting the PC's own output
//! leaves what is captured from the monitor as it was. Gone, the monitor follows the volume
//! again. Destroyed on any thread; blocks for one round trip to PipeWire.
class MonitorBeforeVolume {
  public:
    virtual ~MonitorBeforeVolume() = default;
};

//! For the sink named `sinkName` (its PulseAudio name, PipeWire's node.name): a hold, or nothing
//! when no PipeWire runs, it has no such sink, or the sink's monitor already comes before its
//! volume (a sink with hardware volume, for one). Any thread; blocks for at most about a second,
//! a few milliseconds when PipeWire answers.
std::unique_ptr<MonitorBeforeVolume> KeepMonitorBeforeVolume(const std::string& sinkName);

//! Ends every hold at once, for a program about to leave without destroying them; each one
//! destroyed later changes nothing more. Any thread; a round trip to PipeWire per hold.
void ReleaseMonitorHolds();

}  // namespace quavelink::audio
