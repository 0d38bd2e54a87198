#!/usr/bin/env bash
# Starts quavelink-server on a private desktop and saves a PNG of its window.
#   scripts/screenshot.sh [output.png] [seconds to wait before the picture, default 4]
# QUAVELINK_SCREENSHOT_DESKTOP picks the desktop: x11 (the default: Xvfb with the openbox window
# manager and trayer as the notification area; the picture is the window with its frame) or
# wayland (a headless weston; the picture is weston's whole screen). QT_SCALE_FACTOR=1.5 shows a
# scaled desktop.
# Everything runs inside a private network namespace. When pulseaudio is installed, a private
# daemon with a playback and a capture device is started and a tone is played, so the list and
# the meter have something to show; without it (or with QUAVELINK_SCREENSHOT_NO_SOUND=1) the
# program shows how it runs with no sound server. Uses the build in build/ (or
# $QUAVELINK_BUILD_DIR).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${QUAVELINK_BUILD_DIR:-$top/build}
out=$(realpath -m "${1:-$build/screenshots/main-window.png}")
settle=${2:-4}

if [ -z "${QUAVELINK_SCREENSHOT_INSIDE:-}" ]; then
  export QUAVELINK_SCREENSHOT_INSIDE=1
  exec "$top/scripts/in-private-network.sh" "$0" "$out" "$settle"
fi

program=$build/app/quavelink-server
[ -x "$program" ] || { echo "no $program: build first (scripts/build.sh)" >&2; exit 1; }
desktop=${QUAVELINK_SCREENSHOT_DESKTOP:-x11}
case "$desktop" in
  x11) tools=(Xvfb xdotool import openbox trayer) ;;
  wayland) tools=(weston weston-screenshooter) ;;
  *) echo "QUAVELINK_SCREENSHOT_DESKTOP is x11 or wayland, not '$desktop'" >&2; exit 2 ;;
esac
for tool in "${tools[@]}"; do
  command -v "$tool" >/dev/null || { echo "$tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done

# A LAN interface of the namespace's own (a veth pair, both ends inside it), so "Server Address"
# shows an address as on a machine on a network; nothing is sent over it.
if ip link add lan0 type veth peer name lan1 2>/dev/null; then
  ip addr add 192.168.1.20/24 dev lan0 && ip link set lan1 up && ip link set lan0 up || true
fi

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [ -n "${QUAVELINK_SCREENSHOT_KEEP:-}" ] && echo "kept $work" >&2 || rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/run" "$work/config" "$(dirname "$out")"
chmod 700 "$work/run"

if [ "$desktop" = x11 ]; then
  # Xvfb picks a free display itself and writes its number to descriptor 3.
  Xvfb -displayfd 3 -screen 0 1280x960x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
  pids+=($!)
  for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
  [ -s "$work/display" ] || { echo "Xvfb did not start:" >&2; cat "$work/xvfb.log" >&2; exit 1; }
  export DISPLAY=:$(head -n1 "$work/display")
  unset WAYLAND_DISPLAY
  openbox >"$work/openbox.log" 2>&1 &
  pids+=($!)
  trayer --edge top --align right --widthtype pixel --width 120 --heighttype pixel --height 24 \
    >"$work/trayer.log" 2>&1 &
  pids+=($!)
  platform=xcb
else
  # --debug lets weston-screenshooter take the picture.
  XDG_RUNTIME_DIR="$work/run" weston --backend=headless-backend.so --socket=wayland-shot \
    --use-pixman --width=1000 --height=720 --idle-time=0 --debug >"$work/weston.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do [ -S "$work/run/wayland-shot" ] && break; sleep 0.1; done
  [ -S "$work/run/wayland-shot" ] || { echo "weston did not start:" >&2; cat "$work/weston.log" >&2; exit 1; }
  export WAYLAND_DISPLAY=wayland-shot
  unset DISPLAY
  platform=wayland
fi

if [ -z "${QUAVELINK_SCREENSHOT_NO_SOUND:-}" ] && command -v pulseaudio >/dev/null; then
  env PULSE_RUNTIME_PATH="$work/pulse/run" PULSE_STATE_PATH="$work/pulse/state" HOME="$work/pulse" \
    pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no --disable-shm=yes \
    --load="module-native-protocol-unix socket=$work/native auth-anonymous=1" \
    --load="module-null-sink sink_name=speakers rate=48000 sink_properties=device.description=Speakers" \
    --load="module-null-source source_name=line_in description=Line-In" \
    >"$work/pulse.log" 2>&1 &
  pids+=($!)
  export PULSE_SERVER=unix:$work/native
  for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
  if command -v sox >/dev/null; then
    sox -q -n -t pulseaudio speakers synth 600 sine 440 sine 660 gain -6 2>/dev/null &
    pids+=($!)
  fi
else
  export PULSE_SERVER=unix:$work/no-sound-server
fi

# No 48 kHz advice: its box would hold the capture start until someone closes it.
env XDG_RUNTIME_DIR="$work/run" XDG_CONFIG_HOME="$work/config" QUAVELINK_SERVER_CONSOLE=1 \
  QUAVELINK_SERVER_NOWARN_48K=1 QT_QPA_PLATFORM=$platform \
  "$program" >"$work/program.log" 2>&1 &
pids+=($!)

if [ "$desktop" = wayland ]; then
  for _ in $(seq 200); do grep -q "Initializing server network" "$work/program.log" && break; sleep 0.1; done
  sleep "$settle"
  (cd "$work" && XDG_RUNTIME_DIR="$work/run" weston-screenshooter >/dev/null)
  shot=$(ls "$work"/wayland-screenshot-*.png 2>/dev/null | head -n1)
  [ -n "$shot" ] || { echo "weston took no picture:" >&2; cat "$work/weston.log" >&2; exit 1; }
  cp "$shot" "$out"
  echo "$out"
  exit 0
fi

window=$(timeout 20 xdotool search --sync --onlyvisible --name '^QuaveLink Server v' | head -n1 || true)
[ -n "$window" ] || { echo "the window did not appear:" >&2; cat "$work/program.log" >&2; exit 1; }
sleep "$settle"
# Message boxes (a missing sound server, say) open over the window; there is no window manager
# to stack them, so move them out of the picture. They stay open: whoever asked still waits.
for box in $(xdotool search --onlyvisible --name '^QuaveLink Server$' 2>/dev/null || true); do
  [ "$box" = "$window" ] && continue
  echo "a message box was open; unmapped it for the picture" >&2
  xdotool windowunmap "$box" || true
done
sleep 0.5
# With its frame, as the window manager draws it.
import -frame -window "$window" "$out"
echo "$out"
