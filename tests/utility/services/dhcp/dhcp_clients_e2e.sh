#!/usr/bin/env bash
# qelta dhcp against a real DHCP/BOOTP client. The server end of a veth pair
# stays in this test's namespace; the client end goes into a namespace of
# its own, so the client's broadcasts reach nothing but the server.
# Usage: dhcp_clients_e2e.sh QELTA_BINARY_DIR CLIENT, where CLIENT is
#   udhcpc, dhclient, bootpc  one client takes an address
#   command                   the command's own failures, with no client
#   stray                     busybox udhcpc on three MACs after a DISCOVER
#                             whose offer nobody answers
#   renew                     a bound udhcpc renews and is answered
#   pool                      five udhcpc on a pool of three addresses
set -euo pipefail
bin=$1
client=$2
case $client in
  command) ;;
  udhcpc | stray | renew | pool) command -v busybox >/dev/null || { echo "busybox is not installed"; exit 77; } ;;
  *) command -v "$client" >/dev/null || { echo "$client is not installed"; exit 77; } ;;
esac

work=$(mktemp -d)
holder=
server=
cleanup() {
  # dhclient goes on in the background once bound.
  [ -f "$work/pid" ] && kill "$(cat "$work/pid")" 2>/dev/null || true
  [ -n "$server" ] && kill "$server" 2>/dev/null || true
  [ -n "$holder" ] && kill "$holder" 2>/dev/null || true
  ip link del dsrv 2>/dev/null || true
  # A server's unprivileged worker may still be leaving while the folder
  # goes: its last file must not turn a passed test into a failed one.
  wait 2>/dev/null || true
  for _ in 1 2 3 4 5 6 7 8 9 10; do
    rm -rf "$work" 2>/dev/null && break
    sleep 0.1
  done
}
trap cleanup EXIT
cp "$bin/VORPIL.inf" "$work/"

ip link add dsrv type veth peer name dcli
ip addr add 192.0.2.1/24 dev dsrv
ip link set dsrv up
unshare -n -- sleep 120 &
holder=$!
for _ in $(seq 100); do
  [ "$(readlink /proc/$holder/ns/net)" != "$(readlink /proc/self/ns/net)" ] && break
  sleep 0.05
done
ip link set dcli netns "$holder"
inclient() { nsenter -t "$holder" -n -- "$@"; }
inclient ip link set lo up
inclient ip link set dcli up
mac=$(inclient ip -o link show dcli | sed -n 's/.*link\/ether \([0-9a-f:]*\).*/\1/p' | tr a-f A-F | tr : -)

range_end=192.0.2.110
[ "$client" = pool ] && range_end=192.0.2.102

cd "$work"
"$bin/qelta" dhcp --start 192.0.2.100 --end $range_end --gateway 192.0.2.254 --netmask 255.255.255.0 \
  --dns 192.0.2.53 --server 192.0.2.1 --boot zv.bin > qelta.out 2> qelta.err &
server=$!
for _ in $(seq 100); do grep -q "running on UDP port 67" qelta.out && break; sleep 0.05; done
grep -q "DHCP server @ 192.0.2.1 is running on UDP port 67 successfully." qelta.out

if [ "$client" = command ]; then
  # Bad arguments: status 2 before anything starts.
  for arguments in "--start 1.2.3" "--boot $(printf '%033d' 0)" "--gateway" "--bogus 1"; do
    status=0
    "$bin/qelta" dhcp $arguments > bad.out 2>&1 || status=$?
    [ "$status" = 2 ] || { echo "FAIL: '$arguments' gave $status"; exit 1; }
  done
  # Port 67 taken by the first server: the second says so and ends with 1,
  # still saving its values and the list.
  status=0
  "$bin/qelta" dhcp --start 192.0.2.120 --end 192.0.2.130 > second.out 2>&1 || status=$?
  cat second.out
  [ "$status" = 1 ] || { echo "FAIL: a second server gave $status"; exit 1; }
  grep -q '^Failed to create socket!$' second.out
  sed -n 14p Qelta.dat | grep -q '^C0000278 '
  # Without root port 67 cannot be bound (even while it is taken): the
  # message says why, not only that the socket failed.
  if [ "$(id -u)" = 0 ]; then
    chmod 755 "$work"
    mkdir -p own
    cp VORPIL.inf Qelta.dat own/
    chmod -R a+rwX own
    status=0
    (cd own && setpriv --reuid=65534 --regid=65534 --clear-groups "$bin/qelta" dhcp --start 192.0.2.120 \
      --end 192.0.2.130) > own.out 2>&1 || status=$?
    cat own.out
    [ "$status" = 1 ] || { echo "FAIL: a server without root gave $status"; exit 1; }
    grep -q '^Failed to create socket!$' own.out
    grep -q '^UDP port 67 of 192.0.2.1: bind: Permission denied (ports below 1024 need root or the capability CAP_NET_BIND_SERVICE)\.$' own.out
  fi
  # A range that cannot be served: a clear word and status 2, nothing started.
  for range in "--start 192.0.2.130 --end 192.0.2.120" "--start 192.0.2.250 --end 192.0.3.5"; do
    status=0
    "$bin/qelta" dhcp $range --netmask 255.255.255.0 > range.out 2>&1 || status=$?
    cat range.out
    [ "$status" = 2 ] || { echo "FAIL: '$range' gave $status"; exit 1; }
    grep -q '^DHCP server not started: ' range.out
    ! grep -q 'running on UDP port 67' range.out
  done
  echo "PASS: command"
  exit 0
