#!/usr/bin/env bash
# Installs and connects N virtual ports at once (default 64) on vorpild, each
# to its own simulated device server (framed TCP, serial side looped back),
# moves data through every port with pyserial, and reports vorpild's resident
# memory per port. Runs inside a private network namespace.
# Usage: bench/daemon/ports_bench.sh [BUILD_DIR] [PORTS]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
if [ "${SUITE_IN_NETNS:-}" != 1 ]; then
  exec "$root/scripts/in-netns.sh" "$0" "$@"
fi
bin=$(cd "${1:-$root/build}/bin" && pwd)
ports=${2:-64}
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
cd "$work"
export VORPIL_RUNTIME_DIR=$work/run

rss() { awk '/VmRSS/ {print $2}' "/proc/$1/status"; }

"$bin/devsim" --devices "$ports" --first-address 127.0.1.1 --serial echo > devsim.out 2> devsim.err &
for _ in $(seq 300); do [ "$(grep -c . devsim.out || true)" -ge "$ports" ] && break; sleep 0.1; done
"$bin/vorpild" --foreground --runtime-dir "$VORPIL_RUNTIME_DIR" --state-dir "$work/state" 2> vorpild.err &
daemon=$!
for _ in $(seq 100); do [ -S "$VORPIL_RUNTIME_DIR/control" ] && break; sleep 0.1; done
before=$(rss $daemon)

mapfile -t addresses < <(awk '{print $1}' devsim.out)
for i in $(seq 0 $((ports - 1))); do
  com=COM$((i + 5))
  "$bin/devcon" install "$bin/VORPIL.inf" 'ZORV\Rure' "$com" > /dev/null
  "$bin/devcon" set "$com" --remote "${addresses[$i]}:5000" --tcp --client --framed > /dev/null
  "$bin/devcon" connect "$com" > /dev/null
done
connected=$("$bin/devcon" status | grep -c 'link=1' || true)
after_connect=$(rss $daemon)

start=$(date +%s.%N)
/usr/bin/python3 - "$VORPIL_RUNTIME_DIR/dev" "$ports" <<'PY'
import os, sys, serial
folder, count = sys.argv[1], int(sys.argv[2])
failed = 0
for i in range(count):
    name = os.path.join(folder, "COM%d" % (i + 5))
    with serial.Serial(name, 921600, timeout=5) as port:
        message = ("port %d says hello through its device server\n" % (i + 5)).encode()
        port.write(message)
        if port.read(len(message)) != message:
            failed += 1
print("ports with data intact both ways: %d of %d" % (count - failed, count))
sys.exit(1 if failed else 0)
PY
end=$(date +%s.%N)
after_data=$(rss $daemon)

echo "connected ports: $connected of $ports"
echo "vorpild resident memory: ${before} KiB idle, ${after_connect} KiB with $ports ports connected, ${after_data} KiB after data"
awk -v b="$before" -v c="$after_connect" -v d="$after_data" -v n="$ports" -v t0="$start" -v t1="$end" 'BEGIN {
  printf "resident memory per port: %.1f KiB connected, %.1f KiB after data (budget: four 256 KiB buffers per port, receive ring, reassembly, transmit and receive remainder = 1024 KiB)\n", (c - b) / n, (d - b) / n
  printf "round trip through every port in turn: %.2f s for %d ports\n", t1 - t0, n }'
