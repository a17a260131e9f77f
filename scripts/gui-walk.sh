#!/usr/bin/env bash
# A field engineer's day in both windows, clicked through on a virtual X
# server (Xvfb) with xdotool against the simulators: qelta picks its network
# interface, searches devsim's device servers, monitors them, serves a lease
# over DHCP and a file over TFTP to a client behind a veth pair, sets a
# device up, adds a virtual port (vorpild) and connects it, drags a device
# onto a second port, sends a line through the first port in the terminal
# and shows the device's answer, and saves its settings at exit; kellan-mp
# then passes one board and fails another (boardsim).
# Each step checks what it did beyond the picture (files, leases, records,
# the programs' own output) and leaves a PNG; the walk stops at the
# first step that fails and names it.
#   scripts/gui-walk.sh [BUILD_DIR [PICTURE_DIR]]
# Pictures go to PICTURE_DIR (default BUILD_DIR/gui-walk, emptied first).
# Runs itself inside a private network namespace and a session bus of its
# own. Needs Xvfb, xdotool, xwd, netpbm, tftp-hpa, busybox, sqlite3 and the
# accessibility bus (at-spi2-core, gir1.2-atspi-2.0): install-deps.sh.
set -euo pipefail
[ -n "${GUI_WALK_TRACE:-}" ] && set -x
root=$(cd "$(dirname "$0")/.." && pwd)
self=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
here=$root/scripts/gui-walk
build=$(cd "${1:-$root/build}" && pwd)
bin=$build/bin
out=${2:-$build/gui-walk}
if [ "${SUITE_IN_NETNS:-}" != 1 ]; then
  exec "$root/scripts/in-netns.sh" "$self" "$build" "$out"
fi
if [ "${GUI_WALK_BUS:-}" != 1 ]; then
  exec env GUI_WALK_BUS=1 dbus-run-session -- "$self" "$build" "$out"
fi
for tool in Xvfb xdotool xwd xwdtopnm pnmtopng tftp busybox sqlite3; do
  command -v "$tool" > /dev/null || { echo "gui-walk: $tool is not installed (scripts/install-deps.sh)" >&2; exit 2; }
done
rm -rf "$out"
mkdir -p "$out"
out=$(cd "$out" && pwd)
work=$(mktemp -d /tmp/gui-walk.XXXXXX)
app=qelta
pids=()
holder=
main_shell=$BASHPID
cleanup() {
  local status=$?
  # Subshells (a program started in its folder) leave the clean-up to the walk.
  [ "$BASHPID" = "$main_shell" ] || return 0
  for pid in "${pids[@]}"; do kill "$pid" 2> /dev/null || true; done
  [ -n "$holder" ] && kill "$holder" 2> /dev/null || true
  wait 2> /dev/null || true
  if [ $status = 0 ]; then rm -rf "$work"; else echo "gui-walk: the programs' files are kept in $work" >&2; fi
  exit $status
}
trap cleanup EXIT
trap "exit 143" TERM INT
# shellcheck source=scripts/gui-walk/lib.sh
. "$here/lib.sh"
started=$SECONDS
cd "$work"
# A runtime folder of its own: the accessibility bus puts its socket there,
# and two walks at once (or a desktop session) must not share it.
export XDG_RUNTIME_DIR=$work/runtime
mkdir -m 700 "$XDG_RUNTIME_DIR"

# The field: device servers, this PC (192.0.2.1) and a device that wants an
# address (in a namespace of its own behind the veth pair dsrv-dcli).
ip link add dsrv type veth peer name dcli
ip addr add 192.0.2.1/24 dev dsrv
for n in 10 11 12; do ip addr add 192.0.2.$n/32 dev dsrv; done
ip link set dsrv up
setsid unshare -n sleep 3600 &
holder=$!
own_netns() { [ "$(readlink "/proc/$holder/ns/net")" != "$(readlink /proc/self/ns/net)" ]; }
until_true 10 "no namespace for the DHCP client" own_netns
ip link set dcli netns "$holder"
nsenter -t "$holder" -n ip link set lo up
nsenter -t "$holder" -n ip link set dcli up
ip route add 192.0.2.0/24 dev dsrv 2> /dev/null || true

