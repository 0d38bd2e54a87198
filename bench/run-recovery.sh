#!/usr/bin/env bash
# Time from a restarted sound server to audio reaching the clients again, and the clients that
# stayed connected, for quavelink-serverd and for the window program (Qt offscreen), with ten
# listening clients of mixed modes, all inside a private network namespace. The sound server is a
# private PulseAudio daemon, or with QUAVELINK_TEST_SOUND_SERVER=pipewire (as for the tests)
# pipewire + wireplumber + pipewire-pulse, all three killed and started again.
# Usage: bench/run-recovery.sh [rounds, default 3] [seconds the sound server is away, default 1]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${QUAVELINK_BUILD_DIR:-$top/build}
rounds=${1:-3}
outage=${2:-1}
if [ -z "${QUAVELINK_RECOVERY_INSIDE:-}" ]; then
  "$top/scripts/build.sh" >/dev/null
  exec env QUAVELINK_RECOVERY_INSIDE=1 "$top/scripts/in-private-network.sh" "$0" "$@"
fi
/usr/bin/python3 "$top/bench/recovery_time.py" "$build/headless/quavelink-serverd" serverd \
  "$rounds" "$outage"
/usr/bin/python3 "$top/bench/recovery_time.py" "$build/app/quavelink-server" window \
  "$rounds" "$outage"
