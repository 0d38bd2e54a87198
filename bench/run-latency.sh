#!/usr/bin/env bash
# End-to-end latency as a listener hears it, for this project and for three other ways of
# streaming a PC's sound (Snapcast, trx, PulseAudio's RTP modules), all in one run on one
# private PulseAudio daemon inside a private network namespace (with --sound-server pipewire, on
# a private PipeWire as the tests run it: both of our programs then use PipeWire's own API, and
# an --ours-options word QUAVELINK_AUDIO_BACKEND=pulseaudio takes both through pipewire-pulse
# instead; "rtp" is then PipeWire's own RTP modules). Clicks over a steady tone go
# into null sink A; each system carries A's sound to null sink B; one probe process records
# both monitors on one clock and prints, per system and setting, the median and 99th
# percentile delay of the clicks from A to B, the clicks heard of those sent and the dropouts
# (stretches of 0.5 ms or more where the tone is missing on B, less those already on A). Each
# system runs at its default buffer, then at smaller buffers while they run clean or larger
# ones until one does: the last clean one is its smallest buffer that carried the whole run
# without a dropout or a lost click.
# "floor", run first, is no peer: `parec` from A's monitor piped into `pacat` on B, two plain
# processes crossing the same sound server, the least a program in a process of its own can do
# here; each of our rows is reported against it at the end. "loopback", run only when named in
# --only, is the sound server's own path from A's monitor to B (module-loopback), which wakes no
# other process. Each peer is given the settling it needs before the first click (PulseAudio's
# RTP receiver a minute: it steers its rate towards its latency slowly).
# --floor-ms N, --rtp-ms N, --loopback-ms N: their first setting (else their default).
# Usage: bench/run-latency.sh [--quick] [--clicks N] [--no-search] [--sound-server pipewire]
#          [--only "floor ours snapcast trx rtp loopback"] [--floor-ms N] [--rtp-ms N]
#          [--loopback-ms N] [--rates "0 1 2 3"] [--modes "reliable best-effort"]
#          [--ours-options "A;B"]
#   default: 80 clicks 0.75 s ± 0.2 s apart (60 s a run); --quick: 50 clicks 0.5 s ± 0.15 s
#   apart (25 s a run); --clicks N: N clicks a run at that spacing (800 at the default: ten
#   minutes); --no-search: default buffers only; --rates, --modes: our rate codes and
#   delivery modes to run; --ours-options: our client's settings to run, ';'-separated sets
#   of options (an empty set: its default), every one a row of its own beside each rate and
#   mode; the word QUAVELINK_RUN_AS=USER runs the client as that user (made, without real-time
#   rights, when missing: an ordinary desktop user). --realtime-kit starts RealtimeKit
#   (rtkit-daemon, installed when missing) on a private system bus of its own, with the answer
#   a desktop session's authorization agent gives it (bench/session_authority.cpp), so that such
#   a user's client can ask it for real-time priority. QUAVELINK_LATENCY_LOGS names a folder
#   that keeps each row's client log (status
#   lines). QUAVELINK_CLIENT and QUAVELINK_SERVER name other builds of our client and server to
#   measure (earlier ones, for a before-and-after in the same conditions; also as words of an
#   --ours-options set), QUAVELINK_CLIENT_LABEL says which.
# Prints a Markdown table. Installs the other systems' Debian packages when missing.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${QUAVELINK_BUILD_DIR:-$top/build}

if [ "${QUAVELINK_IN_PRIVATE_NETWORK:-}" != 1 ]; then
  "$top/bench/latency/install-peers.sh" >&2
  cmake -S "$top" -B "$build" >/dev/null
  cmake --build "$build" --target quavelink-serverd quavelink-client session_authority private_sound_server -j 2 >&2
  exec env QUAVELINK_IN_PRIVATE_NETWORK=1 QUAVELINK_BUILD_DIR="$build" \
    "$top/scripts/in-private-network.sh" "$0" "$@"
fi

clicks=80 spacing=0.75 jitter=0.2 search=1 only="floor ours snapcast trx rtp"
rates="0 1 2 3" modes="reliable best-effort" ours_options="" loopback_ms="" rtp_ms="" floor_ms=""
realtime_kit=0 sound_server=pulseaudio
while [ $# -gt 0 ]; do
  case $1 in
    --rates) rates=$2; shift ;;
    --modes) modes=$2; shift ;;
    --ours-options) ours_options=$2; shift ;;
    --quick) clicks=50 spacing=0.5 jitter=0.15 ;;
    --clicks) clicks=$2; shift ;;
    --no-search) search=0 ;;
    --only) only=$2; shift ;;
    --loopback-ms) loopback_ms=$2; shift ;;
    --rtp-ms) rtp_ms=$2; shift ;;
    --floor-ms) floor_ms=$2; shift ;;
    --realtime-kit) realtime_kit=1 ;;
    --sound-server) sound_server=$2; shift ;;
    *) echo "unknown option: $1" >&2; exit 1 ;;
  esac
  shift