setsid "$bin/devsim" --devices 3 --first-address 192.0.2.10 --reboot-time 1 > devsim.out 2> devsim.err &
pids+=($!)
wait_line devsim.out '192\.0\.2\.12 ' 30
export VORPIL_RUNTIME_DIR=$work/vorpil
setsid "$bin/vorpild" --foreground --runtime-dir "$VORPIL_RUNTIME_DIR" --state-dir "$work/vorpil-state" 2> vorpild.err &
pids+=($!)
until_true 30 "vorpild never answered" "$bin/devcon" status

# The accessibility bus, up before any program asks for it: started on
# demand it may not answer within D-Bus's reply time on a busy machine.
setsid /usr/libexec/at-spi-bus-launcher --launch-immediately > at-spi.log 2>&1 &
pids+=($!)
a11y_bus() { dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.a11y.Bus.GetAddress; }
until_true 120 "the accessibility bus never answered" a11y_bus

exec 4> xvfb.display
setsid Xvfb -displayfd 4 -nolisten tcp -screen 0 1280x900x24 > xvfb.log 2>&1 &
pids+=($!)
until_true 30 "Xvfb never started" test -s xvfb.display
export DISPLAY=:$(head -n1 xvfb.display)
# Qt speaks to the accessibility bus only when asked to.
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_QPA_PLATFORM=xcb

# ---------------------------------------------------------------- qelta
mkdir qelta
cp "$bin/VORPIL.inf" qelta/
# This PC's own serial port (a USB adapter) is COM1: a new virtual port
# must not take its name.
touch ttyUSB0
echo "COM1 $work/ttyUSB0" > com-ports
(cd qelta && SUITE_COM_MAP=$work/com-ports exec setsid "$bin/qelta" > ../qelta.out 2>&1) &
qelta_pid=$!
pids+=($qelta_pid)

step qelta-starts
# Several addresses on this PC: qelta asks which interface to work on.
bound=90 click --window "Selecting a network interface" "combo box" ".*"
click "list item" "192\.0\.2\.1"
click --window "Selecting a network interface" "push button" "Continue"
window=$(top_window "^QELTA Configuration")
xdotool windowmove "$window" 0 0 windowsize "$window" 1280 900
wait_widget "table cell" "Selected network interface: 192\.0\.2\.1"
shot

step search
click "push button" "Search"
click --window "Devices Searching.*" "push button" "Search"
for name in DS-0001 DS-0002 DS-0003; do
  wait_widget "table cell" "$name"
  # Each found device is ticked for the monitor.
  at=$(widgets row-start "$app" "table cell" "$name" "table cell") || fail "no row of $name"
  click_at $at
done
shot

step monitor
click "push button" "\s*Device Monitor"
click "push button" "Start"
wait_widget "push button" "Stop"
# Three devices answer every cycle.
wait_widget "table cell" "DS-0003"
shot
click "push button" "Stop"
wait_widget "push button" "Start"

step dhcp-lease
click "push button" "\s*DHCP Server"
type_into "text" "Start IP Address" "192.0.2.100"
type_into "text" "End IP Address" "192.0.2.110"
type_into "text" "Gateway \(Router\)" "192.0.2.254"
type_into "text" "Subnet Mask" "255.255.255.0"
type_into "text" "Domain Name Server" "192.0.2.53"
type_into "text" "Server IP Address" "192.0.2.1"
at=$(widgets right-of "$app" "text" "Server IP Address" "push button" --timeout 2 2> /dev/null) ||
  at=$(widgets where "$app" "push button" "Start" --timeout 10) || fail "no Start button in the DHCP view"
