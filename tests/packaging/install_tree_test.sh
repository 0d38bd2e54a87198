#!/usr/bin/env bash
# `cmake --install` into two prefixes given only at install time: every file a desktop needs is
# there, the systemd unit starts the program under the prefix used, the installed programs answer
# --help and --version without a display, and their man pages list every option of --help.
# Usage: install_tree_test.sh BUILD_DIR VERSION
set -uo pipefail
build=$1
version=$2
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/support/program_checks.sh
. "$here/../support/program_checks.sh"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

expected=(
    bin/quavelink-server bin/quavelink-serverd bin/quavelink-client
    share/applications/quavelink-server.desktop
    share/icons/hicolor/16x16/apps/quavelink-server.png
    share/icons/hicolor/32x32/apps/quavelink-server.png
    share/icons/hicolor/48x48/apps/quavelink-server.png
    share/icons/hicolor/256x256/apps/quavelink-server.png
    lib/systemd/user/quavelink-serverd.service
    share/man/man1/quavelink-server.1.gz share/man/man1/quavelink-serverd.1.gz
    share/man/man1/quavelink-client.1.gz
    share/metainfo/net.quavelink.server.metainfo.xml
    share/doc/quavelink-server/copyright share/doc/quavelink-server/changelog.gz
)

for prefix in "$scratch/usr" "$scratch/opt/quave link"; do
    if ! cmake --install "$build" --prefix "$prefix" >"$scratch/install.log" 2>&1; then
        cat "$scratch/install.log" >&2
        fail "cmake --install --prefix $prefix failed"
        continue
    fi
    for file in "${expected[@]}"; do
        [ -s "$prefix/$file" ] || fail "$file is missing under $prefix"
    done
    check_unit "$prefix/lib/systemd/user/quavelink-serverd.service" "" "$prefix"
done

prefix=$scratch/usr
for program in quavelink-server quavelink-serverd quavelink-client; do
    check_program "$prefix/bin/$program" "$version" "$prefix/share/man/man1/$program.1.gz"
done

# The menu entry starts a program that was installed, with an icon that was installed.
desktop=$prefix/share/applications/quavelink-server.desktop
exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
[ -x "$prefix/bin/$exec_name" ] || fail "the menu entry starts '$exec_name', which is not installed"
icon=$(sed -n 's/^Icon=//p' "$desktop")
[ -s "$prefix/share/icons/hicolor/48x48/apps/$icon.png" ] || fail "the menu entry's icon '$icon' is not installed"

# The metainfo against the AppStream rules, and against the menu entry and programs it names.
appstreamcli validate --no-net --strict --pedantic "$prefix/share/metainfo/net.quavelink.server.metainfo.xml" ||
    fail "appstreamcli validate refuses the metainfo"
appstreamcli validate-tree --no-net --strict "$scratch" || fail "appstreamcli validate-tree refuses the tree"
grep -q "<release version=\"$version\"" "$prefix/share/metainfo/net.quavelink.server.metainfo.xml" ||
    fail "the metainfo has no release $version"

[ "$failures" -eq 0 ] || { echo "$failures failures" >&2; exit 1; }
echo "install tree checked under two prefixes"
