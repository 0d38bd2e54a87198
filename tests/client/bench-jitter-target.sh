#!/usr/bin/env bash
# Prints, for a range of fixed playout targets and the adaptive default, how often playback ran dry and the latency the
# client estimated, with the tone server and the client on loopback inside a private network
# namespace and a private PulseAudio daemon playing into a null sink. Each target runs once with
# the machine as it is and once with two busy processes competing for the CPU.
# Usage: tests/client/bench-jitter-target.sh [seconds per run, default 20] [targets|adaptive...]
# Needs the client built: QUAVELINK_BUILD_DIR (default build/) with targets quavelink-client
# and client_tone_server.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
if [ "${QUAVELINK_IN_PRIVATE_NETWORK:-}" != 1 ]; then
  exec env QUAVELINK_IN_PRIVATE_NETWORK=1 "$top/scripts/in-private-network.sh" "$0" "$@"
fi
build=${QUAVELINK_BUILD_DIR:-$top/build}
seconds=${1:-20}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(adaptive 5 10 20 30 40 60)

work=$(mktemp -d)
pids=()
cleanup() {  # newest first, so that nothing outlives what it talks to
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

env PULSE_RUNTIME_PATH=$work/run PULSE_STATE_PATH=$work/state HOME=$work pulseaudio -n \
  --daemonize=no --exit-idle-time=-1 --use-pid-file=no \
  --load="module-native-protocol-unix socket=$work/native auth-anonymous=1" \
  --load="module-null-sink sink_name=test rate=48000" >/dev/null 2>&1 &
pids+=($!)
export PULSE_SERVER=unix:$work/native
for _ in $(seq 50); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
# Keeps the null sink running so that every run starts alike.
parec -d test.monitor --raw >/dev/null &
pids+=($!)

port=47010
"$build/tests/client/client_tone_server" --port $port --seconds 3600 >/dev/null &
pids+=($!)
sleep 0.5

run() {  # target ("adaptive": the default), load label
  local out target=(-j "$1")
  [ "$1" != adaptive ] || target=()
  out=$("$build/client/quavelink-client" 127.0.0.1:$port "${target[@]}" --seconds "$seconds" \
        --machine --no-keys)
  local underruns latency
  underruns=$(grep '^summary' <<<"$out" | sed 's/.*underruns=\([0-9]*\).*/\1/')
  # Mean of the estimates printed while streaming, leaving out the first second.
  latency=$(grep '^status .*state=streaming' <<<"$out" | tail -n +2 |
            sed 's/.*latency_ms=\([-0-9]*\).*/\1/' |
            awk '$1>=0 {s+=$1; n++} END {if (n) printf "%.0f", s/n; else print "?"}')
  printf "%-6s %9s %10s %12s\n" "$1" "$2" "$underruns" "$latency"
}

printf "%-6s %9s %10s %12s\n" target load underruns latency_ms
for t in "${targets[@]}"; do run "$t" idle; done
for _ in 1 2; do (while :; do :; done) & pids+=($!); done
for t in "${targets[@]}"; do run "$t" busy; done
