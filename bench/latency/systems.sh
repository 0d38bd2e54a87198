# Starting and stopping each system under test, sourced by bench/run-latency.sh inside its
# private network namespace. Every system takes sink A's sound (its monitor, or ALSA/a fifo fed
# from it) and plays what it receives on sink B. A start function leaves its processes in
# `running`, and in `warmup` and `tail` the seconds the probe should give it before the first
# click and after the last (enough for its buffer to fill and drain).
# Needs: $work (a private folder), $build (the build folder), PULSE_SERVER set.

running=()

stop_system() {
  local i
  for ((i = ${#running[@]} - 1; i >= 0; i--)); do kill "${running[i]}" 2>/dev/null || true; done
  for pid in "${running[@]}"; do wait "$pid" 2>/dev/null || true; done
  running=()
}

# ours RATE_CODE reliable|best-effort JITTER_MS ("" for the client's default) [CLIENT-OPTIONS]
start_ours() {
  local mode=-r
  [ "$2" = best-effort ] && mode=-b
  local jitter=() extra=()
  [ -n "${3:-}" ] && jitter=(-j "$3")
  local settings=() word
  [ -n "${4:-}" ] && read -r -a settings <<<"$4"
  # NAME=VALUE words set the client's environment (QUAVELINK_CLIENT=PATH and
  # QUAVELINK_SERVER=PATH: which builds run; QUAVELINK_AUDIO_BACKEND=API: the sound server API
  # of both programs), the rest are its options.
  local environment=() client=${QUAVELINK_CLIENT:-$build/client/quavelink-client}
  local server=${QUAVELINK_SERVER:-$build/headless/quavelink-serverd} as=() server_environment=()
  for word in "${settings[@]}"; do
    case $word in
      QUAVELINK_CLIENT=*) client=${word#*=} ;;
      QUAVELINK_SERVER=*) server=${word#*=} ;;
      QUAVELINK_RUN_AS=*) as=(setpriv --reuid="${word#*=}" --regid="${word#*=}" --clear-groups)
        ensure_user "${word#*=}" ;;
      QUAVELINK_AUDIO_BACKEND=*) environment+=("$word") server_environment+=("$word") ;;
      [A-Z]*=*) environment+=("$word") ;;
      *) extra+=("$word") ;;
    esac
  done
  env "${server_environment[@]}" "$server" --device SinkA >"$work/serverd.log" 2>&1 &
  running+=($!)
  sleep 0.5
  # First, so that a word of the set may take RealtimeKit away again.
  [ -z "${system_bus:-}" ] || environment=("DBUS_SYSTEM_BUS_ADDRESS=$system_bus" "${environment[@]}")
  "${as[@]}" env "${environment[@]}" "$client" 127.0.0.1 -c "$1" "$mode" "${jitter[@]}" "${extra[@]}" -d b --no-keys \
    --machine >"$work/client.log" 2>&1 &
  running+=($!)
  warmup=3 tail=2.5
}

# snapcast BUFFER_MS ("" for its default) PLAYER_BUFFER_MS ("" for its default)
start_snapcast() {
  local buffer=() player=pulse
  [ -n "${1:-}" ] && buffer=(--stream.buffer="$1")
  [ -n "${2:-}" ] && player="pulse:buffer_time=$2"
  mkdir -p "$work/snapserver"
  : >"$work/snapserver.conf"
  rm -f "$work/snapfifo"
  snapserver -c "$work/snapserver.conf" --server.datadir="$work/snapserver" \
    --http.enabled=false --tcp.enabled=false --stream.bind_to_address=127.0.0.1 \
    --stream.source="pipe://$work/snapfifo?name=bench&mode=create&sampleformat=48000:16:2" \
    "${buffer[@]}" --logging.sink=stderr >"$work/snapserver.log" 2>&1 &
  running+=($!)
  for _ in $(seq 50); do [ -p "$work/snapfifo" ] && break; sleep 0.1; done
  # The fifo is fed in 5 ms fragments, as our server captures.
  parec -d a.monitor --raw --format=s16le --rate=48000 --channels=2 --latency-msec=5 \
    >"$work/snapfifo" &
  running+=($!)
  snapclient -h 127.0.0.1 --player "$player" -s b --logsink stderr >"$work/snapclient.log" 2>&1 &
  running+=($!)
  local seconds
  seconds=$(awk -v b="${1:-1000}" 'BEGIN { print b / 1000 }')
  warmup=$(awk -v s="$seconds" 'BEGIN { print 3 + s }')
  tail=$(awk -v s="$seconds" 'BEGIN { print 1.5 + 1.5 * s }')
}

# trx BUFFER_MS JITTER_MS (both "" for its defaults): tx's and rx's ALSA buffer, rx's jitter
# buffer; ALSA reaches the private daemon through the pulse plugin.
start_trx() {
  local tx=() rx=()
  [ -n "${1:-}" ] && tx=(-m "$1") rx=(-m "$1")
  [ -n "${2:-}" ] && rx+=(-j "$2")
  cat >"$work/.asoundrc" <<EOT
pcm.quavelinkA { type pulse; device "a.monitor"; server "$PULSE_SERVER" }
pcm.quavelinkB { type pulse; device "b"; server "$PULSE_SERVER" }
EOT
  HOME=$work trx-rx -h 127.0.0.1 -p 47350 -d quavelinkB "${rx[@]}" >"$work/trx-rx.log" 2>&1 &
  running+=($!)
  HOME=$work trx-tx -h 127.0.0.1 -p 47350 -d quavelinkA "${tx[@]}" >"$work/trx-tx.log" 2>&1 &
  running+=($!)
  warmup=3 tail=2.5
}

