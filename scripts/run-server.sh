#!/usr/bin/env bash
# Installs what is missing, builds, and starts the server.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
"$top/scripts/build.sh"
exec "${QUAVELINK_BUILD_DIR:-$top/build}/app/quavelink-server" "$@"
