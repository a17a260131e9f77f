#!/usr/bin/env bash
# Soak of vorpild: PORTS ports (half framed, half raw TCP) to scripted device
# servers, programs opening, writing, reading and closing them for SECONDS,
# the device servers killed and restarted once halfway. Prints bytes sent,
# received, lost and counted as not sent, and the daemon's threads,
# descriptors and resident memory before and after. Runs inside a private
# network namespace; exits 1 when a record arrived corrupted or twice.
# Usage: bench/daemon/soak.sh PORTS SECONDS [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
usage="usage: bench/daemon/soak.sh PORTS SECONDS [BUILD_DIR]   (PORTS 1..200, SECONDS 10..86400)"
case "${1:-}" in
  -h|--help) echo "$usage"; exit 0 ;;
esac
if [ $# -lt 2 ] || [ $# -gt 3 ] || ! [[ "$1" =~ ^[0-9]+$ && "$2" =~ ^[0-9]+$ ]] \
  || [ "$1" -lt 1 ] || [ "$1" -gt 200 ] || [ "$2" -lt 10 ] || [ "$2" -gt 86400 ]; then
  echo "$usage" >&2
  exit 2
fi
if [ "${SUITE_IN_NETNS:-}" != 1 ]; then
  exec "$root/scripts/in-netns.sh" "$0" "$@"
fi
bin=$(cd "${3:-$root/build}/bin" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 "$root/bench/daemon/soak.py" "$bin" "$1" "$2" "$work"
