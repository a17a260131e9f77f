#!/usr/bin/env bash
# Demonstration steps, run inside the private network namespace by demo.sh.
# $1 is the folder of the built programs.
set -euo pipefail
bin=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
cleanup() {
  kill $(jobs -p) 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

step() { printf '\n== %s\n' "$*"; }

# The production line has its own network namespace (its servers use ports
# 67 and 69), so it runs beside the utility's steps; its output comes at the end.
unshare -n bash -c 'ip link set lo up; exec "$1/demo-production.sh" "$2"' bash "$here" "$bin" > production.out 2>&1 &
production=$!

step "devsim: five simulated device servers on 127.0.0.10 .. 127.0.0.14 (a reboot takes a second)"
"$bin/devsim" --devices 5 --first-address 127.0.0.10 --reboot-time 1 > devsim.out 2>devsim.err &
for _ in $(seq 100); do [ "$(grep -c . devsim.out || true)" -ge 5 ] && break; sleep 0.1; done
cat devsim.out

step "qelta start-up in an empty folder with the driver package (creates Qelta.dat)"
cp "$bin/VORPIL.inf" .
"$bin/qelta" startup

step "qelta search: broadcast"
"$bin/qelta" search --period 5

step "qelta search: multicast, as JSON"
"$bin/qelta" search --multicast --json --period 5

step "qelta search: one address"
"$bin/qelta" search --ip 127.0.0.12

step "qelta search: an address where nobody answers"
"$bin/qelta" search --ip 127.0.0.99 --period 5 || echo "(exit status $?: no devices)"

step "qelta setup: rename the second device and move its data port (it reboots)"
"$bin/qelta" setup --ip 127.0.0.11 --set 1=Demo-Gate --set 7=4100 --yes
for _ in $(seq 30); do
  "$bin/qelta" search --ip 127.0.0.11 --period 5 > renamed.txt 2>&1 && grep -q Demo-Gate renamed.txt && break
  sleep 0.2
done
cat renamed.txt
echo "its status page: $(curl -s http://127.0.0.11/ | grep -o '<title>[^<]*</title>')"

step "qelta tftp: serve a firmware file; curl fetches it with 1468-byte blocks, a name leaving the folder is refused"
mkdir -p tftp && head -c 300000 /dev/urandom > tftp/fw.bin
"$bin/qelta" tftp --dir "$work/tftp" > tftp.log 2>&1 &
tftp_pid=$!
for _ in $(seq 50); do grep -q . tftp.log && break; sleep 0.1; done
curl -s --tftp-blksize 1468 tftp://127.0.0.1/fw.bin -o fw.got && cmp tftp/fw.bin fw.got && echo "fw.bin arrived intact"
tftp 127.0.0.1 -c get ../etc/passwd refused.txt || true
kill -INT $tftp_pid; wait $tftp_pid || true
cat tftp.log

step "qelta dhcp: a client in a namespace of its own gets its address over a veth pair"
ip link add dsrv type veth peer name dcli
ip addr add 192.0.2.1/24 dev dsrv
ip link set dsrv up
unshare -n sleep 60 &
holder=$!
sleep 0.2
ip link set dcli netns $holder
nsenter -t $holder -n ip link set lo up
nsenter -t $holder -n ip link set dcli up
"$bin/qelta" --local 192.0.2.1 dhcp --start 192.0.2.100 --end 192.0.2.110 --gateway 192.0.2.254 \
  --netmask 255.255.255.0 --dns 192.0.2.53 --server 192.0.2.1 --boot zv.bin > dhcp.log 2>&1 &
dhcp_pid=$!
sleep 0.5
nsenter -t $holder -n busybox udhcpc -i dcli -f -q -n -t 3 -s /bin/true 2>&1 | grep -i "lease\|select" || true
kill -INT $dhcp_pid; wait $dhcp_pid || true
kill $holder 2>/dev/null || true
cat dhcp.log
echo "dhcp.dat: $(cat dhcp.dat)"

step "vorpild: virtual port COM5 connected to the first device over framed TCP"
export VORPIL_RUNTIME_DIR=$work/vorpil
"$bin/vorpild" --foreground --runtime-dir "$VORPIL_RUNTIME_DIR" --state-dir "$work/vorpil-state" 2> vorpild.err &
for _ in $(seq 100); do [ -S "$VORPIL_RUNTIME_DIR/control" ] && break; sleep 0.1; done
"$bin/devcon" install "$bin/VORPIL.inf" 'ZORV\Rure' COM5
"$bin/devcon" set COM5 --remote 127.0.0.10:5000 --tcp --client --framed
"$bin/devcon" connect COM5
"$bin/devcon" status
ls -l "$VORPIL_RUNTIME_DIR/dev/"

step "data through COM5: pyserial on the port, socat looping the device's serial side back"
device_pty=$(head -n 1 devsim.out | tr ' ' '\n' | sed -n 's/^serial=//p')
socat "$device_pty,raw,echo=0" EXEC:cat &
/usr/bin/python3 - "$VORPIL_RUNTIME_DIR/dev/COM5" <<'PY'
import sys, serial
port = serial.Serial(sys.argv[1], 115200, timeout=5)
message = b"hello through COM5, the device server and back\n"
port.write(message)
answer = port.read(len(message))
print("sent:    ", message)
print("received:", answer)
sys.exit(0 if answer == message else 1)
PY
"$bin/devcon" disconnect COM5
"$bin/devcon" status | grep '^terminal'  # bytes each way through the terminal
"$bin/devcon" remove 'ROOT\PORTS\0000'
"$bin/devcon" status

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  step "qelta window against the simulators (close it to finish)"
  "$bin/qelta" || true
else
  step "qelta window: no display here, so it is rendered off screen into pictures"
  QT_QPA_PLATFORM=offscreen "$bin/qelta" --screenshots "$bin/../demo-screens" 2>&1 | grep -E "^wrote" || echo "(built without Qt: no window)"
fi

step "kellan-mp: production runs against boardsim (run beside the steps above)"
wait $production
cat production.out

step "Qelta.dat as written at exit (first lines)"
tr -d '\r' < Qelta.dat | head -n 8

echo
echo "demonstration finished"
