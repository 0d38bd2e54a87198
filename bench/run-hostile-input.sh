#!/usr/bin/env bash
# Prints what a careless or hostile host costs the other listeners of quavelink-serverd: the
# longest gap in their audio after bursts of 1000 and 3000 reliable messages from one ENet peer
# and a newcomer's wait for its connect; newcomers during and after a flood of ENet CONNECTs that
# never complete their handshake; a listener's wait for a discovery answer during floods of
# empty, junk and valid datagrams, and during a flood of valid queries from 1000 forged
# addresses; the discovery answer's size against the query's and the answers a second at most;
# a client that never reads, connect and disconnect churn, names at the limits; a recording onto
# a tmpfs that fills up. Each figure beside the same one without burst or flood. Runs the server
# on a private PulseAudio daemon in a private network namespace.
# Usage: bench/run-hostile-input.sh [--before REV|SERVERD] [SECTION...]
#   --before  measures first a quavelink-serverd built from commit REV (in a scratch worktree)
#             or the program SERVERD, then this tree's: before and after in one run
#   SECTION   bursts, discovery, halfopen, forged, careless, disk (all by default)
# QUAVELINK_SERVERD names another quavelink-serverd to measure instead of this tree's.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${QUAVELINK_BUILD_DIR:-$top/build}
before=
if [ "${1:-}" = "--before" ]; then
  before=${2:?--before needs a commit or a program}
  shift 2
fi
"$top/scripts/build.sh" >/dev/null
serverd=${QUAVELINK_SERVERD:-$build/headless/quavelink-serverd}
if [ -n "$before" ] && [ ! -x "$before" ]; then
  tree=$(mktemp -d /tmp/quavelink-before-XXXXXX)
  trap 'git -C "$top" worktree remove --force "$tree" >/dev/null 2>&1 || true' EXIT
  git -C "$top" worktree add --detach "$tree" "$before" >/dev/null
  QUAVELINK_BUILD_DIR="$tree/build" QUAVELINK_BUILD_TARGETS=quavelink-serverd \
    "$tree/scripts/build.sh" >/dev/null
  before=$tree/build/headless/quavelink-serverd
fi
if [ -n "$before" ]; then
  echo "=== before"
  "$top/scripts/in-private-network.sh" "$build/bench/hostile_input" "$before" "$@"
  echo
  echo "=== after"
fi
# Not exec: the scratch worktree of --before REV is removed on exit.
"$top/scripts/in-private-network.sh" "$build/bench/hostile_input" "$serverd" "$@"