done

work=$(mktemp -d)
# Readable by the user a client may run as: the sound server's socket is in it.
chmod 755 "$work"
daemon=
. "$top/bench/latency/systems.sh"
cleanup() {
  stop_system
  stop_realtime_kit
  if [ -n "$daemon" ] && ! kill -0 "$daemon" 2>/dev/null; then
    echo "the sound server died; the end of its log:" >&2
    tail -n 20 "$work/pulseaudio.log" "$work/sound-server.log" 2>/dev/null >&2
  fi
  [ -z "$daemon" ] || { kill "$daemon" 2>/dev/null; wait "$daemon" 2>/dev/null; } || true
  [ -z "${QUAVELINK_LATENCY_LOGS:-}" ] || cp "$work/pulseaudio.log" "$QUAVELINK_LATENCY_LOGS/" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

sinks=("module-null-sink sink_name=a rate=48000 sink_properties=device.description=SinkA"
       "module-null-sink sink_name=b rate=48000 sink_properties=device.description=SinkB")
if [ "$sound_server" = pipewire ]; then
  "$build/tests/support/private_sound_server" pipewire "${sinks[@]}" >"$work/sound-server.env" \
    2>"$work/sound-server.log" &
  daemon=$!
  for _ in $(seq 150); do grep -q '^ready' "$work/sound-server.env" && break; sleep 0.1; done
  while IFS='=' read -r name value; do
    [ -z "$value" ] || export "$name=$value"
  done <"$work/sound-server.env"
else
  # No PipeWire here: the programs then choose libpulse.
  export PIPEWIRE_RUNTIME_DIR=$work
  env PULSE_RUNTIME_PATH="$work/run" PULSE_STATE_PATH="$work/state" HOME="$work" pulseaudio -n \
    --daemonize=no --exit-idle-time=-1 --use-pid-file=no --log-target=stderr ${QUAVELINK_LATENCY_LOGS:+--log-level=info} \
    --load="module-native-protocol-unix socket=$work/native auth-anonymous=1" \
    "${sinks[@]/#/--load=}" >"$work/pulseaudio.log" 2>&1 &
  daemon=$!
  export PULSE_SERVER=unix:$work/native
fi
export XDG_CONFIG_HOME=$work/config
for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
pactl set-default-sink a
[ $realtime_kit = 0 ] || start_realtime_kit

# The probe is the measuring instrument: real-time scheduling, where allowed, keeps its own
# wake-ups (its writes into A, its reads' time stamps) out of the figures on a busy machine.
# Priority 1 puts it above every normal thread and below the audio threads under test.
probe=(/usr/bin/python3 -B "$top/bench/latency/probe.py")
chrt -f 1 true 2>/dev/null && probe=(chrt -f 1 "${probe[@]}")

# The host of a virtual machine takes CPU time from it now and then ("steal"): while it does,
# every audio thread of the run wakes late, whatever system is measured.
# stolen_since "": the counters now; stolen_since COUNTERS: the share stolen since, in %.
stolen_since() {
  local now
  now=$(awk '/^cpu / { print $9, $2 + $3 + $4 + $5 + $6 + $7 + $8 + $9 }' /proc/stat)
  if [ -z "$1" ]; then echo "$now"; return; fi
  awk -v a="$1" -v b="$now" 'BEGIN {
    split(a, x, " "); split(b, y, " ")
    printf "%.1f", 100 * (y[1] - x[1]) / (y[2] - x[2] > 0 ? y[2] - x[2] : 1)
  }'
}

