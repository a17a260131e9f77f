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
  "$1/qelta" --screenshots "$2"
  status=$?
  kill %1
  exit $status' bash "$bin" "$out"