click_at $at
wait_widget "push button" "Stop"
# The device behind the veth pair asks for an address; the script udhcpc
# runs puts it on its interface and writes it down.
cat > udhcpc.sh <<'SCRIPT'
#!/bin/sh
[ "$1" = bound ] || exit 0
ip addr add "$ip/${mask:-24}" dev "$interface"
echo "$ip" > "$LEASE_FILE"
SCRIPT
chmod +x udhcpc.sh
LEASE_FILE=$work/lease timeout 60 nsenter -t "$holder" -n busybox udhcpc -i dcli -f -q -n -t 5 -T 2 -s "$work/udhcpc.sh" > udhcpc.out 2>&1 ||
  fail "udhcpc got no lease: $(tail -n 3 udhcpc.out | tr '\n' ' ')"
lease=$(cat lease)
case $lease in 192.0.2.10[0-9] | 192.0.2.110) ;; *) fail "lease $lease is outside 192.0.2.100-110" ;; esac
wait_widget "table cell" "${lease//./\\.}"
echo "   lease: $lease"
shot

step tftp-fetch
mkdir -p tftp
head -c 200000 /dev/urandom > tftp/firmware.bin
click "push button" "\s*TFTP Server"
type_into "text" "File Path" "$work/tftp"
click "push button" "Start"
wait_widget "push button" "Stop"
(cd "$work" && timeout 60 nsenter -t "$holder" -n tftp -m binary 192.0.2.1 -c get firmware.bin fetched.bin) > tftp.out 2>&1 ||
  fail "tftp could not fetch firmware.bin: $(tr '\n' ' ' < tftp.out)"
[ "$(sha256sum < fetched.bin)" = "$(sha256sum < tftp/firmware.bin)" ] || fail "the fetched firmware.bin differs from the served one"
# The server's log says so too.
widgets wait-text "$app" "text" "TFTP Server Log" "Sent $work/tftp/firmware\.bin to ${lease//./\\.} on port [0-9]+: 200000 bytes\.\nRead session is completed successfully\." --timeout 30 > /dev/null ||
  fail "the TFTP log does not say the transfer completed: $(widgets read "$app" "text" "TFTP Server Log" | tail -n 3 | tr '\n' ' ')"
echo "   firmware.bin: $(sha256sum < fetched.bin | cut -c1-16)..., $(stat -c %s fetched.bin) bytes"
shot

step device-setup
# DS-0003 gets a name of its own and 9600 baud through its setup sheet.
click "push button" "\s*Device Management"
# The sheet is for one device: the others' ticks go.
for name in DS-0001 DS-0002; do
  at=$(widgets row-start "$app" --in "tree:Device List" "table cell" "$name" "table cell") || fail "no row of $name"
  click_at $at
done
# The one ticked row left, Device Setup opens its sheet (a double-click
# does the same, but two clicks far apart on a busy machine are two clicks).
click "push button" "Device Setup"
type_into --window "Device Setup" "text" "Device Name" "Field-3"
click --window "Device Setup" "page tab" "Serial Port Setting"
at=$(widgets right-of "$app" --window "Device Setup" "label" "Baud Rate" "combo box") || fail "no Baud Rate list"
click_at $at
click "list item" "9600"
click --window "Device Setup" "push button" "Submit"
# The device restarts with its new settings: the window asks first.
click "push button" "(&)?Yes"
wait_log "Setup: sent the settings \(name Field-3, .*, serial 9600 8N1, flow none\) to device 02-44-53-00-00-03 at 192\.0\.2\.12; the device accepted them and restarts"
wait_widget --in "tree:Device List" "table cell" "Field-3"
# What the device itself answers now, read by the command line's setup
# sheet (nothing is sent) from a second PC on the segment, 192.0.2.2.
ip addr add 192.0.2.2/24 dev dsrv 2> /dev/null || true
mkdir -p asked
cp "$bin/VORPIL.inf" asked/
# The device answers again once it has restarted.
ask_device() {
  (cd asked && timeout 30 "$bin/qelta" --local 192.0.2.2 setup --ip 192.0.2.12 --save device3.txt --no-submit -y) > asked.out 2>&1
}
until_true 60 "the device at 192.0.2.12 does not answer the setup sheet: $(tail -n 3 asked.out 2> /dev/null | tr '\n' ' ')" ask_device
name=$(sed -n '1s/ *\/\/.*//p' asked/device3.txt)
baud=$(sed -n '36s/ *\/\/.*//p' asked/device3.txt)
[ "$name" = Field-3 ] || fail "the device calls itself '$name', not Field-3"
[ "$baud" = 5 ] || fail "the device's baud rate is item $baud, not 5 (9600)"
echo "   the device answers: name $name, baud rate 9600"
shot

