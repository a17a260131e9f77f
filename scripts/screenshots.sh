#!/usr/bin/env bash
# Renders the qelta window (with a device list found among simulated device
# servers) and its dialogs off screen into docs/screenshots/.
# Usage: scripts/screenshots.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$(cd "${1:-$root/build}/bin" && pwd)
out=$root/docs/screenshots
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$bin/VORPIL.inf" "$work/"
# A device the DHCP server remembers from an earlier run.
printf '192.168.0.100$00-11-22-33-44-55$192.168.0.101$00-11-22-33-44-66$' > "$work/dhcp.dat"
cd "$work"
QT_QPA_PLATFORM=offscreen "$root/scripts/netns-exec.sh" bash -c '
  "$1/devsim" --devices 6 --first-address 127.0.0.10 > devsim.out 2>&1 &
  pids=$!
  for _ in $(seq 100); do [ "$(grep -c . devsim.out || true)" -ge 6 ] && break; sleep 0.1; done
  # Five virtual ports on a driver host of its own, four connected to devices
  # (the fifth takes a device dropped onto it).
  "$1/vorpild" --foreground --runtime-dir "$PWD/run" --state-dir "$PWD/state" 2> vorpild.log &
  pids="$pids $!"
  export VORPIL_RUNTIME_DIR=$PWD/run
  for _ in $(seq 100); do "$1/devcon" status > /dev/null 2>&1 && break; sleep 0.1; done
  for n in 5 6 7 8 9; do "$1/devcon" install VORPIL.inf "ZORV\\Rure" COM$n > /dev/null; done
  for n in 5 6 7 8; do
    "$1/devcon" set COM$n --remote 127.0.0.$((n + 5)):5000 --tcp --client --framed > /dev/null
    "$1/devcon" connect COM$n > /dev/null || true
  done
  # Traffic for the monitor chart: COM5 writes to device 1 in bursts that
  # grow and shrink, so its transmit rate moves from cycle to cycle.
  ( exec 3> "$VORPIL_RUNTIME_DIR/dev/COM5" || exit 0
    for i in $(seq 60); do head -c $(( (i % 5 + 1) * 400 )) /dev/zero >&3; sleep 0.5; done ) 2> /dev/null &
  pids="$pids $!"
  "$1/qelta" --screenshots "$2" --monitor-cycles 4
  status=$?
  # By process id: job numbers are not kept by a shell without job control.
  kill $pids 2> /dev/null || true
  # A driver host whose ports a program still writes to may take long to
  # stop: give it ten seconds.
  for _ in $(seq 100); do
    alive=0
    for pid in $pids; do kill -0 "$pid" 2> /dev/null && alive=1; done
    [ $alive = 0 ] && break
    sleep 0.1
  done
  kill -9 $pids 2> /dev/null || true
  wait
  exit $status' bash "$bin" "$out"

# kellan-mp's pages and its "Test Item Selection" dialog, with settings files
# of a production line and a simulated board as COM3 (never the real port-I/O
# module); the loader file is missing, so the run it pictures fails at once.
mkdir -p "$work/kellan/fw"
cd "$work/kellan"
printf '%s\n' fw/loader.bin fw/test.bin fw/prod.bin fw/eeprom.ini fw/fail.txt \
  192.168.0.50 00A0B0C0D0E0 00A0B0C0D0FF 3 > Option.dat
printf 'COM3\n921.6K' > com.dat
printf '237\n' > item.dat
"$bin/boardsim" > boardsim.out 2>&1 &
board=$!
for _ in $(seq 100); do [ -s boardsim.out ] && break; sleep 0.1; done
printf 'COM3 %s\n' "$(head -n1 boardsim.out)" > com-ports
status=0
QT_QPA_PLATFORM=offscreen SUITE_COM_MAP=$PWD/com-ports PORTIO_MODULE=none \
  "$bin/kellan-mp" --screenshots "$out" || status=$?
kill "$board"
# The HTML report of kellan-mp, in headless Chromium.
bash "$root/scripts/report-screenshot.sh" "${1:-$root/build}" > /dev/null || status=$?
exit $status
