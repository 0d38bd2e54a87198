#!/usr/bin/env bash
# Prints the block pipeline's CPU cost with ten clients against the three Opus encodes alone.
# Usage: bench/run-pipeline-cost.sh [seconds of audio, default 20]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/build.sh" >/dev/null
exec "$top/scripts/in-private-network.sh" "${QUAVELINK_BUILD_DIR:-$top/build}/bench/pipeline_cost" "$@"
