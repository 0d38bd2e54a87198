# shellcheck shell=bash
# Checks of installed programs shared by the install-tree and package tests (tests/packaging/);
# sourced, not run.
# Each check prints what is wrong and counts it in $failures.
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# Runs a program as it would start on a machine without a display: no X11 or Wayland display
# and no Qt platform chosen.
without_display() {
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$@"
}

# The options a --help text lists: the leading "-x, --long" words of its option lines.
options_in_help() {
    grep -E '^[[:space:]]+-' | sed -E 's/^[[:space:]]+//; s/[[:space:]]{2,}.*//' |
        grep -oE '(^|[ ,])--?[A-Za-z0-9][A-Za-z0-9-]*' | tr -d ' ,' | sort -u
}

# check_program BINARY VERSION [MAN_PAGE.gz]: --help and --version answer on standard output
# without a display, and every option of --help is in the man page.
check_program() {
    local binary=$1 version=$2 page=${3:-} name help status=0
    name=$(basename "$binary")
    help=$(without_display "$binary" --help 2>&1) || status=$?
    if [ "$status" -ne 0 ] || [ "${help#Usage: "$name"}" = "$help" ]; then
        fail "$name --help without a display: status $status, said: $(head -c 300 <<<"$help")"
        return
    fi
    local said
    said=$(without_display "$binary" --version 2>&1) || status=$?
    if [ "$status" -ne 0 ] || [ "$said" != "$name $version" ]; then
        fail "$name --version said '$said' (status $status), not '$name $version'"
    fi
    local refused
    refused=$(without_display "$binary" --no-such-option 2>&1) && status=0 || status=$?
    if [ "$status" -eq 0 ] || ! grep -q -- "--no-such-option" <<<"$refused"; then
        fail "$name --no-such-option: status $status, said: $(head -c 300 <<<"$refused")"
    fi
    [ "$name" != quavelink-server ] || check_no_display "$binary"
    [ -n "$page" ] || return 0
    if [ ! -s "$page" ]; then
        fail "no man page $page"
        return
    fi
    local text options option
    # The page's words with roff's font changes and escaped hyphens undone.
    text=$(gzip -dc "$page" | sed -E 's/\\f[BIRP]//g; s/\\-/-/g')
    options=$(options_in_help <<<"$help")
    [ -n "$options" ] || fail "$name --help lists no options"
    for option in $options; do
        grep -qE -- "(^|[^A-Za-z0-9-])$option([^A-Za-z0-9-]|\$)" <<<"$text" ||
            fail "$option of $name --help is not in its man page"
    done
    grep -qF "$name $version" <<<"$text" || fail "the man page of $name is not of version $version"
}

# check_no_display BINARY: the window program without a display ends with status 1 and one line
# that points to quavelink-serverd, instead of Qt's abort and a core dump.
check_no_display() {
    local binary=$1 said status=0
    said=$(without_display "$binary" 2>&1) || status=$?
    if [ "$status" -ne 1 ] || [ "$(wc -l <<<"$said")" -ne 1 ] ||
        ! grep -q quavelink-serverd <<<"$said"; then
        fail "$(basename "$binary") without a display: status $status, said: $(head -c 300 <<<"$said")"
    fi
}

# check_unit UNIT ROOT PREFIX: the systemd unit starts the installed quavelink-serverd by its
# path under PREFIX, and that file is there under ROOT (/ for a plain install).
check_unit() {
    local unit=$1 root=$2 prefix=$3 exec_start
    # A path with blanks is quoted, as systemd splits the command line at blanks.
    exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
    if [ "${exec_start#* }" != "$exec_start" ]; then
        [[ $exec_start == \"*\" ]] || fail "the unit's ExecStart $exec_start has unquoted blanks"
        exec_start=${exec_start#\"}
        exec_start=${exec_start%\"}
    fi
    [ "$exec_start" = "$prefix/bin/quavelink-serverd" ] ||
        fail "the unit starts '$exec_start', not $prefix/bin/quavelink-serverd"
    [ -x "$root$exec_start" ] || fail "the unit's ExecStart $exec_start is not an installed program"
}
