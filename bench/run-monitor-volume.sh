#!/usr/bin/env bash
# Prints the level a client receives while the captured sink is at 100 %, at 30 % and muted, on
# a private PulseAudio daemon and on a private PipeWire with pipewire-pulse.
# Usage: bench/run-monitor-volume.sh [pulseaudio] [pipewire]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
servers=("$@")
[ ${#servers[@]} -gt 0 ] || servers=(pulseaudio pipewire)
"$top/scripts/build.sh" >/dev/null
for server in "${servers[@]}"; do
  QUAVELINK_TEST_SOUND_SERVER=$server "$top/scripts/in-private-network.sh" \
    "${QUAVELINK_BUILD_DIR:-$top/build}/bench/monitor_volume"
done
