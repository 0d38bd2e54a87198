#!/usr/bin/env bash
# Builds the project into one build folder and runs its whole test suite inside a private network
# namespace. Usage: scripts/test-suite.sh plain|pipewire|address|thread [ctest arguments...]
#   plain    build/ (or $QUAVELINK_BUILD_DIR), the optimised build the programs ship as
#   pipewire the same build's tests labelled sound-server once more, their private sound server
#            a PipeWire with pipewire-pulse instead of a PulseAudio daemon
#   address  build-address/, AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer
#   thread   build-thread/, ThreadSanitizer
# Sanitizer reports of every process a test starts (the server programs, the client) land in
# <build>/sanitizer-reports/; any report there fails the run, even when the test itself passed.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
kind=${1:?plain, pipewire, address or thread}
shift

case "$kind" in
  plain)
    build=${QUAVELINK_BUILD_DIR:-$top/build}
    QUAVELINK_BUILD_DIR=$build "$top/scripts/build.sh"
    ;;
  pipewire)
    build=${QUAVELINK_BUILD_DIR:-$top/build}
    QUAVELINK_BUILD_DIR=$build "$top/scripts/build.sh"
    export QUAVELINK_TEST_SOUND_SERVER=pipewire
    set -- -L sound-server "$@"
    ;;
  address | thread)
    build=$top/build-$kind
    # Some optimisation keeps the slow-down bearable for tests that play sound in real time; line
    # tables are all the debug information a report needs, and they build much faster.
    QUAVELINK_BUILD_DIR=$build "$top/scripts/build.sh" -DQUAVELINK_SANITIZE="$kind" \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUAVELINK_BUILD_BENCH=OFF \
      -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1"
    reports=$build/sanitizer-reports
    rm -rf "$reports"
    mkdir -p "$reports"
    supp=$top/scripts/sanitizers
    export ASAN_OPTIONS="log_path=$reports/asan:detect_leaks=1:abort_on_error=0:detect_stack_use_after_return=0"
    export LSAN_OPTIONS="suppressions=$supp/leaks.supp:print_suppressions=0"
    export UBSAN_OPTIONS="log_path=$reports/ubsan:print_stacktrace=1:halt_on_error=1"
    export TSAN_OPTIONS="log_path=$reports/tsan:suppressions=$supp/threads.supp:second_deadlock_stack=1"
    ;;
  *)
    echo "unknown suite '$kind': plain, pipewire, address or thread" >&2
    exit 2
    ;;
esac

echo "== $kind test suite"
# A test that plays and records sound in real time can miss its tone once on a loaded machine;
# each failing test gets one more run, so a real fault still fails twice and shows in the log.
status=0
"$top/scripts/in-private-network.sh" \
  ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 300 \
  --repeat until-pass:2 "$@" || status=$?

if [ "$kind" != plain ] && [ "$kind" != pipewire ] && [ -n "$(ls -A "$build/sanitizer-reports")" ]; then
  echo "== $kind sanitizer reports:" >&2
  for report in "$build/sanitizer-reports"/*; do
    echo "-- $report" >&2
    cat "$report" >&2
  done
  status=1
fi
exit "$status"