step vsp-add-connect
# The first number a new port is offered is the first that no virtual port
# and no serial port of this machine uses (COM1 is one here: see com-ports).
click "push button" "\s*Virtual Serial Port"
first_free_com() {
  local n
  for n in $(seq 2 256); do
    "$bin/devcon" status | grep -q " COM$n " && continue
    [ "$(cat "/sys/class/tty/ttyS$((n - 1))/type" 2> /dev/null || echo 0)" != 0 ] && continue
    echo "$n"
    return
  done
}
add_port() {
  local expected offered
  expected=$(first_free_com)
  click "push button" "Add"
  wait_widget --window "COM Port Configuration" "combo box" ".*"
  offered=$(widgets texts "$app" --window "COM Port Configuration" "combo box" | awk -F '\t' 'NR == 1 { print $2 }')
  [ "$offered" = "COM$expected" ] || fail "Add offers $offered, the first free number is COM$expected"
  click --window "COM Port Configuration" "push button" "OK"
  wait_widget "label" "Added a virtual serial port successfully"
  until_true 30 "devcon does not list COM$expected" bash -c "'$bin/devcon' status | grep -q ' COM$expected '"
  added=$expected
}
add_port
port1=COM$added
click --in "tree:Virtual Serial Ports" "table cell" "$port1"
click "push button" "Setting"
click "radio button" "Client"
type_into "text" "Remote Host IP" "192.0.2.10"
type_into "text" "Remote Host Port" "5000"
click "push button" "OK"
click "push button" "Connect"
wait_widget "label" "Connected to remote host 192\.0\.2\.10@5000 successfully"
wait_widget --in "tree:Virtual COM Port Items" "table cell" "$port1 \(192\.0\.2\.10\)"
"$bin/devcon" status > devcon.out
grep -Eq " $port1 started link=1 remote=tcp:192\.0\.2\.10:5000 client " devcon.out ||
  fail "vorpild does not have $port1 connected to 192.0.2.10:5000: $(grep " $port1 " devcon.out)"
echo "   $port1 (offered first) connected to DS-0001 at 192.0.2.10:5000"
shot

step drag-device
# A second idle port; DS-0002's row dragged onto its item in the
# navigation panel connects it.
add_port
port2=COM$added
click "push button" "\s*Device Management"
wait_widget --in "tree:Virtual COM Port Items" "table cell" "$port2"
from=$(widgets where "$app" --in "tree:Device List" "table cell" "DS-0002") || fail "no row of DS-0002"
to=$(widgets where "$app" --in "tree:Virtual COM Port Items" "table cell" "$port2") || fail "no item $port2"
drag $from $to
wait_widget --in "tree:Virtual COM Port Items" "table cell" "$port2 \(192\.0\.2\.11\)"
wait_log "$port2 connected to the device at 192\.0\.2\.11, port 5000\."
row=$(widgets row "$app" --in "tree:Device List" "table cell" "DS-0002") || fail "no row of DS-0002"
grep -q "Connected" <<< "$row" || fail "DS-0002's row does not say it is connected: $row"
"$bin/devcon" status > devcon.out
grep -Eq " $port2 started link=1 remote=tcp:192\.0\.2\.11:5000 client " devcon.out ||
  fail "vorpild does not have $port2 connected to 192.0.2.11:5000: $(grep " $port2 " devcon.out)"
