#!/usr/bin/env bash
# Configures and builds into build/ (or $QUAVELINK_BUILD_DIR); extra arguments go to cmake.
# QUAVELINK_BUILD_TARGETS (blank-separated) builds only those targets and what they need.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${QUAVELINK_BUILD_DIR:-$top/build}
cmake -S "$top" -B "$build" "$@" >/dev/null
targets=()
for target in ${QUAVELINK_BUILD_TARGETS:-}; do targets+=(--target "$target"); done
cmake --build "$build" -j "$(nproc)" "${targets[@]}"
