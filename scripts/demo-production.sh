#!/usr/bin/env bash
# A production run of kellan-mp against boardsim, headless: loader over ISP,
# test firmware by BOOTP/TFTP, self tests, EEPROM with the next MAC address,
# production firmware. Both run ten times faster than real time.
#   scripts/in-netns.sh scripts/demo-production.sh [build/bin]
# Must run inside a private network namespace (ports 67/69, broadcast on lo).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$(cd "${1:-$root/build/bin}" && pwd)
if [ "${SUITE_IN_NETNS:-}" != 1 ]; then
  echo "demo-production.sh: run it inside scripts/in-netns.sh" >&2
  exit 2
fi
work=$(mktemp -d)
board_pid=
cleanup() {
  [ -n "$board_pid" ] && kill "$board_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

# The line's files: a loader image, two firmware images, the EEPROM words.
head -c 6000 /dev/urandom > loader.bin
head -c 40000 /dev/urandom > test.bin
head -c 120000 /dev/urandom > prod.bin
for k in $(seq 0 33); do printf '[%04X]\n%04X\n' "$k" $((0x1100 + k)); done > eeprom.ini
printf '%s\n' "$work/loader.bin" "$work/test.bin" "$work/prod.bin" "$work/eeprom.ini" "$work/fail.log" \
  127.0.0.2 00A0B0C0D0E0 00A0B0C0D0E1 0 > Option.dat
printf 'COM3\n921.6K' > com.dat
echo 255 > item.dat
echo "COM3 $work/board" > com-ports

run_board() { # boardsim options, label
  echo
  echo "== $2"
  "$bin/boardsim" --time-scale 10 --link "$work/board" --options "erase-ms=300${1:+,$1}" > boardsim.out &
  board_pid=$!
  for _ in $(seq 50); do [ -e "$work/board" ] && break; sleep 0.1; done
  # PORTIO_MODULE=none: the board is behind a pty, never the machine's UART.
  set +e
  SUITE_COM_MAP="$work/com-ports" PORTIO_MODULE=none KELLAN_MP_TIME_SCALE=10 \
    "$bin/kellan-mp" run --yes 2> kellan-mp.err
  echo "(exit status $?)"
  set -e
  echo "message boxes and prompts (stderr):"
  sed 's/^/  | /' kellan-mp.err
  kill "$board_pid"; wait "$board_pid" 2>/dev/null || true
  board_pid=
  echo "Option.dat now hands out: $(sed -n 7p Option.dat)"
}

run_board "" "a good board"
run_board "fail-r" "a board whose RAM test fails"
run_board "" "a second good board: the last address of the range"
run_board "" "a third board: the range is used up"
echo
echo "== log of failed boards (fail.log)"
cat fail.log
