#!/usr/bin/env bash
# Demonstration steps, run inside the private network namespace by demo.sh.
# $1 is the folder of the built programs.
set -euo pipefail
bin=$(cd "$1" && pwd)
work=$(mktemp -d)
cleanup() {
  kill $(jobs -p) 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

step() { printf '\n== %s\n' "$*"; }

step "devsim: five simulated device servers on 127.0.0.10 .. 127.0.0.14"
"$bin/devsim" --devices 5 --first-address 127.0.0.10 > devsim.out 2>devsim.err &
for _ in $(seq 100); do [ "$(grep -c . devsim.out || true)" -ge 5 ] && break; sleep 0.1; done
cat devsim.out

step "qelta start-up in an empty folder with the driver package (creates Qelta.dat)"
cp "$bin/VORPIL.inf" .
"$bin/qelta" startup

step "qelta search: broadcast"
"$bin/qelta" search

step "qelta search: multicast, as JSON"
"$bin/qelta" search --multicast --json

step "qelta search: one address"
"$bin/qelta" search --ip 127.0.0.12

step "qelta search: an address where nobody answers"
"$bin/qelta" search --ip 127.0.0.99 --period 5 || echo "(exit status $?: no devices)"

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
"$bin/devcon" remove 'ROOT\PORTS\0000'
"$bin/devcon" status

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  step "qelta window against the simulators (close it to finish)"
  "$bin/qelta" || true
else
  step "qelta window: no display here, so it is rendered off screen into pictures"
  QT_QPA_PLATFORM=offscreen "$bin/qelta" --screenshots "$bin/../demo-screens" 2>&1 | grep -E "^wrote" || echo "(built without Qt: no window)"
fi

step "Qelta.dat as written at exit (first lines)"
tr -d '\r' < Qelta.dat | head -n 8

echo
echo "demonstration finished"
