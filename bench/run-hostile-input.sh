#!/usr/bin/env bash
# Prints what a careless or hostile host costs the other listeners of quavelink-serverd: the
# longest gap in their audio after bursts of 1000 and 3000 reliable messages from one ENet peer
# and a newcomer's wait for its connect; a listener's wait for a discovery answer during floods
# of empty, junk and valid datagrams; the discovery answer's size against the query's and the
# answers a second at most. Each figure beside the same one without burst or flood. Runs the
# server on a private PulseAudio daemon in a private network namespace.
# Usage: bench/run-hostile-input.sh
# QUAVELINK_SERVERD names another quavelink-serverd to measure (a build of an older commit).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${QUAVELINK_BUILD_DIR:-$top/build}
"$top/scripts/build.sh" >/dev/null
serverd=${QUAVELINK_SERVERD:-$build/headless/quavelink-serverd}
exec "$top/scripts/in-private-network.sh" "$build/bench/hostile_input" "$serverd"
