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
  for _ in $(seq 100); do [ "$(grep -c . devsim.out || true)" -ge 6 ] && break; sleep 0.1; done
  # Two virtual ports on a driver host of its own, one connected to a device.
  "$1/vorpild" --foreground --runtime-dir "$PWD/run" --state-dir "$PWD/state" 2> vorpild.log &
  export VORPIL_RUNTIME_DIR=$PWD/run
  for _ in $(seq 100); do "$1/devcon" status > /dev/null 2>&1 && break; sleep 0.1; done
  "$1/devcon" install VORPIL.inf "ZORV\\Rure" COM5 > /dev/null
  "$1/devcon" install VORPIL.inf "ZORV\\Rure" COM6 > /dev/null
  "$1/devcon" set COM5 --remote 127.0.0.10:5000 --tcp --client --framed > /dev/null
  "$1/devcon" connect COM5 > /dev/null || true
  "$1/qelta" --screenshots "$2"
  status=$?
  kill %1 %2
  exit $status' bash "$bin" "$out"
