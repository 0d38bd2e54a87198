#!/usr/bin/env bash
# How late this machine wakes a real-time audio thread, and how much of its CPU time the host
# takes away: the floor under every latency figure of bench/run-latency.sh. cyclictest asks
# for a wake-up every millisecond on each core at a real-time priority, as the sound server's
# and the client's audio threads run; the steal is /proc/stat's, over the same span.
# Usage: bench/run-wakeup-latency.sh [SECONDS]   (default 60)
# Prints one Markdown row: wake-ups, how late at the median, p99, p99.9 and at most, how many
# came more than 1, 2, 5 and 10 ms late, and the share of CPU time stolen.
set -euo pipefail
seconds=${1:-60}
command -v cyclictest >/dev/null || apt-get install -y rt-tests >&2

steal() { awk '/^cpu / { print $9, $2 + $3 + $4 + $5 + $6 + $7 + $8 + $9 }' /proc/stat; }
read -r steal_before total_before < <(steal)
histogram=$(mktemp)
trap 'rm -f "$histogram"' EXIT
# One bucket a µs up to 100 ms; later wake-ups count as overflows.
cyclictest --mlockall --priority 80 --threads "$(nproc)" --interval 1000 --duration "$seconds" \
  --quiet --histogram 100000 >"$histogram"
read -r steal_after total_after < <(steal)

awk -v stolen="$((steal_after - steal_before))" -v total="$((total_after - total_before))" '
  /^#/ {
    if ($2 == "Histogram" && $3 == "Overflows:") for (i = 4; i <= NF; i++) over += $i
    next
  }
  NF > 1 { count[$1 + 0] = 0; for (i = 2; i <= NF; i++) count[$1 + 0] += $i; n += count[$1 + 0] }
  END {
    n += over
    split("0.5 0.99 0.999", q, " ")
    for (us = 0; us < 100000; us++) {
      seen += count[us]
      for (k = 1; k <= 3; k++) if (!(k in at) && seen >= q[k] * n) at[k] = us
      if (count[us] > 0) most = us
      if (us > 1000) late1 += count[us]
      if (us > 2000) late2 += count[us]
      if (us > 5000) late5 += count[us]
      if (us > 10000) late10 += count[us]
    }
    most = over > 0 ? "> 100" : sprintf("%.2f", most / 1000)
    print "| wake-ups | median ms | p99 ms | p99.9 ms | most ms | > 1 ms | > 2 ms | > 5 ms | > 10 ms | CPU stolen |"
    print "|---|---|---|---|---|---|---|---|---|---|"
    printf "| %d | %.3f | %.3f | %.3f | %s | %d | %d | %d | %d | %.1f %% |\n", n, at[1] / 1000,
      at[2] / 1000, at[3] / 1000, most, late1 + over, late2 + over, late5 + over, late10 + over,
      100 * stolen / (total > 0 ? total : 1)
  }' "$histogram"
