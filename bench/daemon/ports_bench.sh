#!/usr/bin/env bash
# Installs and connects N virtual ports at once (default 64) on vorpild, each
# to its own simulated device server (framed TCP, serial side looped back),
# moves data through every port with pyserial, and reports vorpild's resident
# memory per port. Runs inside a private network namespace.
# Also reports the daemon's threads and descriptors, how long installing and
# connecting every port took and how long `devcon status` takes with them.
# Usage: bench/daemon/ports_bench.sh [BUILD_DIR] [PORTS]
set -euo pipefail
usage="usage: bench/daemon/ports_bench.sh [BUILD_DIR] [PORTS]  (PORTS 1..256, default 64; COM5 on, or COM1 on for more than 252)"
case "${1:-}" in
  -h|--help) echo "$usage"; exit 0 ;;
  -*) echo "ports_bench.sh: unknown argument $1" >&2; echo "$usage" >&2; exit 2 ;;
esac
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/bench/whole_number.sh"
if [ $# -gt 2 ]; then
  echo "$usage" >&2; exit 2
fi
if [ -n "${2:-}" ]; then
  ports=$(whole_number PORTS "$2" 1 256) || exit 2
  set -- "$1" "$ports"
fi
if [ "${SUITE_IN_NETNS:-}" != 1 ]; then
  exec "$root/scripts/in-netns.sh" "$0" "$@"
fi
bin=$(cd "${1:-$root/build}/bin" && pwd)
ports=${2:-64}
first=5
[ "$ports" -gt 252 ] && first=1
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
cd "$work"
export VORPIL_RUNTIME_DIR=$work/run

rss() { awk '/VmRSS/ {print $2}' "/proc/$1/status"; }
threads() { awk '/^Threads/ {print $2}' "/proc/$1/status"; }
descriptors() { ls "/proc/$1/fd" | wc -l; }

"$bin/devsim" --devices "$ports" --first-address 127.0.1.1 --serial echo > devsim.out 2> devsim.err &
for _ in $(seq 300); do [ "$(grep -c . devsim.out || true)" -ge "$ports" ] && break; sleep 0.1; done
"$bin/vorpild" --foreground --runtime-dir "$VORPIL_RUNTIME_DIR" --state-dir "$work/state" 2> vorpild.err &
daemon=$!
for _ in $(seq 100); do [ -S "$VORPIL_RUNTIME_DIR/control" ] && break; sleep 0.1; done
before=$(rss $daemon)
threads_before=$(threads $daemon)
fds_before=$(descriptors $daemon)
install_start=$(date +%s.%N)

mapfile -t addresses < <(awk '{print $1}' devsim.out)
for i in $(seq 0 $((ports - 1))); do
  com=COM$((i + first))
  "$bin/devcon" install "$bin/VORPIL.inf" 'ZORV\Rure' "$com" > /dev/null
  "$bin/devcon" set "$com" --remote "${addresses[$i]}:5000" --tcp --client --framed > /dev/null
  "$bin/devcon" connect "$com" > /dev/null
done
install_end=$(date +%s.%N)
status_start=$(date +%s.%N)
connected=$("$bin/devcon" status | grep -c 'link=1' || true)
status_end=$(date +%s.%N)
# The utility's port list, as a user would ask for it (it runs beside the
# driver package file, in a folder of its own).
mkdir -p "$work/qelta" && cp "$bin/VORPIL.inf" "$work/qelta/"
list_start=$(date +%s.%N)
listed=$(cd "$work/qelta" && "$bin/qelta" vsp list --json 2> /dev/null | grep -o '"COM[0-9]*"' | sort -u | wc -l || true)
list_end=$(date +%s.%N)
after_connect=$(rss $daemon)
threads_after=$(threads $daemon)
fds_after=$(descriptors $daemon)

start=$(date +%s.%N)
/usr/bin/python3 - "$VORPIL_RUNTIME_DIR/dev" "$ports" "$first" <<'PY'
import os, sys, serial
folder, count, first = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
failed = 0
for i in range(count):
    name = os.path.join(folder, "COM%d" % (i + first))
    with serial.Serial(name, 921600, timeout=5) as port:
        message = ("port %d says hello through its device server\n" % (i + first)).encode()
        port.write(message)
        if port.read(len(message)) != message:
            failed += 1
print("ports with data intact both ways: %d of %d" % (count - failed, count))
sys.exit(1 if failed else 0)
PY
end=$(date +%s.%N)
after_data=$(rss $daemon)

echo "connected ports: $connected of $ports"
echo "vorpild threads: $threads_before idle, $threads_after with $ports ports; descriptors: $fds_before idle, $fds_after with $ports ports"
awk -v a="$install_start" -v b="$install_end" -v c="$status_start" -v d="$status_end" -v n="$ports" 'BEGIN {
  printf "install, set and connect of %d ports: %.2f s; devcon status with them: %.3f s\n", n, b - a, d - c }'
awk -v a="$list_start" -v b="$list_end" -v n="$listed" 'BEGIN { printf "qelta vsp list --json: %d ports listed in %.3f s\n", n, b - a }'
echo "vorpild resident memory: ${before} KiB idle, ${after_connect} KiB with $ports ports connected, ${after_data} KiB after data"
awk -v b="$before" -v c="$after_connect" -v d="$after_data" -v n="$ports" -v t0="$start" -v t1="$end" 'BEGIN {
  printf "resident memory per port: %.1f KiB connected, %.1f KiB after data (budget: four 256 KiB buffers per port, receive ring, reassembly, transmit and receive remainder = 1024 KiB)\n", (c - b) / n, (d - b) / n
  printf "round trip through every port in turn: %.2f s for %d ports\n", t1 - t0, n }'