echo "   DS-0002 dropped on $port2: connected to 192.0.2.11:5000"
shot

step terminal-echo
# A program on DS-0001's serial side answers each line; the terminal sends
# a line through $port1 and shows the answer.
serial1=$(sed -n 's/^192\.0\.2\.10 .* serial=\([^ ]*\) .*/\1/p' devsim.out)
[ -c "$serial1" ] || fail "devsim names no serial side for DS-0001 ($serial1)"
setsid /usr/bin/python3 "$here/serial_peer.py" "$serial1" "$work/peer.log" > peer.out 2>&1 &
pids+=($!)
wait_line peer.out '^ready' 30
click "check box" "\s*COM Port Terminal"
at=$(widgets right-of "$app" "label" "Port" "combo box") || fail "no Port list in Terminal 1"
click_at $at
click "list item" "$port1"
click "push button" "Open Port"
wait_widget "push button" "Close Port"
click "text" "Terminal 1 Log"
xdotool type --delay 30 -- "walk-echo-1"
xdotool key --clearmodifiers Return
wait_line peer.log '^walk-echo-1$' 30
widgets wait-text "$app" "text" "Terminal 1 Log" "device got: walk-echo-1" --timeout 30 > /dev/null ||
  fail "the terminal does not show the device's answer: $(widgets read "$app" "text" "Terminal 1 Log" | tail -c 200)"
"$bin/devcon" status | grep -Eq "^terminal $port1 program=yes to-port=([1-9][0-9]+) to-program=([1-9][0-9]+) " ||
  fail "vorpild counts no bytes both ways on $port1: $("$bin/devcon" status | grep "terminal $port1")"
echo "   sent walk-echo-1 through $port1; DS-0001's serial side answered and the terminal shows it"
shot

step qelta-exit
click "menu item" "File"
click "menu item" "Exit"
until_true 60 "qelta did not exit" bash -c "! kill -0 $qelta_pid"
[ -s qelta/Qelta.dat ] || fail "no Qelta.dat written at exit"
# Addresses are kept as hexadecimal: 192.0.2.100 is C0000264.
grep -q '^C0000264 ' qelta/Qelta.dat || fail "Qelta.dat lacks the DHCP range typed in the window"
grep -q "^${lease//./\\.}\\$" qelta/dhcp.dat || fail "dhcp.dat does not keep the lease of $lease"
shot

# ---------------------------------------------------------------- kellan-mp
app=kellan-mp
mkdir kellan
cd kellan
head -c 6000 /dev/urandom > loader.bin
head -c 40000 /dev/urandom > test.bin
head -c 120000 /dev/urandom > prod.bin
for k in $(seq 0 33); do printf '[%04X]\n%04X\n' "$k" $((0x1100 + k)); done > eeprom.ini
printf '%s\n' "$PWD/loader.bin" "$PWD/test.bin" "$PWD/prod.bin" "$PWD/eeprom.ini" "$PWD/fail.log" \
  127.0.0.2 00A0B0C0D0E0 00A0B0C0D0EF 0 > Option.dat
