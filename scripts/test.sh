#!/usr/bin/env bash
# Installs what is missing, then builds and runs every check: the test suite as shipped (the tests
# that use a sound server run on PulseAudio, then on PipeWire through its own API, and those of the
# audio backends once more on PipeWire through pipewire-pulse), the
# Debian package made from it (lintian, contents, an install into a scratch root), the same suite
# under AddressSanitizer with UndefinedBehaviorSanitizer and under ThreadSanitizer, and a bounded
# run of every fuzz target, after a check that every C++ file matches .clang-format. Name stages
# to run only those:
#   scripts/test.sh [format] [plain] [package] [address] [thread] [fuzz]
# Everything that sends a packet runs inside a private network namespace.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(format plain package address thread fuzz)

"$top/scripts/install-deps.sh"
failed=()
for stage in "${stages[@]}"; do
  started=$SECONDS
  case "$stage" in
    plain)
      "$top/scripts/test-suite.sh" plain || failed+=(plain)
      echo "== plain on PulseAudio took $((SECONDS - started)) s"
      "$top/scripts/test-suite.sh" pipewire || failed+=("plain on PipeWire")
      echo "== plain on PipeWire took $((SECONDS - started)) s since the stage began"
      "$top/scripts/test-suite.sh" pipewire-pulse || failed+=("plain on pipewire-pulse")
      ;;
    address | thread) "$top/scripts/test-suite.sh" "$stage" || failed+=("$stage") ;;
    # Three quarters of a minute per target keeps the whole run within the hour on two cores;
    # scripts/fuzz.sh takes longer runs.
    fuzz) "$top/scripts/fuzz.sh" "${QUAVELINK_FUZZ_SECONDS:-45}" || failed+=("$stage") ;;
    format) "$top/scripts/check-format.sh" || failed+=("$stage") ;;
    # Reuses the plain build.
    package) "$top/scripts/package.sh" --check || failed+=("$stage") ;;
    *) echo "unknown stage '$stage': format, plain, package, address, thread or fuzz" >&2; exit 2 ;;
  esac
  echo "== $stage took $((SECONDS - started)) s"
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "Failed: ${failed[*]}" >&2
  exit 1
fi
echo "All checks passed: ${stages[*]}"
