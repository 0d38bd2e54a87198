#!/usr/bin/env bash
# The client's playout behind the real streaming core and the client's session over loopback
# ENet, on simulated time, with the server's clock 300 ppm fast and 300 ppm slow against the
# sound card's: prints, per skew, the speed correction it settled on, how far the level strayed
# from its target after the first 10 s, underruns and dropped frames, and the share of 100 ms
# pieces of the last 10 s that hold the tone. Simulated time: the machine's load does not enter.
# Usage: bench/run-playout-skew.sh [seconds of stream per skew, default 600]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${QUAVELINK_BUILD_DIR:-$top/build}
cmake --build "$build" --target client_network_tests -j 2 >&2
QUAVELINK_PLAYOUT_SECONDS=${1:-600} "$top/scripts/in-private-network.sh" \
  "$build/tests/client/client_network_tests" --gtest_filter='ServerClock/PlayoutBehindTheServer.*' |
  grep -E 'ppm:|OK|FAILED'