fi

# udhcpc on the MAC given, once, with its usual retries; prints the address
# it was bound to (nothing when it got none).
lease_for() {
  inclient ip link set dcli down
  inclient ip link set dcli address "$1"
  inclient ip link set dcli up
  rm -f got
  inclient timeout 30 busybox udhcpc -i dcli -f -q -n -t 3 -T 2 -s "$work/report.sh" > "udhcpc-$1.out" 2>&1 || true
  [ -f got ] && sed -n 's/^ip=//p' got
  return 0
}
case $client in stray | renew | pool)
  cat > report.sh <<'SCRIPT'
#!/bin/sh
case "$1" in bound | renew) ;; *) exit 0 ;; esac
printf 'ip=%s\n' "$ip" > got
echo "$1 $ip" >> events
# A renewing client sends from its address: give it to the interface.
[ "$1" = bound ] && ip addr add "$ip/${mask:-24}" dev "$interface"
exit 0
SCRIPT
  chmod +x report.sh
esac
finish() {
  kill -INT "$server"
  wait "$server"
  server=
  cat qelta.out
}

if [ "$client" = stray ]; then
  # A DISCOVER whose offer nobody takes up (the device went away).
  inclient ip route add 255.255.255.255 dev dcli
  inclient python3 - <<'PY'
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, 25, b"dcli")  # SO_BINDTODEVICE
s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
s.bind(("0.0.0.0", 68))
d = bytearray(300)
d[0:3] = b"\x01\x01\x06"
d[4:8] = b"\x51\x52\x53\x54"
d[28:34] = bytes([0x02, 0, 0, 0, 0, 0xEE])
d[236:244] = bytes([99, 130, 83, 99, 53, 1, 1, 255])
s.sendto(bytes(d), ("255.255.255.255", 67))
PY
  for _ in $(seq 100); do grep -q 'MAC 02-00-00-00-00-EE' qelta.out && break; sleep 0.05; done
  inclient ip route del 255.255.255.255 dev dcli
  got_all=
  for i in 1 2 3; do
    got_all="$got_all $(lease_for 02:00:00:00:01:0$i)"
  done
  finish
  echo "addresses:$got_all"
  [ "$got_all" = " 192.0.2.101 192.0.2.102 192.0.2.103" ] || { echo "FAIL: the clients got '$got_all'"; exit 1; }
  echo "PASS: stray"
  exit 0
fi

if [ "$client" = pool ]; then
  got_all=
  for i in 1 2 3 4 5; do
    got_all="$got_all $(lease_for 02:00:00:00:02:0$i)"
  done
  finish
  echo "addresses:$got_all"
  [ "$got_all" = " 192.0.2.100 192.0.2.101 192.0.2.102  " ] || { echo "FAIL: the clients got '$got_all'"; exit 1; }
  grep -q '^No address left for device with MAC 02-00-00-00-02-04: the pool 192.0.2.100 to 192.0.2.102 is exhausted.$' qelta.out
  grep -q 'no lease, failing' udhcpc-02:00:00:00:02:05.out
  echo "PASS: pool"
  exit 0
fi

if [ "$client" = renew ]; then
  # Bound and staying on (no -n, no -q); SIGUSR1 makes it renew at once.
  # nsenter itself becomes udhcpc, so the signals below reach it.
  nsenter -t "$holder" -n -- busybox udhcpc -i dcli -f -t 3 -T 2 -s "$work/report.sh" > udhcpc.out 2>&1 &
  dhcp_client=$!
  for _ in $(seq 200); do grep -q '^bound ' events 2>/dev/null && break; sleep 0.05; done
  grep -q '^bound 192.0.2.100$' events || { cat udhcpc.out; echo "FAIL: not bound"; kill $dhcp_client; exit 1; }
  kill -USR1 $dhcp_client
  for _ in $(seq 200); do grep -q '^renew ' events && break; sleep 0.05; done
  kill $dhcp_client
  wait $dhcp_client || true
  cat udhcpc.out events
  finish
  grep -q '^renew 192.0.2.100$' events || { echo "FAIL: the renewal was not answered"; exit 1; }
  # Bound, then renewed (a client may ask again before the answer is in).
  [ "$(grep -c '^Assigned IP 192.0.2.100 to device with MAC '"$mac"'$' qelta.out)" -ge 2 ]
  echo "PASS: renew"
  exit 0
