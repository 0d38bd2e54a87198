#!/usr/bin/env bash
# Builds the Debian package from the plain build (build/, or $QUAVELINK_BUILD_DIR) into
# <build>/packages/quavelink-server_<version>_<arch>.deb and prints its path.
#   scripts/package.sh           build it
#   scripts/package.sh --check   and check it: lintian, then its dependencies, contents and an
#                                install into a scratch root (tests/packaging/check_deb.sh)
# Install it with: sudo apt install ./build/packages/quavelink-server_*.deb
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${QUAVELINK_BUILD_DIR:-$top/build}
check=false
[ "${1:-}" = --check ] && check=true

"$top/scripts/install-deps.sh"
QUAVELINK_BUILD_DIR=$build "$top/scripts/build.sh" >&2
rm -f "$build"/packages/quavelink-server_*.deb
(cd "$build" && cpack -G DEB -B "$build/packages" >/dev/null)
deb=$(echo "$build"/packages/quavelink-server_*.deb)
[ -f "$deb" ] || { echo "cpack made no package in $build/packages" >&2; exit 1; }
echo "$deb"
$check || exit 0

version=$(dpkg-deb --field "$deb" Version)
echo "== lintian"
# Warnings fail as errors do; the informational tags are shown (-I) and pass, but for the
# hardening ones: the programs are built with Debian's hardening flags.
lintian_report=$(lintian --fail-on error,warning --tag-display-limit 0 -I "$deb") || {
  echo "$lintian_report"
  exit 1
}
echo "$lintian_report"
if grep -q ' hardening-' <<<"$lintian_report"; then
  echo "lintian finds programs built without Debian's hardening flags" >&2
  exit 1
fi
echo "== package checks"
# The programs answer --help from the scratch root, inside a private network like every run.
"$top/scripts/in-private-network.sh" "$top/tests/packaging/check_deb.sh" "$deb" "$version"
