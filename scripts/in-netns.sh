#!/usr/bin/env bash
# Runs a command inside a private network namespace with loopback up and a
# multicast route on it, so broadcast, multicast and ports 67/69 are safe and
# nothing the command sends leaves the machine.
set -euo pipefail
if [ "${SUITE_IN_NETNS:-}" = 1 ]; then
  exec "$@"
fi
exec unshare -n -- env SUITE_IN_NETNS=1 bash -c '
  ip link set lo up
  ip route add 224.0.0.0/4 dev lo 2>/dev/null || true
  exec "$@"' bash "$@"
