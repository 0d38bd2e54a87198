#!/usr/bin/env bash
# A soak of quavelink-serverd: ten clients of mixed modes through the lossy relay, a WAV
# recording, the sound server restarted every few minutes, inside a private network namespace.
# Prints memory, CPU and blocks per client every minute, the recovery after each restart, and
# the recording's length against the wall clock.
# Usage: bench/run-soak.sh [minutes, default 30] [minutes between restarts, default 5] [loss, default 0.05]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${QUAVELINK_BUILD_DIR:-$top/build}
if [ -z "${QUAVELINK_SOAK_INSIDE:-}" ]; then
  "$top/scripts/build.sh" >/dev/null
  exec env QUAVELINK_SOAK_INSIDE=1 "$top/scripts/in-private-network.sh" "$0" "$@"
fi
/usr/bin/python3 "$top/bench/soak.py" "$build/headless/quavelink-serverd" "$build/bench/lossy_relay" \
  "${1:-30}" "${2:-5}" "${3:-0.05}"
