#!/usr/bin/env bash
# Soak of vorpild: PORTS ports (half framed, half raw TCP) to scripted device
# servers, programs opening, writing and reading both ways at once and
# closing them for SECONDS (reopening within 0.3 s), every fourth device
# server not reading for STALL seconds (default 60) from a quarter of the run
# (with a small receive buffer, its program writing 32 times as much, so
# that the program is held back), the device servers killed and restarted
# once halfway; beside them a port on
# a hostile RFC 2217 server until three quarters of the run and a port on an
# echo whose round trips are timed. Prints bytes sent, received, lost and
# counted as not sent, the echo's round trips while the hostile server ran,
# and the daemon's threads, descriptors and resident memory before, during
# and after. Runs inside a private network namespace; exits 1 when a record
# arrived corrupted or twice, or one went missing outside the kill window.
# Usage: bench/daemon/soak.sh PORTS SECONDS [BUILD_DIR] [STALL]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
usage="usage: bench/daemon/soak.sh PORTS SECONDS [BUILD_DIR] [STALL]   (PORTS 1..200, SECONDS 10..86400, STALL 0..86400)"
case "${1:-}" in
  -h|--help) echo "$usage"; exit 0 ;;
esac
. "$root/bench/whole_number.sh"
if [ $# -lt 2 ] || [ $# -gt 4 ]; then
  echo "$usage" >&2
  exit 2
fi
ports=$(whole_number PORTS "$1" 1 200) || exit 2
seconds=$(whole_number SECONDS "$2" 10 86400) || exit 2
stall=$(whole_number STALL "${4:-60}" 0 86400) || exit 2
set -- "$ports" "$seconds" "${3:-$root/build}" "$stall"
if [ "${SUITE_IN_NETNS:-}" != 1 ]; then
  exec "$root/scripts/in-netns.sh" "$0" "$@"
fi
bin=$(cd "${3:-$root/build}/bin" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 "$root/bench/daemon/soak.py" "$bin" "$1" "$2" "$work" "${4:-60}"
