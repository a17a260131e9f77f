#!/usr/bin/env bash
# A production line under faults: STATIONS kellan-mp stations take BOARDS
# boards each (every board a fresh boardsim), first sharing one PostgreSQL
# server, then one SQLite file on a small tmpfs, while stations are killed
# (SIGKILL, SIGTERM, SIGINT), the server is stopped and restarted, a write
# lock is held past the busy timeout, the disk fills up, a station's folder
# turns read-only for a board and `kellan-mp options` runs mid-run. At the
# end every board's EEPROM is checked against the store: no MAC on two
# passing boards, every passing board recorded, every consumed MAC on a
# passing board or quarantined, no lease left. Prints the figures and the
# faults per back end; exits 1 when a promise was broken.
# Runs as root inside a private network and mount namespace.
# A fault comes every CHAOS_FAULT_PERIOD_MS (default 3000) on average.
# Usage: bench/mfg/chaos.sh STATIONS BOARDS [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
usage="usage: bench/mfg/chaos.sh STATIONS BOARDS [BUILD_DIR]   (STATIONS 1..32, BOARDS 1..10000)"
case "${1:-}" in
  -h|--help) echo "$usage"; exit 0 ;;
esac
. "$root/bench/whole_number.sh"
if [ $# -lt 2 ] || [ $# -gt 3 ]; then
  echo "$usage" >&2
  exit 2
fi
stations=$(whole_number STATIONS "$1" 1 32) || exit 2
boards=$(whole_number BOARDS "$2" 1 10000) || exit 2
set -- "$stations" "$boards" "${@:3}"
if [ "${SUITE_IN_NETNS:-}" != 1 ]; then
  exec "$root/scripts/in-netns.sh" "$0" "$@"
fi
if [ "${CHAOS_IN_MOUNTNS:-}" != 1 ]; then
  exec env CHAOS_IN_MOUNTNS=1 unshare -m --propagation private "$0" "$@"
fi
build=$(cd "${3:-$root/build}" && pwd)
chaos="$build/bin/bench_mfg_chaos"
export SUITE_BIN_DIR="$build/bin"
status=0
# A fault every few seconds: with a board taking a few seconds at ten times
# the speed, each kind comes up many times over a long run.
"$chaos" "$1" "$2" --backend postgres --fault-period-ms "${CHAOS_FAULT_PERIOD_MS:-3000}" || status=1
"$chaos" "$1" "$2" --backend sqlite --tmpfs-mb 16 --fault-period-ms "${CHAOS_FAULT_PERIOD_MS:-3000}" --write-lock-ms 35000 || status=1
exit $status
