#!/usr/bin/env bash
# Checks a built Debian package: its name, its computed dependencies, its contents, and an
# install into a scratch root with its own dpkg database (the machine's own is not touched),
# from which the programs answer --help and --version without a display, and a clean removal.
# Usage: check_deb.sh PACKAGE.deb VERSION
set -uo pipefail
deb=$1
version=$2
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/support/program_checks.sh
. "$here/../support/program_checks.sh"
export PATH=$PATH:/usr/sbin:/sbin  # dpkg wants ldconfig and start-stop-daemon on the path

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

field() { dpkg-deb --field "$deb" "$1"; }

arch=$(dpkg --print-architecture)
[ "$(basename "$deb")" = "quavelink-server_${version}_${arch}.deb" ] ||
    fail "the package is named $(basename "$deb"), not quavelink-server_${version}_${arch}.deb"
[ "$(field Package)" = quavelink-server ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"

# Depends comes from the libraries the programs link; the MP3 encoder is loaded at run time
# and only recommended.
depends=$(field Depends)
for library in libc6 libenet7 libopus0 libpipewire-0.3-0 libpulse0 libqt6core6 libqt6gui6 \
    libqt6widgets6 libsystemd0 libx11-6; do
    grep -qE "(^|, )$library( |,|\$)" <<<"$depends" || fail "Depends lacks $library: $depends"
done
grep -q libmp3lame <<<"$depends" && fail "Depends names libmp3lame: $depends"
# A Wayland desktop wants Qt's Wayland platform, capture a PulseAudio-speaking sound server.
recommends=$(field Recommends)
for wanted in 'libmp3lame0' 'qt6-wayland' 'pulseaudio \| pipewire-pulse'; do
    grep -qE "(^|, )$wanted( |,|\$)" <<<"$recommends" || fail "Recommends lacks $wanted: $recommends"
done
# The changelog is dated by the last commit, not by the moment of building.
changelog_date=$(dpkg-deb --fsys-tarfile "$deb" |
    tar -xO ./usr/share/doc/quavelink-server/changelog.gz | gzip -dc | sed -n 's/^ -- .*>  //p')
commit_date=$(TZ=UTC git -C "$here/../.." log -1 --format=%cd --date=format-local:'%a, %d %b %Y %H:%M:%S +0000' 2>/dev/null || true)
[ -z "$commit_date" ] || [ "$changelog_date" = "$commit_date" ] ||
    fail "the changelog is dated $changelog_date, the last commit $commit_date"

# Every file under /usr, at the place a Debian system looks for it.
contents=$(dpkg-deb --contents "$deb" | awk '{print $6}')
for file in usr/bin/quavelink-server usr/bin/quavelink-serverd usr/bin/quavelink-client \
    usr/lib/systemd/user/quavelink-serverd.service \
    usr/share/applications/quavelink-server.desktop \
    usr/share/icons/hicolor/256x256/apps/quavelink-server.png \
    usr/share/man/man1/quavelink-server.1.gz usr/share/man/man1/quavelink-serverd.1.gz \
    usr/share/man/man1/quavelink-client.1.gz \
    usr/share/metainfo/net.quavelink.server.metainfo.xml \
    usr/share/doc/quavelink-server/copyright usr/share/doc/quavelink-server/changelog.gz; do
    grep -qxF "./$file" <<<"$contents" || fail "the package lacks /$file"
done
outside=$(grep -vE '^\./(usr/.*)?$' <<<"$contents")
[ -z "$outside" ] || fail "files outside /usr: $outside"

# A scratch root with an empty dpkg database of its own: dpkg --root installs into it, runs
# no maintainer script outside it, and logs there. The libraries the package depends on are
# the machine's own, so their check is left out here and made against the machine below.
root=$scratch/root
mkdir -p "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/info"
touch "$root/var/lib/dpkg/status"
dpkg_root=(dpkg --root="$root" --log="$scratch/dpkg.log" --force-depends)
[ "$(id -u)" -eq 0 ] || dpkg_root+=(--force-not-root)
if ! "${dpkg_root[@]}" --install "$deb" >"$scratch/install.out" 2>&1; then
    cat "$scratch/install.out" >&2
    fail "dpkg --root --install failed"
fi
"${dpkg_root[@]}" --status quavelink-server 2>/dev/null | grep -qx 'Status: install ok installed' ||
    fail "dpkg does not list the package as installed in the scratch root"

for program in quavelink-server quavelink-serverd quavelink-client; do
    check_program "$root/usr/bin/$program" "$version" "$root/usr/share/man/man1/$program.1.gz"
done
check_unit "$root/usr/lib/systemd/user/quavelink-serverd.service" "$root" /usr

# This machine (Debian 12) can satisfy what the package depends on.
if ! apt-get install --simulate --no-install-recommends "$(realpath "$deb")" >"$scratch/apt.out" 2>&1 ||
    ! grep -q '^Inst quavelink-server' "$scratch/apt.out"; then
    cat "$scratch/apt.out" >&2
    fail "apt-get cannot install the package on this machine"
fi

"${dpkg_root[@]}" --remove quavelink-server >"$scratch/remove.out" 2>&1 || {
    cat "$scratch/remove.out" >&2
    fail "dpkg --root --remove failed"
}
left=$(find "$root/usr" -type f 2>/dev/null)
[ -z "$left" ] || fail "files left after removal: $left"

[ "$failures" -eq 0 ] || { echo "$failures failures" >&2; exit 1; }
echo "$(basename "$deb") checked: dependencies, contents, install into and removal from a scratch root"
