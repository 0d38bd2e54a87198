#!/usr/bin/env bash
# Server-side cost of streaming: CPU time (utime + stime) per minute of streaming and peak
# resident memory (VmHWM) of quavelink-serverd with 0, 1 and 10 clients, and of snapserver with
# 0, 1 and 10 snapclients, all on one private PulseAudio daemon inside a private network
# namespace; then quavelink-serverd with 0 and 10 clients on a private PipeWire (as the tests run
# it), capturing through PipeWire's own API (runs named pipewire-...) and through libpulse and
# pipewire-pulse (pipewire-pulse-...). A steady signal plays into the null sink "bench":
# quavelink-serverd captures its monitor, and a recorder of the same monitor feeds snapserver's
# pipe source. Every client plays into a second null sink, "out". The yardsticks (the three Opus encodes alone on the same
# signal, and bare UDP datagrams for ten clients) come from bench/encode_cost, run beside each
# measured server so that both meet the same load on the machine. The "floor" column is the
# lowest ratio to the encodes that any server sending the same datagrams over UDP could reach.
# Usage: bench/run-server-cost.sh [seconds per run, default 60] [rounds, default 1] [runs]
# `runs` is an extended regular expression that picks runs by name (default: all of them).
# QUAVELINK_SERVERD names another quavelink-serverd to measure (a build of an older commit).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${QUAVELINK_BUILD_DIR:-$top/build}
serverd=${QUAVELINK_SERVERD:-$build/headless/quavelink-serverd}
seconds=${1:-60}
rounds=${2:-1}
runs=${3:-.}

if [ -z "${QUAVELINK_COST_INSIDE:-}" ]; then
  "$top/scripts/build.sh" >/dev/null
  if ! command -v snapserver >/dev/null || ! command -v snapclient >/dev/null; then
    as_root=()
    [ "$(id -u)" -eq 0 ] || as_root=(sudo)
    # The packages' service scripts must not start a server on the machine's own network:
    # while installing, the service policy refuses every start.
    added_policy=
    if [ ! -e /usr/sbin/policy-rc.d ]; then
      printf '#!/bin/sh\nexit 101\n' | "${as_root[@]}" tee /usr/sbin/policy-rc.d >/dev/null
      "${as_root[@]}" chmod +x /usr/sbin/policy-rc.d
      added_policy=1
    fi
    "${as_root[@]}" apt-get update >/dev/null
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
      apt-get install -y --no-install-recommends snapserver snapclient >/dev/null
    [ -z "$added_policy" ] || "${as_root[@]}" rm -f /usr/sbin/policy-rc.d
  fi
  exec env QUAVELINK_COST_INSIDE=1 "$top/scripts/in-private-network.sh" "$0" "$@"
fi

