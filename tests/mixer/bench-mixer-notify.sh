#!/usr/bin/env bash
# Prints how long a volume change made with pactl takes to move the window's volume slider,
# against one pactl call. Usage: tests/mixer/bench-mixer-notify.sh [rounds, default 20]
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${QUAVELINK_BUILD_DIR:-$top/build}
cmake --build "$build" --target mixer_notify_latency -j2 >/dev/null
exec "$top/scripts/in-private-network.sh" "$build/tests/mixer/mixer_notify_latency" "$@"
