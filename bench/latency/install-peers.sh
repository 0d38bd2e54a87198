#!/usr/bin/env bash
# Installs the Debian packages of the systems the latency benchmark compares with, and
# RealtimeKit for its ordinary user's rows, when any is missing. Services that a package would start are kept from starting: every run of a peer
# belongs inside the benchmark's private network namespace.
set -euo pipefail
packages=(snapserver snapclient trx libasound2-plugins gstreamer1.0-plugins-base
          gstreamer1.0-plugins-good pulseaudio pulseaudio-utils rtkit)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
policy=/usr/sbin/policy-rc.d
made_policy=0
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' | "${sudo[@]}" tee "$policy" >/dev/null
  "${sudo[@]}" chmod 755 "$policy"
  made_policy=1
fi
trap '[ $made_policy = 0 ] || "${sudo[@]}" rm -f "$policy"' EXIT
"${sudo[@]}" apt-get update
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