work=$(mktemp -d /tmp/quavelink-cost-XXXXXX)
results=$work/results
started=()
cleanup() {
  local i
  # Newest first: the sound server goes last.
  for ((i = ${#started[@]} - 1; i >= 0; i--)); do
    kill "${started[i]}" 2>/dev/null || true
    wait "${started[i]}" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

# Two tones under pink noise, a minute of it played over and over; the yardstick encodes the
# same minute.
raw=(-t raw -r 48000 -c 2 -b 16 -e signed-integer)
sox -R -q -n "${raw[@]}" "$work/signal.raw" synth 60 sine 440 sine 660 synth 60 pinknoise mix gain -6

# A private sound server of kind $1 (pulseaudio or pipewire) with the sinks "bench" and "out", the
# signal playing into "bench"; its environment exported. Ends the one before.
sound_server=() player=
start_sound_server() {
  stop_sound_server
  "$build/tests/support/private_sound_server" "$1" "module-null-sink sink_name=bench rate=48000" \
    "module-null-sink sink_name=out rate=48000" >"$work/sound-server.env" 2>"$work/sound-server.log" &
  sound_server=($!)
  started+=($!)
  for _ in $(seq 150); do grep -q '^ready' "$work/sound-server.env" && break; sleep 0.1; done
  grep -q '^ready' "$work/sound-server.env" || { echo "the $1 sound server did not start" >&2; exit 1; }
  while IFS='=' read -r name value; do
    [ -z "$value" ] || export "$name=$value"
  done <"$work/sound-server.env"
  pactl set-default-sink bench
  sox -q "${raw[@]}" "$work/signal.raw" -t pulseaudio bench repeat 9999 &
  player=$!
  started+=($!)
}
stop_sound_server() {
  [ -z "$player" ] || { kill "$player" 2>/dev/null; wait "$player" 2>/dev/null; } || true
  [ ${#sound_server[@]} -eq 0 ] || { kill "${sound_server[0]}"; wait "${sound_server[0]}"; } || true
  sound_server=() player=
}

ticks_per_second=$(getconf CLK_TCK)
cpu_ticks() { sed 's/^.*) //' "/proc/$1/stat" | awk '{ print $12 + $13 }'; }
peak_kib() { awk '/^VmHWM:/ { print $2 }' "/proc/$1/status"; }
inputs_on_out() { pactl list short sink-inputs | awk -v sink="$(pactl list short sinks | awk '$2 == "out" { print $1 }')" '$2 == sink' | wc -l; }

# Context switches of every thread of process `pid` so far.
switches() { cat /proc/"$1"/task/*/status 2>/dev/null | awk '/ctxt_switches:/ { n += $2 } END { print n }'; }

# Waits until `count` clients play into "out" (up to 20 s) and lets the stream settle, then
# measures process `pid` (and the process `feeder` that hands it the audio, if any) over
# `seconds` while bench/encode_cost measures its yardsticks beside it. Appends "`name`
# server-cpu peak-MiB switches-per-second encodes-cpu bare-udp-cpu feeder-cpu" to the results
# (CPU figures in seconds per minute).
measure() {
  local name=$1 pid=$2 count=$3 feeder=${4:-} waited=0 feeder_before=0 feeder_after=0
  while [ "$(inputs_on_out)" -lt "$count" ]; do
    sleep 0.2
    waited=$((waited + 1))
    if [ $waited -ge 100 ]; then
      echo "$name: only $(inputs_on_out) of $count clients play" >&2
      return 0
    fi
  done
  sleep 3
  "$build/bench/encode_cost" "$work/signal.raw" "$seconds" >"$work/yardsticks" &
  local yardsticks=$! before after switches_before switches_after
  started+=($yardsticks)
  before=$(cpu_ticks "$pid")
  switches_before=$(switches "$pid")
  [ -z "$feeder" ] || feeder_before=$(cpu_ticks "$feeder")
  sleep "$seconds"
  after=$(cpu_ticks "$pid")
  switches_after=$(switches "$pid")
  [ -z "$feeder" ] || feeder_after=$(cpu_ticks "$feeder")
  wait "$yardsticks"
  if [ "$(inputs_on_out)" -lt "$count" ]; then
    echo "$name: a client stopped playing during the run" >&2
    return 0
  fi
  awk -v name="$name" -v ticks=$((after - before)) -v hz="$ticks_per_second" -v s="$seconds" \
    -v kib="$(peak_kib "$pid")" -v sw=$((switches_after - switches_before)) \
    -v enc="$(awk '/encodes alone/ { print $5 }' "$work/yardsticks")" \
    -v udp="$(awk '/bare UDP/ { print $5 }' "$work/yardsticks")" \
    -v fed=$((feeder_after - feeder_before)) \
    'BEGIN { printf "%s %.3f %.1f %.0f %s %s %.3f\n", name, ticks / hz / s * 60, kib / 1024, sw / s, enc, udp, fed / hz / s * 60 }' \
    >>"$results"
}

stop() {
  local pid
  for pid in "$@"; do kill "$pid" 2>/dev/null || true; done
  for pid in "$@"; do wait "$pid" 2>/dev/null || true; done
}

# quavelink-serverd, measured as `$1`, with one client per further "rate-code:r|b" (reliable or
# best-effort); QUAVELINK_AUDIO_BACKEND as `backend` says (empty: the program's choice).
backend=
run_quavelink() {
  local name=$1 config=$work/config-$RANDOM wanted clients=() server
  shift
  grep -qE "$runs" <<<"$name" || return 0
  mkdir -p "$config"
  XDG_CONFIG_HOME=$config QUAVELINK_SERVER_NOWARN_48K=1 QUAVELINK_AUDIO_BACKEND=$backend \
    "$serverd" >"$work/serverd.log" 2>&1 &
  server=$!
  started+=($server)
  for _ in $(seq 150); do grep -q 'Capturing at' "$work/serverd.log" && break; sleep 0.1; done
  for wanted in "$@"; do
    local mode=-r
    [ "${wanted#*:}" = b ] && mode=-b
    "$build/client/quavelink-client" 127.0.0.1 -c "${wanted%%:*}" "$mode" -d out -q --no-keys \
      </dev/null >"$work/client-${#clients[@]}.log" 2>&1 &
    clients+=($!)
    started+=($!)
  done
  measure "$name" "$server" $#
  stop "${clients[@]}" "$server"
}

# snapserver, measured as `$1`, with codec `$2` and `$3` snapclients.
run_snapserver() {
  local name=$1 codec=$2 count=$3 feeder server clients=()
  grep -qE "$runs" <<<"$name" || return 0
  rm -f "$work/snapfifo"
  mkfifo "$work/snapfifo"
  mkdir -p "$work/snapdata"
  cat >"$work/snapserver.conf" <<EOF
[server]
datadir = $work/snapdata
[http]
enabled = false
[tcp]
enabled = false
[stream]
source = pipe://$work/snapfifo?name=bench&sampleformat=48000:16:2&mode=read
codec = $codec
bind_to_address = 127.0.0.1
[logging]
sink = null
EOF
  snapserver -c "$work/snapserver.conf" >"$work/snapserver.log" 2>&1 &
  server=$!
  started+=($server)
  pacat --record --raw --device=bench.monitor --format=s16le --rate=48000 --channels=2 \
    --latency-msec=20 >"$work/snapfifo" 2>/dev/null &
  feeder=$!
  started+=($feeder)
  sleep 1
  for i in $(seq "$count"); do
    PULSE_SINK=out snapclient -h 127.0.0.1 --hostID "bench$i" --player pulse --logsink null \
      </dev/null >/dev/null 2>&1 &
    clients+=($!)
    started+=($!)
  done
  measure "$name" "$server" "$count" "$feeder"
  stop "${clients[@]}" "$feeder" "$server"
}

ten=(0:r 1:b 2:r 3:b 0:r 1:b 2:r 3:b 1:r 3:b)
for round in $(seq "$rounds"); do
  start_sound_server pulseaudio
  backend=
  run_quavelink quavelink-0
  run_quavelink quavelink-1-pcm 0:r
  run_quavelink quavelink-1-opus128 2:r
  run_quavelink quavelink-10 "${ten[@]}"
  run_quavelink quavelink-10-opus256 3:r 3:r 3:r 3:r 3:r 3:r 3:r 3:r 3:r 3:r
  run_snapserver snapserver-flac-0 flac 0
  run_snapserver snapserver-flac-1 flac 1
  run_snapserver snapserver-flac-10 flac 10
  run_snapserver snapserver-opus-10 opus 10
  if grep -qE "$runs" <<<"pipewire-quavelink-0 pipewire-quavelink-10 pipewire-pulse-quavelink-0 pipewire-pulse-quavelink-10"; then
    start_sound_server pipewire
    backend=pipewire
    run_quavelink pipewire-quavelink-0
    run_quavelink pipewire-quavelink-10 "${ten[@]}"
    backend=pulseaudio
    run_quavelink pipewire-pulse-quavelink-0
    run_quavelink pipewire-pulse-quavelink-10 "${ten[@]}"
  fi
  echo "round $round done" >&2
done

echo "server-side cost, ${seconds} s per run, ${rounds} round(s), medians over rounds"
echo "(yardsticks measured beside each run: the three Opus encodes alone, bare UDP for ten clients)"
awk '
  function median(list,   v, k, i, j, t) {
    k = split(list, v, " ")
    for (i = 1; i <= k; i++) for (j = i + 1; j <= k; j++) if (v[j] + 0 < v[i] + 0) { t = v[i]; v[i] = v[j]; v[j] = t }
    return k % 2 ? v[(k + 1) / 2] : (v[k / 2] + v[k / 2 + 1]) / 2
  }
  {
    if (!($1 in cpu)) order[n++] = $1
    cpu[$1] = cpu[$1] " " $2; mem[$1] = $3; sw[$1] = sw[$1] " " $4
    enc[$1] = enc[$1] " " $5; udp[$1] = udp[$1] " " $6; fed[$1] = fed[$1] " " $7
    ratio[$1] = ratio[$1] " " $2 / $5; floor[$1] = floor[$1] " " ($5 + $6) / $5
  }
  END {
    printf "%-22s %9s %9s %11s %9s %9s %9s %9s %9s\n", "run", "CPU s/min", "peak MiB",
      "switches/s", "feeder", "encodes", "bare UDP", "/encodes", "floor"
    for (i = 0; i < n; i++) {
      r = order[i]
      m[r] = median(cpu[r])
      printf "%-22s %9.3f %9s %11.0f %9.3f %9.3f %9.3f %9.3f %9.3f\n", r, m[r], mem[r], median(sw[r]),
        median(fed[r]), median(enc[r]), median(udp[r]), median(ratio[r]), median(floor[r])
      printf "%-22s %s\n", "  each round:", cpu[r]
    }
    if (m["snapserver-flac-10"] > 0 && m["quavelink-10"] > 0)
      printf "quavelink-10 / snapserver-flac-10: %.3f\n", m["quavelink-10"] / m["snapserver-flac-10"]
    if (m["snapserver-opus-10"] > 0 && m["quavelink-10-opus256"] > 0)
      printf "quavelink-10-opus256 / snapserver-opus-10: %.3f\n", m["quavelink-10-opus256"] / m["snapserver-opus-10"]
    if (m["pipewire-quavelink-10"] > 0 && m["pipewire-pulse-quavelink-10"] > 0)
      printf "pipewire-quavelink-10 / pipewire-pulse-quavelink-10: %.3f\n", m["pipewire-quavelink-10"] / m["pipewire-pulse-quavelink-10"]
  }' "$results"
