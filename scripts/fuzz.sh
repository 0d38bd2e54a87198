#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan) in build-fuzz/ and runs each for
# the given seconds (default 60) inside a private network namespace, starting from the seed
# corpus in fuzz/corpus/<target>/. Fails on any crash, leak, timeout, sanitizer report or broken
# check; prints the executions per target.
#
# Longer runs: give more seconds (e.g. scripts/fuzz.sh 3600), or name targets after the seconds
# to run only those (scripts/fuzz.sh 3600 client_message). Inputs found along the way collect in
# build-fuzz/corpus/<target>/ and are reused by the next run; a failing input lands in
# build-fuzz/artifacts/ and replays with: build-fuzz/fuzz/<target>_fuzzer <file>.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${QUAVELINK_FUZZ_BUILD_DIR:-$top/build-fuzz}
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] ||
  targets=(client_message stream_message discovery_datagram version_response settings_file mixer_text)

"$top/scripts/install-deps.sh"

# Optimised, but with the assertions that a release build leaves out.
cmake -S "$top" -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUAVELINK_BUILD_FUZZ=ON \
  -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
  -DQUAVELINK_BUILD_TESTS=OFF -DQUAVELINK_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "${QUAVELINK_FUZZ_JOBS:-2}" --target "${targets[@]/%/_fuzzer}"

mkdir -p "$build/artifacts"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=()
summary=()
for target in "${targets[@]}"; do
  work="$build/corpus/$target"
  mkdir -p "$work"
  log="$build/artifacts/$target.log"
  echo "== $target: ${seconds}s"
  # New inputs go to the first folder only, so the seeds in the repository stay as they are.
  # Standard output (the program's log lines) is closed; reports go to standard error.
  status=0
  "$top/scripts/in-private-network.sh" "$build/fuzz/${target}_fuzzer" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -close_fd_mask=1 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
    "$work" "$top/fuzz/corpus/$target" >"$log" 2>&1 || status=$?
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  if [ "$status" -ne 0 ]; then
    failed+=("$target")
    grep -E 'ERROR|SUMMARY|check failed|runtime error|Test unit written' "$log" || tail -n 20 "$log"
  fi
  summary+=("$(printf '%-20s %12s executions  %s' "$target" "${executions:-?}" \
    "$([ "$status" -eq 0 ] && echo ok || echo "FAILED (see $log)")")")
done

printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "Fuzzing found faults in: ${failed[*]}" >&2
  exit 1
fi