fi

# Each client reports what it got as the same five lines.
case $client in
  udhcpc)
    cat > report.sh <<'SCRIPT'
#!/bin/sh
[ "$1" = bound ] || exit 0
printf 'ip=%s\nmask=%s\nrouter=%s\ndns=%s\nboot=%s\n' "$ip" "$subnet" "$router" "$dns" "$boot_file" > got
SCRIPT
    chmod +x report.sh
    inclient timeout 20 busybox udhcpc -i dcli -f -q -n -t 3 -T 2 -s "$work/report.sh"
    ;;
  dhclient)
    cat > report.sh <<'SCRIPT'
#!/bin/sh
case "$reason" in BOUND|REBOOT) ;; *) exit 0 ;; esac
printf 'ip=%s\nmask=%s\nrouter=%s\ndns=%s\nboot=%s\n' "$new_ip_address" "$new_subnet_mask" "$new_routers" \
  "$new_domain_name_servers" "$new_filename" > got
SCRIPT
    chmod +x report.sh
    printf 'timeout 10;\nretry 1;\nrequest subnet-mask, routers, domain-name-servers;\n' > dhclient.conf
    inclient timeout 20 dhclient -4 -1 -v -cf dhclient.conf -sf "$work/report.sh" -lf "$work/leases" -pf "$work/pid" dcli
    inclient dhclient -x -pf "$work/pid" 2>/dev/null || true
    ;;
  bootpc)
    # bootpc sends through an ordinary socket, which needs a route for the
    # limited broadcast on an interface without an address.
    inclient ip route add 255.255.255.255 dev dcli
    inclient timeout 20 bootpc --dev dcli --timeoutwait 5 > bootpc.out
    cat bootpc.out
    # bootpc prints shell assignments: IPADDR='...' NETMASK= GATEWAYS= DNSSRVS= BOOTFILE=
    (
      . ./bootpc.out
      printf 'ip=%s\nmask=%s\nrouter=%s\ndns=%s\nboot=%s\n' "$IPADDR" "$NETMASK" "$GATEWAYS" "$DNSSRVS" "$BOOTFILE"
    ) > got
    ;;
esac

cat got
# The datagrams were handled by a worker that gave up root.
worker=$(awk '{ print $1 }' /proc/$server/task/$server/children)
grep -q $'^Uid:\t65534\t65534\t65534\t65534$' /proc/$worker/status
grep -q $'^CapEff:\t0000000000000000$' /proc/$worker/status
# The list is on disk before the server ends.
[ "$(cat dhcp.dat)" = "192.0.2.100\$$mac\$" ] || [ "$client" = bootpc ] || { echo "FAIL: dhcp.dat holds '$(cat dhcp.dat)' while running"; exit 1; }
# A closed terminal (SIGHUP) ends the server as Ctrl+C does.
if [ "$client" = udhcpc ]; then kill -HUP "$server"; else kill -INT "$server"; fi
wait "$server"
server=
cat qelta.out

expected=$(printf 'ip=192.0.2.100\nmask=255.255.255.0\nrouter=192.0.2.254\ndns=192.0.2.53\nboot=zv.bin')
[ "$(cat got)" = "$expected" ] || { echo "FAIL: the client got something else"; exit 1; }
if [ "$client" = bootpc ]; then
  grep -q "^Received a BOOTP request from device with MAC $mac\$" qelta.out
else
  grep -q "^Received a DHCP request from device with MAC $mac\$" qelta.out
  grep -q "^Assigned IP 192.0.2.100 to device with MAC $mac\$" qelta.out
fi
grep -q "^DHCP server stoped.\$" qelta.out
[ "$(cat dhcp.dat)" = "192.0.2.100\$$mac\$" ] || { echo "FAIL: dhcp.dat holds '$(cat dhcp.dat)'"; exit 1; }
# The values given on the command line are the settings now (items 13-19).
sed -n '14,20p' Qelta.dat
sed -n 14p Qelta.dat | grep -q '^C0000264 '
sed -n 20p Qelta.dat | grep -q '^zv.bin '
echo "PASS: $client"
