#!/usr/bin/env bash
# Time until N DHCP clients all hold a lease, "qelta dhcp" against dnsmasq
# (--no-ping) in the same run. The clients are simulated by one process on
# the far end of a veth pair (a namespace of its own): each has its own MAC
# address and goes DISCOVER, OFFER, REQUEST, ACK, asking again after 1 s
# without an answer; all start at once. Runs inside a private network
# namespace of its own.
#   bench/dhcp/leases.sh [BUILD_DIR] [N...]      (default N: 20 200)
set -euo pipefail
usage="usage: bench/dhcp/leases.sh [BUILD_DIR] [N...]"
case "${1:-}" in
  -h|--help) echo "$usage"; exit 0 ;;
  -*) echo "$(basename "$0"): unknown argument $1" >&2; echo "$usage" >&2; exit 2 ;;
esac
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
shift || true
counts=("$@")
. "$root/bench/whole_number.sh"
for i in "${!counts[@]}"; do counts[i]=$(whole_number N "${counts[i]}" 1 10000) || exit 2; done
[ $# -gt 0 ] || counts=(20 200)
if [ "${SUITE_IN_NETNS:-}" != 1 ]; then
  exec "$root/scripts/in-netns.sh" "$0" "$build" "${counts[@]}"
fi
command -v dnsmasq >/dev/null || { echo "dnsmasq is not installed" >&2; exit 1; }

work=$(mktemp -d)
holder=
server=
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
  [ -n "$holder" ] && kill "$holder" 2>/dev/null
  ip link del dsrv 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
cp "$build/bin/VORPIL.inf" "$work/"

ip link add dsrv type veth peer name dcli
ip addr add 192.0.2.1/24 dev dsrv
ip link set dsrv up
unshare -n -- sleep 3600 &
holder=$!
for _ in $(seq 100); do
  [ "$(readlink /proc/$holder/ns/net)" != "$(readlink /proc/self/ns/net)" ] && break
  sleep 0.05
done
ip link set dcli netns "$holder"
inclient() { nsenter -t "$holder" -n -- "$@"; }
inclient ip link set lo up
inclient ip link set dcli up
inclient ip route add 255.255.255.255 dev dcli

cat > "$work/clients.py" <<'PY'
import os, select, socket, struct, sys, time
n = int(sys.argv[1])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, 25, b"dcli")  # SO_BINDTODEVICE
s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
s.bind(("0.0.0.0", 68))
def message(i, kind, extra=b""):
    d = bytearray(300)
    d[0:4] = b"\x01\x01\x06\x00"
    d[4:8] = struct.pack("!I", 0x51000000 + i)
    d[10] = 0x80  # broadcast flag: the client has no address yet
    d[28:34] = bytes([0x02, 0x42, 0, 0, i >> 8, i & 0xFF])
    opts = bytes([99, 130, 83, 99, 53, 1, kind]) + extra + b"\xff"
    d[236:236 + len(opts)] = opts
    return bytes(d)
def options(d):
    at, out = 240, {}
    while at < len(d) and d[at] != 255:
        if d[at] == 0:
            at += 1
            continue
        out[d[at]] = d[at + 2:at + 2 + d[at + 1]]
        at += 2 + d[at + 1]
    return out
state = {i: ("discover", None, None) for i in range(n)}
sent = {}
bound = {}
start = time.monotonic()
def send(i):
    kind, address, server = state[i]
    if kind == "discover":
        s.sendto(message(i, 1), ("255.255.255.255", 67))
    else:
        s.sendto(message(i, 3, b"\x32\x04" + address + b"\x36\x04" + server), ("255.255.255.255", 67))
    sent[i] = time.monotonic()
for i in range(n):
    send(i)
while len(bound) < n and time.monotonic() - start < 120:
    ready, _, _ = select.select([s], [], [], 0.05)
    if ready:
        d = s.recv(1500)
        i = struct.unpack("!I", d[4:8])[0] - 0x51000000
        if d[0] != 2 or i not in state or i in bound:
            continue
        o = options(d)
        kind = o.get(53, b"\0")[0]
        if kind == 2 and state[i][0] == "discover":
            state[i] = ("request", d[16:20], o[54])
            send(i)
        elif kind == 5 and state[i][0] == "request":
            bound[i] = socket.inet_ntoa(d[16:20])
        elif kind == 6:
            state[i] = ("discover", None, None)
            send(i)
    now = time.monotonic()
    for i in range(n):
        if i not in bound and now - sent[i] > 1.0:
            send(i)
elapsed = time.monotonic() - start
distinct = len(set(bound.values()))
print(f"{elapsed:.3f} {len(bound)} {distinct}")
PY

# Prints "seconds leases distinct-addresses" for N clients against the
# server running now.
measure() { inclient /usr/bin/python3 "$work/clients.py" "$1"; }

run_qelta() {
  rm -f "$work/dhcp.dat"
  (cd "$work" && exec "$build/bin/qelta" dhcp --start 192.0.2.10 --end 192.0.2.250 --gateway 192.0.2.254 \
    --netmask 255.255.255.0 --dns 192.0.2.53 --server 192.0.2.1 >"$work/qelta.log" 2>&1) &
  server=$!
  for _ in $(seq 100); do grep -q "is running" "$work/qelta.log" 2>/dev/null && break; sleep 0.05; done
  grep -q "is running" "$work/qelta.log" || { cat "$work/qelta.log" >&2; exit 1; }
}
run_dnsmasq() {
  rm -f "$work/leases"
  dnsmasq --no-daemon --no-ping --port=0 --no-resolv --no-hosts --interface=dsrv --bind-interfaces -u root \
    --dhcp-authoritative --dhcp-range=192.0.2.10,192.0.2.250,255.255.255.0,2d --dhcp-leasefile="$work/leases" \
    --log-facility=- --quiet-dhcp >"$work/dnsmasq.log" 2>&1 &
  server=$!
  sleep 0.5
}
stop() { kill -INT "$server"; wait "$server" 2>/dev/null || true; server=; }

printf '%5s %20s %20s %8s\n' N "qelta s (leases)" "dnsmasq s (leases)" ratio
for n in "${counts[@]}"; do
  run_qelta
  read -r q ql qd <<<"$(measure "$n")"
  stop
  run_dnsmasq
  read -r d dl dd <<<"$(measure "$n")"
  stop
  printf '%5s %11.3f (%3s/%-3s) %11.3f (%3s/%-3s) %8.2f\n' "$n" "$q" "$ql" "$n" "$d" "$dl" "$n" "$(echo "$q / $d" | bc -l)"
  [ "$qd" = "$ql" ] || echo "qelta gave $ql leases but only $qd distinct addresses" >&2
done