# The board is on COM9: qelta's virtual ports (COM2, COM3 above) stay in
# vorpild, and a COM name vorpild has goes to its port before the mapping.
printf 'COM9\n921.6K' > com.dat
echo 255 > item.dat
echo "COM9 $PWD/board" > com-ports
# The board and the program run their waits this many times faster than
# real time (GUI_WALK_BOARD_SCALE=1: as on the line).
scale=${GUI_WALK_BOARD_SCALE:-10}
board_pid=
start_board() {
  [ -n "$board_pid" ] && { kill "$board_pid" 2> /dev/null || true; wait "$board_pid" 2> /dev/null || true; }
  rm -f board
  setsid "$bin/boardsim" --time-scale "$scale" --link "$PWD/board" --events --options "erase-ms=300${1:+,$1}" > "boardsim-$2.out" 2>&1 &
  board_pid=$!
  pids+=($board_pid)
  until_true 30 "boardsim made no link" test -e board
}
# The window records every run in production.db beside its settings.
runs() { sqlite3 production.db "SELECT count(*) FROM runs" 2> /dev/null || echo 0; }
has_runs() { [ "$(runs)" -ge "$1" ]; }
last_run() { sqlite3 -separator ' ' production.db "SELECT outcome, upper(mac) FROM runs ORDER BY id DESC LIMIT 1"; }
# The address the board's EEPROM holds when the program last read it back.
board_mac() { sed -n 's/^command er mac //p' "boardsim-$1.out" | tail -n1 | tr a-f A-F; }
# Running a board, the window asks the operator to switch it to normal
# mode and power it up again (boardsim does that by itself), and a failed
# run says why in a box: the operator reads each box and presses OK, until
# the run is recorded.
box_text() { widgets texts "$app" | awk -F '\t' '$1 == "alert" { box = 1; next } box && $1 == "label" { print $2; exit }'; }
operate_until() {
  local bound_s=$1 what=$2 deadline=$((SECONDS + $1)) at
  shift 2
  until "$@" > /dev/null 2>&1; do
    [ "$SECONDS" -ge "$deadline" ] && fail "$what (waited $bound_s s)"
    if at=$(widgets where "$app" "push button" "OK" --timeout 0 2> /dev/null); then
      echo "   the window says: $(box_text | head -n1)"
      click_at $at
      widgets gone "$app" "push button" "OK" --timeout 30 > /dev/null 2>&1 || true
    fi
    sleep 0.5
  done
}
start_board "" good
SUITE_COM_MAP=$PWD/com-ports PORTIO_MODULE=none KELLAN_MP_TIME_SCALE=$scale setsid "$bin/kellan-mp" > kellan-mp.out 2>&1 &
pids+=($!)

step kellan-pass
window=$(top_window "^Kellan Manufacture Program")
xdotool windowmove "$window" 0 0
click "push button" "START"
operate_until 300 "the good board's run was never recorded in production.db" has_runs 1
read -r outcome mac < <(last_run)
[ "$outcome" = pass ] || fail "the good board's run is recorded as $outcome"
mac=${mac//[:-]/}
[ "$mac" = 00A0B0C0D0E0 ] || fail "the good board's run took $mac, not the range's first address 00A0B0C0D0E0"
[ "$(board_mac good)" = "$mac" ] || fail "the board's EEPROM holds $(board_mac good), the run recorded $mac"
[ ! -s fail.log ] || fail "a good board was logged as failed: $(head -n 3 fail.log)"
until_true 60 "START never came back" widgets state "$app" "push button" "START" enabled
echo "   run 1: $outcome, MAC $mac (the board's EEPROM: $(board_mac good))"
shot

step kellan-fail
start_board fail-r bad-ram
click "push button" "START"
operate_until 300 "the board whose RAM fails was never recorded in production.db" has_runs 2
read -r outcome mac < <(last_run)
[ "$outcome" = fail ] || fail "the board whose RAM fails is recorded as $outcome"
until_true 30 "the board whose RAM fails was never logged in fail.log" test -s fail.log
[ -z "$(board_mac bad-ram)" ] || fail "the board whose RAM fails was given the address $(board_mac bad-ram)"
until_true 60 "START never came back" widgets state "$app" "push button" "START" enabled
echo "   run 2: $outcome; fail.log: $(head -n 2 fail.log | tr '\n' ' ')"
shot

echo "gui-walk: $step_no steps passed in $((SECONDS - started)) s; pictures in $out"