# measure SYSTEM SETTING-TEXT START-COMMAND...: prints one table row; succeeds when every
# click arrived and the tone never broke up.
measure() {
  local system=$1 setting=$2
  shift 2
  "$@"
  local line stolen
  stolen=$(stolen_since "")
  # What sink B runs at while the system plays: its configured latency, the smallest that any
  # stream on it asked for (the probe's reads of B's monitor ask for 10 ms).
  ( sleep "$(awk -v w="$warmup" 'BEGIN { print w + 5 }')"
    pactl list sinks 2>/dev/null | awk '/^\tName: /{ sink = $2 }
      sink == "b" && /^\tLatency: / { gsub(",", ""); print $5 / 1000; exit }' ) \
    >"$work/sink-latency" 2>/dev/null &
  local sampler=$!
  line=$("${probe[@]}" --play a --near a.monitor --far b.monitor --clicks "$clicks" \
         --spacing "$spacing" --jitter "$jitter" --warmup "$warmup" --tail "$tail" \
         --label "$system" | grep '^result' || true)
  stolen=$(stolen_since "$stolen")
  wait "$sampler" 2>/dev/null || true
  stop_system
  [ "$system" != rtp ] || stop_rtp
  [ "$system" != loopback ] || stop_loopback
  if [ "$system" = ours ] && [ -n "${QUAVELINK_LATENCY_LOGS:-}" ]; then
    mkdir -p "$QUAVELINK_LATENCY_LOGS"
    cp "$work/client.log" "$QUAVELINK_LATENCY_LOGS/$(tr -c 'A-Za-z0-9.-' _ <<<"$setting").log"
  fi
  # Our client counts the times its jitter buffer ran dry: the dropouts it did not count came
  # from the sound server's playback buffer.
  local underruns= output_underruns=
  [ "$system" != ours ] || underruns=$(sed -n 's/^summary .* underruns=\([0-9]*\).*/\1/p' "$work/client.log")
  [ "$system" != ours ] || output_underruns=$(sed -n 's/^summary .* output_underruns=\([0-9]*\).*/\1/p' "$work/client.log")
  field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<"$line"; }
  local found sent dropouts notes="load $(cut -d' ' -f1 /proc/loadavg), CPU stolen $stolen %"
  found=$(field found) sent=$(field sent) dropouts=$(field dropouts)
  [ "$(field source_dropouts)" = 0 ] || notes+=", $(field source_dropouts) gaps already on A, not counted"
  [ -z "$underruns" ] || notes+=", client underruns $underruns"
  [ -z "$output_underruns" ] || notes+=", sound server ran dry $output_underruns times"
  [ "$(field late_ms)" = "" ] || notes+=", clock $(field late_ms) ms"
  [ ! -s "$work/sink-latency" ] || notes+=", sink B at $(cat "$work/sink-latency") ms"
  if [ "$system" = ours ]; then
    local realtime
    realtime=$(sed -n 's/^status .* output_realtime=\([^ ]*\).*/\1/p' "$work/client.log" | tail -n 1)
    [ -z "$realtime" ] || notes+=", output thread real-time: $realtime"
  fi
  # A recording that lost data is placed again from there on: worth knowing, not a fault.
  case $(field lost_ms) in ""|0.*|-*) ;; *) notes+=", a recording lost $(field lost_ms) ms" ;; esac
  printf '| %s | %s | %s | %s | %s/%s | %s | %s |\n' "$system" "$setting" \
    "$(field median_ms)" "$(field p99_ms)" "${found:-0}" "${sent:-?}" "${dropouts:--}" "$notes"
  local clean=0
  [ -n "$found" ] && [ "$found" = "$sent" ] && [ "$dropouts" = 0 ] && clean=1
  printf '%s\t%s\t%s\t%s\t%s\n' "$system" "$setting" "$(field median_ms)" "${dropouts:--}" \
    "$clean" >>"$work/rows"
  [ $clean = 1 ]
}

rate_name() { case $1 in 0) echo PCM ;; *) echo "Opus rate $1" ;; esac; }

# explore SYSTEM START-FUNCTION DEFAULT-CLEAN CANDIDATE...: the candidates are the start
# function's arguments, comma-separated, from the smallest buffer up. After a clean run at the
# default buffer, tries the candidates below the default from the top down until one fails;
# otherwise those above it from the bottom up until one runs clean.
explore() {
  local system=$1 start=$2 clean=$3 candidate
  shift 3
  local -a below=() above=()
  for candidate in "$@"; do
    case $candidate in
      -*) above+=("${candidate#-}") ;;
      *) below+=("$candidate") ;;
    esac
  done
  if [ "$clean" = 0 ]; then
    local i
    for ((i = ${#below[@]} - 1; i >= 0; i--)); do try "$system" "$start" "${below[i]}" || return 0; done
  else
    for candidate in "${above[@]}"; do try "$system" "$start" "$candidate" && return 0; done
  fi
  return 0
}

# around FIRST CANDIDATE...: the candidates below the first setting as they are, those above it
# marked "-", for explore.
around() {
  local first=$1 candidate
  shift
  for candidate in "$@"; do
    if [ "$candidate" -lt "$first" ]; then echo "$candidate"
    elif [ "$candidate" -gt "$first" ]; then echo "-$candidate"; fi
  done
}

try() {
  local -a args
  IFS=, read -r -a args <<<"$3,"
  measure "$1" "$(describe "$1" "${args[@]}")" "$2" "${args[@]}"
}

describe() {
  local system=$1
  shift
  case $system in
    ours)
      local what=${4:-}
      [ -n "$what" ] || what=${3:+-j $3}
      echo "$(rate_name "$1") $2, ${what:-$ours_default}" ;;
    snapcast) echo "buffer ${1:-1000 (default)} ms, pulse buffer_time ${2:-100 (default)} ms" ;;
    trx) echo "-m ${1:-16 (default)}, -j ${2:-16 (default)}" ;;
    rtp) echo "latency_msec ${1:-500 (default)}, ${rtp_settle} s to settle" ;;
    floor) echo "parec --latency-msec=5 \\| pacat --latency-msec=${1:-20}" ;;
    loopback) echo "latency_msec ${1:-200 (default)}" ;;
  esac
}

