#!/usr/bin/env bash
# Prints the heap allocations per block from a private PulseAudio daemon's null sink through the
# capture engine and the block pipeline to ten clients, by thread and calling place.
# Usage: bench/run-allocations.sh [seconds, default 10] [--record]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/build.sh" >/dev/null
# The server's own log lines (connects, data requests) are left out of the report.
"$top/scripts/in-private-network.sh" "${QUAVELINK_BUILD_DIR:-$top/build}/bench/allocations_per_block" "$@" |
  grep -v -e '^Status:' -e '^A new client' -e '^Got Data' -e '^Sending ' -e '^Initializing' \
    -e '^PlaySilence' -e '^Mix format' -e '^Using port' -e '^File record' -e '^Capturing at'
