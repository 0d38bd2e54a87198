#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing need.
# Safe to run again: it only calls apt-get when something is missing. PipeWire comes without
# pipewire-alsa and pipewire-audio-client-libraries: those conflict with pulseaudio and remove it.
set -euo pipefail

packages=(
  build-essential cmake pkg-config libgtest-dev libgmock-dev libbenchmark-dev
  libenet-dev libopus-dev libcurl4-openssl-dev qt6-base-dev libpulse-dev libpipewire-0.3-dev
  libspeexdsp-dev libsystemd-dev
  libmp3lame-dev libmp3lame0 libx11-dev libxcb1-dev
  pulseaudio pulseaudio-utils sox libsox-fmt-pulse mpg123 ffmpeg
  pipewire pipewire-pulse wireplumber dbus-daemon
  xvfb xauth xdotool trayer openbox weston qt6-wayland imagemagick iproute2 util-linux
  clang clang-format libclang-rt-14-dev
  dpkg-dev file help2man lintian appstream
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
echo "Installing: ${missing[*]}"
"${as_root[@]}" apt-get update
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
