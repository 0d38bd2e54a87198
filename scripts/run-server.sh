#!/usr/bin/env bash
# Installs what is missing, builds the programs (not the tests and benchmarks, which
# scripts/test.sh builds), and starts the server.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
QUAVELINK_BUILD_TARGETS="quavelink-server quavelink-serverd quavelink-client" "$top/scripts/build.sh"
exec "${QUAVELINK_BUILD_DIR:-$top/build}/app/quavelink-server" "$@"
