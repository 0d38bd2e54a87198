#!/usr/bin/env bash
# Prints the click-to-client latency of PCM and Opus 256 kbit/s on a private PulseAudio daemon.
# Usage: bench/run-capture-latency.sh [clicks, at least 50, default 60]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/build.sh" >/dev/null
exec "$top/scripts/in-private-network.sh" "${QUAVELINK_BUILD_DIR:-$top/build}/bench/capture_latency" "$@"
