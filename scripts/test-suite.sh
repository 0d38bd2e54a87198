#!/usr/bin/env bash
# Builds the project into one build folder and runs its whole test suite inside a private network
# namespace. Usage: scripts/test-suite.sh plain|pipewire|pipewire-pulse|address|thread [ctest arguments...]
#   plain    build/ (or $QUAVELINK_BUILD_DIR), the optimised build the programs ship as
#   pipewire the same build's tests labelled sound-server once more, their private sound server
#            a PipeWire with pipewire-pulse instead of a PulseAudio daemon; the programs use
#            PipeWire's own API, as they do wherever PipeWire is the sound server
#   pipewire-pulse  the tests labelled audio-backend on the same PipeWire, through libpulse and
#            pipewire-pulse, as the programs do when told to (QUAVELINK_AUDIO_BACKEND=pulseaudio)
#   address  build-address/, AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer
#   thread   build-thread/, ThreadSanitizer
# Sanitizer reports of every process a test starts (the server programs, the client) land in
# <build>/sanitizer-reports/; any report there fails the run, even when the test itself passed.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
kind=${1:?plain, pipewire, pipewire-pulse, address or thread}
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
  pipewire-pulse)
    build=${QUAVELINK_BUILD_DIR:-$top/build}
    QUAVELINK_BUILD_DIR=$build "$top/scripts/build.sh"
    export QUAVELINK_TEST_SOUND_SERVER=pipewire QUAVELINK_AUDIO_BACKEND=pulseaudio
    set -- -L audio-backend "$@"
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
    echo "unknown suite '$kind': plain, pipewire, pipewire-pulse, address or thread" >&2
    exit 2
    ;;
esac

echo "== $kind test suite"
ctest_in_namespace() {
  "$top/scripts/in-private-network.sh" \
    ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 300 "$@"
}
# Numbers of the tests a ctest run left in its list of failures.
failed_tests() {
  [ -f "$failed_list" ] && cut -d: -f1 "$failed_list" || true
}
failed_list=$build/Testing/Temporary/LastTestsFailed.log
rm -f "$failed_list"
status=0
ctest_in_namespace "$@" || status=$?

# A test that plays and records sound in real time (label realtime) can miss its tone once on a
# loaded machine, so those alone get one more run. Any other test that fails once has found a
# fault, an intermittent race or crash included, and fails the suite.
if [ "$status" != 0 ] && [ -f "$failed_list" ]; then
  realtime=$(ctest --test-dir "$build" -N -L realtime | sed -n 's/^ *Test *#\([0-9]*\): .*/\1/p')
  first=$(failed_tests)
  retry=$(comm -12 <(sort <<<"$first") <(sort <<<"$realtime") | sort -n)
  others=$(comm -23 <(sort <<<"$first") <(sort <<<"$realtime"))
  if [ -n "$retry" ]; then
    echo "== one more run of the real-time tests that failed"
    rm -f "$failed_list"
    # Test numbers alone (no filter), so they count the whole suite as the first run did.
    ctest_in_namespace -I "0,0,0,$(paste -sd, <<<"$retry")" || true
    again=$(failed_tests)
    second_try=$(comm -23 <(sort <<<"$retry") <(sort <<<"$again") | sort -n)
    for number in $second_try; do
      name=$(ctest --test-dir "$build" -N -I "$number,$number" | sed -n 's/^ *Test *#[0-9]*: //p')
      echo "== passed only on its second try: $name"
    done
    if [ -z "$others" ] && [ -z "$again" ]; then
      status=0
      # Under the sanitizers a test that needed a second run may have met a race or a crash.
      if { [ "$kind" = address ] || [ "$kind" = thread ]; } && [ -n "$second_try" ]; then
        echo "== $kind: tests that passed only on their second try fail this suite" >&2
        status=1
      fi
    fi
  fi
fi

if { [ "$kind" = address ] || [ "$kind" = thread ]; } && [ -n "$(ls -A "$build/sanitizer-reports")" ]; then
  echo "== $kind sanitizer reports:" >&2
  for report in "$build/sanitizer-reports"/*; do
    echo "-- $report" >&2
    cat "$report" >&2
  done
  status=1
fi
exit "$status"
