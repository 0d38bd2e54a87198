#!/usr/bin/env bash
# What a listener's sink runs at while our client plays on it, against what an ordinary stream
# leaves it at: a private PulseAudio daemon, null sink B (the listener's speaker), and sink B's
# configured latency (`pactl list sinks`) with nothing playing, with an ordinary stream (pacat
# with PulseAudio's default buffer), with our client playing what quavelink-serverd captures
# from null sink A, and with both. A sound server runs a sink at the smallest latency any of its
# streams asks for: what our client asks is what every other program on the sink lives with.
# QUAVELINK_CLIENT names another build of the client to measure beside this one (a "before").
# Usage: bench/run-sink-latency.sh
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${QUAVELINK_BUILD_DIR:-$top/build}

if [ "${QUAVELINK_IN_PRIVATE_NETWORK:-}" != 1 ]; then
  cmake -S "$top" -B "$build" >/dev/null
  cmake --build "$build" --target quavelink-serverd quavelink-client -j 2 >&2
  exec env QUAVELINK_IN_PRIVATE_NETWORK=1 QUAVELINK_BUILD_DIR="$build" \
    "$top/scripts/in-private-network.sh" "$0" "$@"
fi

work=$(mktemp -d)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

env PULSE_RUNTIME_PATH="$work/run" PULSE_STATE_PATH="$work/state" HOME="$work" pulseaudio -n \
  --daemonize=no --exit-idle-time=-1 --use-pid-file=no \
  --load="module-native-protocol-unix socket=$work/native auth-anonymous=1" \
  --load="module-null-sink sink_name=a rate=48000 sink_properties=device.description=SinkA" \
  --load="module-null-sink sink_name=b rate=48000" >"$work/pulseaudio.log" 2>&1 &
pids+=($!)
export PULSE_SERVER=unix:$work/native
for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
pactl set-default-sink a

# Sink B's configured latency, once what was just started has played for 3 s.
sink_b() {
  sleep 3
  pactl list sinks | awk '/^\tName: /{ sink = $2 }
    sink == "b" && /^\tLatency: / { gsub(",", ""); printf "%.1f ms", $5 / 1000; exit }'
}

start() { "$@" >/dev/null 2>&1 & pids+=($!); }
stop_last() {
  local n=$1 i
  for ((i = 0; i < n; i++)); do
    local pid=${pids[-1]}
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    unset 'pids[-1]'
  done
}

# A tone into A, which the server captures.
start sh -c 'sox -q -n -r 48000 -c 2 -b 16 -t raw - synth 3600 sine 440 vol 0.1 | pacat -d a --raw'
start "$build/headless/quavelink-serverd" --device SinkA
sleep 1

echo "Sink B's configured latency (pactl list sinks), $(date -u '+%Y-%m-%d %H:%M UTC')"
echo
echo "| what plays on sink B | configured latency |"
echo "|---|---|"
echo "| nothing | $(sink_b) |"
start pacat -d b --raw /dev/zero
echo "| an ordinary stream (pacat, default buffer) | $(sink_b) |"
stop_last 1
clients=("$build/client/quavelink-client")
[ -z "${QUAVELINK_CLIENT:-}" ] || clients+=("$QUAVELINK_CLIENT")
for client in "${clients[@]}"; do
  label="our client"
  [ "$client" = "$build/client/quavelink-client" ] || label="our client ($client)"
  start "$client" 127.0.0.1 -d b --no-keys -q
  echo "| $label | $(sink_b) |"
  start pacat -d b --raw /dev/zero
  echo "| $label and an ordinary stream | $(sink_b) |"
  stop_last 2
done