# The client's default, from its own help text: a fixed target in earlier builds, else the
# adaptive playout.
ours_client=${QUAVELINK_CLIENT:-$build/client/quavelink-client}
ours_default=$("$ours_client" --help | sed -n 's/.*--jitter-ms N .*(default \([0-9]*\)).*/-j \1 (default)/p')
[ -n "$ours_default" ] || ours_default="adaptive (default)"
[ -z "${QUAVELINK_CLIENT_LABEL:-}" ] || ours_default+=", $QUAVELINK_CLIENT_LABEL"

echo "End-to-end latency, sink A to sink B: $clicks clicks ${spacing} s ± ${jitter} s apart," \
  "on $sound_server, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "| system | setting | median ms | p99 ms | clicks | dropouts | notes |"
echo "|---|---|---|---|---|---|---|"
# Candidates below a system's default buffer, then (marked "-") those above it.
for system in $only; do
  case $system in
    ours)
      IFS=';' read -r -a option_sets <<<"$ours_options;"
      [ ${#option_sets[@]} -gt 0 ] || option_sets=("")
      for rate in $rates; do
        for mode in $modes; do
          for set in "${option_sets[@]}"; do
            [ -z "$set" ] || { try ours start_ours "$rate,$mode,,$set" || true; continue; }
            status=0
            try ours start_ours "$rate,$mode," || status=$?
            [ $search = 0 ] || explore ours start_ours $status "$rate,$mode,10" "$rate,$mode,15" \
              "-$rate,$mode,30" "-$rate,$mode,40" "-$rate,$mode,60"
          done
        done
      done ;;
    snapcast)
      status=0
      try snapcast start_snapcast "," || status=$?
      [ $search = 0 ] || explore snapcast start_snapcast $status "50,20" "80,20" "100,30" \
        "150,50" "200,100" "500,100" "-2000,100"
      ;;
    trx)
      status=0
      try trx start_trx "," || status=$?
      [ $search = 0 ] || explore trx start_trx $status "4,4" "8,8" "12,12" "-24,24" "-32,32" \
        "-48,48"
      ;;
    rtp)
      status=0
      try rtp start_rtp "$rtp_ms" || status=$?
      [ $search = 0 ] || explore rtp start_rtp $status $(around "${rtp_ms:-500}" 20 30 50 100 200 1000)
      ;;
    floor)
      status=0
      try floor start_floor "$floor_ms" || status=$?
      [ $search = 0 ] || explore floor start_floor $status $(around "${floor_ms:-20}" 10 15 20 30 40)
      ;;
    loopback)
      status=0
      try loopback start_loopback "$loopback_ms" || status=$?
      [ $search = 0 ] || explore loopback start_loopback $status "5" "10" "15" "20" "30" "50" \
        "100" "-500"
      ;;
    *) echo "unknown system: $system" >&2; exit 1 ;;
  esac
done

# Each row of ours against the floor, and against PulseAudio's RTP receiver, at their smallest
# clean setting in this run (else their first row, marked so).
reference() {
  awk -F'\t' -v s="$1" '$1 == s { if (!first) first = $3 " ms (" $2 ", not clean)";
      if ($5 == 1) clean = $3 " ms (" $2 ")" } END { print clean ? clean : first }' "$work/rows"
}
if [ -s "$work/rows" ] && grep -q '^ours' "$work/rows"; then
  floor_ref=$(reference floor) rtp_ref=$(reference rtp)
  echo
  [ -z "$floor_ref" ] || echo "Floor: $floor_ref."
  [ -z "$rtp_ref" ] || echo "PulseAudio RTP: $rtp_ref."
  echo
  echo "| ours | median ms | dropouts | against the floor | against RTP |"
  echo "|---|---|---|---|---|"
  awk -F'\t' -v f="${floor_ref%% *}" -v r="${rtp_ref%% *}" '
    function against(x, ref) { return (ref == "" || x == "") ? "-" : sprintf("%+.1f ms", x - ref) }
    $1 == "ours" { printf "| %s | %s | %s | %s | %s |\n", $2, $3, $4, against($3, f), against($3, r) }' \
    "$work/rows"
fi
