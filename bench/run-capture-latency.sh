#!/usr/bin/env bash
# Prints the click-to-client latency of PCM and Opus 256 kbit/s, how evenly the PCM blocks leave
# the server, and the quantum PipeWire ran the capture at, for each way of capturing, side by side
# in one run, each on a private sound server of its own:
#   pulseaudio      PulseAudio; the capture and the click writer through libpulse (5 ms buffer)
#   pipewire-pulse  PipeWire; the capture and the click writer through libpulse and pipewire-pulse
#   pulse-capture   PipeWire; the capture through pipewire-pulse, the click written by a PipeWire
#                   stream at 128 frames
#   pipewire        PipeWire; the capture through PipeWire's own API (as the programs do there),
#                   the click written by a PipeWire stream at 128 frames
#   pipewire-1024   the same with the writer at 1024 frames, as a media player asks: then the
#                   capture's own quantum runs the graph
#   pipewire-128    the same with the capture asking for 128 frames (PIPEWIRE_LATENCY)
# PipeWire runs with a desktop's quantum rules (tests/support/pulse_daemon.cpp), also in a VM.
# Usage: bench/run-capture-latency.sh [clicks, at least 50, default 60] [--only "ROWS..."]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
clicks=60 only="pulseaudio pipewire-pulse pulse-capture pipewire pipewire-1024 pipewire-128"
while [ $# -gt 0 ]; do
  case $1 in
    --only) only=$2; shift ;;
    *) clicks=$1 ;;
  esac
  shift
done
"$top/scripts/build.sh" >/dev/null
bench=${QUAVELINK_BUILD_DIR:-$top/build}/bench/capture_latency

# The share of CPU time the host of a virtual machine took from it since COUNTERS ("" starts).
stolen_since() {
  local now
  now=$(awk '/^cpu / { print $9, $2 + $3 + $4 + $5 + $6 + $7 + $8 + $9 }' /proc/stat)
  if [ -z "$1" ]; then echo "$now"; return; fi
  awk -v a="$1" -v b="$now" 'BEGIN {
    split(a, x, " "); split(b, y, " ")
    printf "%.1f", 100 * (y[1] - x[1]) / (y[2] - x[2] > 0 ? y[2] - x[2] : 1)
  }'
}

echo "Capture latency, $(date -u '+%Y-%m-%d %H:%M UTC'), $(git -C "$top" rev-parse --short HEAD)," \
  "$(nproc) cores"
for row in $only; do
  settings=()
  case $row in
    pulseaudio) settings=(QUAVELINK_TEST_SOUND_SERVER=pulseaudio) args=(--writer pulse) ;;
    pipewire-pulse)
      settings=(QUAVELINK_TEST_SOUND_SERVER=pipewire QUAVELINK_AUDIO_BACKEND=pulseaudio)
      args=(--writer pulse) ;;
    pulse-capture)
      settings=(QUAVELINK_TEST_SOUND_SERVER=pipewire QUAVELINK_AUDIO_BACKEND=pulseaudio)
      args=(--writer pipewire --writer-quantum 128) ;;
    pipewire)
      settings=(QUAVELINK_TEST_SOUND_SERVER=pipewire QUAVELINK_AUDIO_BACKEND=pipewire)
      args=(--writer pipewire --writer-quantum 128) ;;
    pipewire-1024)
      settings=(QUAVELINK_TEST_SOUND_SERVER=pipewire QUAVELINK_AUDIO_BACKEND=pipewire)
      args=(--writer pipewire --writer-quantum 1024) ;;
    pipewire-128)
      settings=(QUAVELINK_TEST_SOUND_SERVER=pipewire QUAVELINK_AUDIO_BACKEND=pipewire
                PIPEWIRE_LATENCY=128/48000)
      args=(--writer pipewire --writer-quantum 1024) ;;
    *) echo "unknown row: $row" >&2; exit 2 ;;
  esac
  echo
  echo "== $row"
  stolen=$(stolen_since "")
  env "${settings[@]}" "$top/scripts/in-private-network.sh" "$bench" "$clicks" "${args[@]}" |
    grep -E '^(capture latency|PCM|Opus|writer)' || echo "(no figures: the run failed)"
  echo "load $(cut -d' ' -f1 /proc/loadavg), CPU stolen $(stolen_since "$stolen") %"
done
