#!/usr/bin/env bash
# Runs inside the test machine (scripts/vm-run.sh): vorpild with the
# character-device front end, a devsim device server with an echo plug, and
# the checks of cuse_checks.py on /dev/vorpil/COM5; then the side-by-side
# table of tty_table.py: the machine's 8250 UART (/dev/ttyS1, in loopback),
# /dev/vorpil/COM5 and a second vorpild's pty front end (COM7), each on an
# echo plug. A difference of the character device or the pty from the UART
# that tests/guest/tty_differences.txt does not name under its kind
# (docs/vorpild-beside-8250.md says why for each) fails the run. Last, the
# orderly-stop checks of stop_checks.py on a third vorpild of its own.
# CHECKS_ONLY (bulk, tty, table or stop) runs only those checks.
# BULK_MIB (default 20) is how much goes each way in the bulk transfer.
# Usage: tests/guest/cuse_guest.sh BUILD_DIR [BULK_MIB]
set -euo pipefail
usage="usage: tests/guest/cuse_guest.sh BUILD_DIR [BULK_MIB]"
case "${1:-}" in
  -h|--help) echo "$usage"; exit 0 ;;
  -*) echo "cuse_guest.sh: unknown argument $1" >&2; echo "$usage" >&2; exit 2 ;;
esac
if [ $# -lt 1 ] || [ $# -gt 2 ] || { [ $# -eq 2 ] && ! [[ "$2" =~ ^[1-9][0-9]*$ ]]; }; then
  echo "$usage" >&2; exit 2
fi
export CUSE_BULK_MIB=${2:-20}
here=$(cd "$(dirname "$0")" && pwd)
bin=$(cd "$1/bin" && pwd)
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; wait 2>/dev/null || true' EXIT
export VORPIL_RUNTIME_DIR=$work/run

# COM5: a device server that logs every packet; COM6: a quiet one for the bulk transfer.
"$bin/devsim" --serial echo -v > "$work/devsim.out" 2> "$work/devsim.err" &
"$bin/devsim" --serial echo --first-address 127.0.0.20 --broadcast-port 26122 --multicast-port 26123 \
  --unicast-port 26124 --http-port 0 > "$work/bulk.out" 2> "$work/bulk.err" &
# COM7, through a second vorpild's pty front end, for the table.
"$bin/devsim" --serial echo -v --first-address 127.0.0.30 --broadcast-port 26132 --multicast-port 26133 \
  --unicast-port 26134 --http-port 0 > "$work/pty.out" 2> "$work/pty.err" &
"$bin/vorpild" --foreground --frontend cuse --runtime-dir "$VORPIL_RUNTIME_DIR" --state-dir "$work/state" \
  2> "$work/vorpild.err" &
for _ in $(seq 100); do [ -S "$VORPIL_RUNTIME_DIR/control" ] && break; sleep 0.1; done
for _ in $(seq 100); do grep -q 'data channel' "$work/devsim.err" 2>/dev/null && break; sleep 0.1; done
"$bin/devcon" install "$bin/VORPIL.inf" 'ZORV\Rure' COM5 > /dev/null
"$bin/devcon" set COM5 --remote 127.0.0.10:5000 --tcp --client --framed > /dev/null
"$bin/devcon" connect COM5 > /dev/null
"$bin/devcon" install "$bin/VORPIL.inf" 'ZORV\Rure' COM6 > /dev/null
"$bin/devcon" set COM6 --remote 127.0.0.20:5000 --tcp --client --framed > /dev/null
"$bin/devcon" connect COM6 > /dev/null
pty_run=$work/pty-run
"$bin/vorpild" --foreground --frontend pty --runtime-dir "$pty_run" --state-dir "$work/pty-state" \
  2> "$work/vorpild-pty.err" &
for _ in $(seq 100); do [ -S "$pty_run/control" ] && break; sleep 0.1; done
VORPIL_RUNTIME_DIR=$pty_run "$bin/devcon" install "$bin/VORPIL.inf" 'ZORV\Rure' COM7 > /dev/null
VORPIL_RUNTIME_DIR=$pty_run "$bin/devcon" set COM7 --remote 127.0.0.30:5000 --tcp --client --framed > /dev/null
VORPIL_RUNTIME_DIR=$pty_run "$bin/devcon" connect COM7 > /dev/null
status=0
/usr/bin/python3 "$here/cuse_checks.py" /dev/vorpil/COM5 "$work/devsim.err" "$bin/devcon" /dev/vorpil/COM6 || status=$?
if [ "${CHECKS_ONLY:-}" = "" ] || [ "${CHECKS_ONLY:-}" = table ]; then
  "$bin/devcon" set COM5 --pacing on > /dev/null
  VORPIL_RUNTIME_DIR=$pty_run "$bin/devcon" set COM7 --pacing on > /dev/null
  echo "== side by side: the 8250 UART, the character device, the pty"
  /usr/bin/python3 "$here/tty_table.py" --documented "$here/tty_differences.txt" \
    8250=uart:/dev/ttyS1 cuse=cuse:/dev/vorpil/COM5:"$work/devsim.err" \
    pty=pty:"$pty_run/dev/COM7":"$work/pty.err" || status=1
fi
if [ "${CHECKS_ONLY:-}" = "" ] || [ "${CHECKS_ONLY:-}" = stop ]; then
  echo "== an orderly stop of a third vorpild (character device)"
  /usr/bin/python3 "$here/stop_checks.py" "$bin" "$work" || status=1
fi
if [ "$status" != 0 ]; then
  echo "== vorpild log"; cat "$work/vorpild.err"
  echo "== devsim log (end)"; tail -40 "$work/devsim.err"
fi
exit "$status"
