#!/usr/bin/env bash
# The client's playout, adaptive as by default, behind the lossy relay of tests/support at
# 20 ± 10 ms of delay (first in, first out) and no loss, in real time: prints its target 5 s
# after the stream started, its target, underruns and concealed blocks over the run, and its
# target and level 20 s after the delay was removed (kept: a link that went bad once goes bad
# again; it comes down after three calm minutes). How long the machine held up the test or the
# relay is printed; past 10 ms the figures are not judged.
# Usage: bench/run-playout-relay.sh [seconds behind the jittery relay, default 60]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${QUAVELINK_BUILD_DIR:-$top/build}
cmake --build "$build" --target lossy_network_tests -j 2 >&2
QUAVELINK_PLAYOUT_SECONDS=${1:-60} "$top/scripts/in-private-network.sh" \
  "$build/tests/client/lossy_network_tests" \
  --gtest_filter='LossyNetwork.ThePlayoutSettlesBehindAJitteryLinkAndKeepsItsMarginOnceItIsQuiet' |
  grep -E '20 ±|delay gone|held|OK|FAILED|SKIPPED'