# rtp LATENCY_MS ("" for module-rtp-recv's default): PulseAudio's own RTP sender and receiver
# in the private daemon, over a multicast group on the namespace's loopback. The receiver
# steers its rate towards its latency slowly: a minute after it starts it plays at that
# latency, before it plays far later (148 to 458 ms measured at 3 s, whatever the setting).
# On PipeWire, PipeWire's own modules (libpipewire-module-rtp-sink and -rtp-source), loaded
# through pipewire-pulse, whose module-rtp-recv passes latency_msec on as sess.latency.msec.
rtp_modules=()
start_rtp() {
  local latency=() sap=(sap_address=239.255.42.42)
  [ -n "${1:-}" ] && latency=(latency_msec="$1")
  # PipeWire's receiver listens on its own SAP group, where its sender announces.
  [ "$sound_server" = pulseaudio ] || sap=()
  rtp_modules=()
  rtp_modules+=("$(pactl load-module module-rtp-send source=a.monitor \
    destination_ip=239.255.42.42 port=46000 loop=1)")
  rtp_modules+=("$(pactl load-module module-rtp-recv sink=b "${sap[@]}" "${latency[@]}")")
  # The receiver plays once it has heard the sender's session announcement.
  for _ in $(seq 150); do
    if [ "$sound_server" = pulseaudio ]; then
      pactl list short sink-inputs | grep -q module-rtp-recv && break
    else
      pactl list short sink-inputs | grep -q . && break
    fi
    sleep 0.1
  done
  warmup=$(awk -v l="${1:-500}" -v s="$rtp_settle" 'BEGIN { print s + l / 1000 }')
  tail=$(awk -v l="${1:-500}" 'BEGIN { print 1.5 + 1.5 * l / 1000 }')
}
rtp_settle=${QUAVELINK_RTP_SETTLE_S:-60}

stop_rtp() {
  local m
  for m in "${rtp_modules[@]}"; do pactl unload-module "$m" 2>/dev/null || true; done
  rtp_modules=()
}

# floor LATENCY_MS ("" for 20): two plain libpulse processes, `parec` from A's monitor in 5 ms
# fragments piped into `pacat` on B, with no network and no real-time priority: the least a
# program that plays across the sound server in its own process can do on this machine.
start_floor() {
  local format=(--raw --format=s16le --rate=48000 --channels=2)
  rm -f "$work/floor.fifo"
  mkfifo "$work/floor.fifo"
  pacat -d b "${format[@]}" --latency-msec="${1:-20}" <"$work/floor.fifo" 2>"$work/pacat.log" &
  running+=($!)
  parec -d a.monitor "${format[@]}" --latency-msec=5 >"$work/floor.fifo" 2>"$work/parec.log" &
  running+=($!)
  warmup=3 tail=2.5
}

# loopback LATENCY_MS ("" for module-loopback's default): the sound server's own path from A's
# monitor to B, with no network and no other process. Not a peer: it shows how low a clean
# latency this machine's sound server allows any system at all.
loopback_module=
start_loopback() {
  local latency=()
  [ -n "${1:-}" ] && latency=(latency_msec="$1")
  loopback_module=$(pactl load-module module-loopback source=a.monitor sink=b \
    source_dont_move=true sink_dont_move=true "${latency[@]}")
  warmup=$(awk -v l="${1:-200}" 'BEGIN { print 3 + l / 1000 }')
  tail=$(awk -v l="${1:-200}" 'BEGIN { print 1.5 + 1.5 * l / 1000 }')
}

stop_loopback() {
  [ -z "$loopback_module" ] || pactl unload-module "$loopback_module" 2>/dev/null || true
  loopback_module=
}

# An ordinary user without real-time rights (RLIMIT_RTPRIO 0, as every user but root here), for
# our client to run as.
ensure_user() {
  id "$1" >/dev/null 2>&1 || useradd --system --no-create-home --shell /usr/sbin/nologin "$1"
}

# RealtimeKit on a private system bus of its own (no desktop's bus is touched), beside the answer
# a desktop session's authorization agent gives it. rtkit-daemon limits its own file sizes to
# nothing, so its log goes through a pipe.
realtime_kit_pids=()
start_realtime_kit() {
  cat >"$work/system-bus.conf" <<EOT
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$work/system_bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
  </policy>
</busconfig>
EOT
  dbus-daemon --config-file="$work/system-bus.conf" --nofork --nopidfile >"$work/system-bus.log" 2>&1 &
  realtime_kit_pids+=($!)
  for _ in $(seq 50); do [ -S "$work/system_bus" ] && break; sleep 0.1; done
  system_bus=unix:path=$work/system_bus
  DBUS_SYSTEM_BUS_ADDRESS=$system_bus "$build/bench/session_authority" >"$work/authority.log" 2>&1 &
  realtime_kit_pids+=($!)
  mkfifo "$work/rtkit.pipe"
  cat "$work/rtkit.pipe" >"$work/rtkit.log" &
  realtime_kit_pids+=($!)
  DBUS_SYSTEM_BUS_ADDRESS=$system_bus /usr/libexec/rtkit-daemon --stderr >"$work/rtkit.pipe" 2>&1 &
  realtime_kit_pids+=($!)
  for _ in $(seq 50); do grep -q Running "$work/rtkit.log" 2>/dev/null && break; sleep 0.1; done
}

stop_realtime_kit() {
  local i
  for ((i = ${#realtime_kit_pids[@]} - 1; i >= 0; i--)); do kill "${realtime_kit_pids[i]}" 2>/dev/null || true; done
  for i in "${realtime_kit_pids[@]}"; do wait "$i" 2>/dev/null || true; done
  realtime_kit_pids=()
}
