#!/usr/bin/env bash
# Runs a command in a private network namespace with only a loopback interface
# that also carries multicast, so that nothing a test sends can leave this machine.
set -euo pipefail
flags=(-n)
[ "$(id -u)" -eq 0 ] || flags=(-r -n)
exec unshare "${flags[@]}" sh -c \
  'ip link set lo up && ip route add 224.0.0.0/4 dev lo src 127.0.0.1 && exec "$@"' sh "$@"
