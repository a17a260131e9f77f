#!/usr/bin/env bash
# The installed packages on a machine booted with systemd, as root:
#   tests/package/installed_test.sh DEB_DIR
# installs kellan-suite and kellan-suite-sims from DEB_DIR, checks that the
# vorpild service runs with its group, that devcon adds COM5, that a member
# of the group talks through COM5 to a simulated device server (an echo plug)
# while anyone else is refused, that the service picks its front end itself
# (a character device where the machine has CUSE, as the test machine has),
# and that removing the package leaves no daemon behind. Meant for a
# throw-away machine, as it adds users and installs packages:
# tests/package/guest_test.sh builds the packages and runs this in a guest.
# Every socket stays on 127.0.0.0/8.
set -uo pipefail
case "${1:-}" in
  -h|--help) sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  ""|-*) echo "usage: installed_test.sh DEB_DIR" >&2; exit 2 ;;
esac
debs=$(cd "$1" && pwd) || exit 2
if ! ls "$debs"/kellan-suite_*.deb "$debs"/kellan-suite-sims_*.deb >/dev/null 2>&1; then
  echo "installed_test.sh: no kellan-suite packages in $debs" >&2
  exit 2
fi
failures=0
step() { echo "== $*"; }
check() { # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}
eventually() { # eventually COMMAND... (up to 20 s)
  for _ in $(seq 1 100); do "$@" >/dev/null 2>&1 && return 0; sleep 0.2; done
  return 1
}

step "install"
# A container image's policy-rc.d forbids starting and stopping services from
# maintainer scripts; the guest is a machine, where there is none.
if [ -e /usr/sbin/policy-rc.d ]; then
  echo "moving the container's /usr/sbin/policy-rc.d away"
  mv /usr/sbin/policy-rc.d /usr/sbin/policy-rc.d.container
fi
# man-db's trigger would index every manual page of the machine, minutes in
# an emulated guest; the pages themselves are checked below.
rm -f /var/lib/man-db/auto-update
copy=$(mktemp -d)
cp "$debs"/kellan-suite_*.deb "$debs"/kellan-suite-sims_*.deb "$copy"/
chmod 755 "$copy"; chmod 644 "$copy"/*.deb
# apt resolves the dependencies; without a reachable archive they must be
# installed already, and apt says so rather than downloading.
if ! DEBIAN_FRONTEND=noninteractive apt-get install -y "$copy"/kellan-suite_*.deb \
    "$copy"/kellan-suite-sims_*.deb; then
  echo "apt could not install; trying dpkg -i with the dependencies present"
  check "dpkg -i" dpkg -i "$copy"/kellan-suite_*.deb "$copy"/kellan-suite-sims_*.deb
fi
check "group vorpil exists" getent group vorpil
check "the data files are installed" test -r /usr/share/kellan-suite/VORPIL.inf -a -r /usr/share/kellan-suite/QELTA.html
check "man pages" test -r /usr/share/man/man8/vorpild.8.gz -a -r /usr/share/man/man1/devcon.1.gz
check "no real port-I/O module" bash -c '! dpkg -L kellan-suite kellan-suite-sims | grep -q "/portio\.so$"'

step "service"
check "the installation started vorpild" eventually systemctl is-active --quiet vorpild
systemctl start vorpild
check "vorpild is active" eventually systemctl is-active --quiet vorpild
check "control socket at /run/vorpil" eventually test -S /run/vorpil/control
ls -la /run/vorpil
check "runtime directory belongs to the group" test "$(stat -c %G:%a /run/vorpil)" = "vorpil:750"
check "it starts at boot" systemctl is-enabled --quiet vorpild
execstart=$(systemctl show vorpild -p ExecStart --value)
echo "ExecStart: $execstart"
check "the service picks its front end (--frontend auto)" grep -q -- "--frontend auto" <<<"$execstart"
# Where /dev/cuse opens the service serves character devices: its sandbox
# lets it reach /dev/cuse.
cuse=no
[ -c /dev/cuse ] && cuse=yes
echo "/dev/cuse here: $cuse"
journalctl -u vorpild --no-pager -o cat | grep "front end" || true
if [ $cuse = yes ]; then
  check "the service chose character devices" eventually bash -c 'journalctl -u vorpild -o cat | grep -q "front end cuse"'
else
  check "the service chose pseudo-terminals" eventually bash -c 'journalctl -u vorpild -o cat | grep -q "front end pty"'
fi

step "a device server and COM5"
/usr/bin/devsim --first-address 127.0.0.10 --serial echo -v >/tmp/devsim.out 2>&1 &
devsim=$!
check "devsim listens" eventually grep -q "serial=echo" /tmp/devsim.out
check "devcon install" devcon install /usr/share/kellan-suite/VORPIL.inf 'ZORV\Rure' COM5
check "devcon set" devcon set COM5 --remote 127.0.0.10:5000 --tcp --client --framed
check "devcon connect" devcon connect COM5
devcon status
check "COM5 at the fixed path" test -L /run/vorpil/dev/COM5

step "users"
useradd -M -N -G vorpil vmember 2>/dev/null || usermod -aG vorpil vmember
useradd -M -N vstranger 2>/dev/null || true
talk='import serial, sys
try:
    port = serial.Serial("/run/vorpil/dev/COM5", 115200, timeout=10)
except Exception as error:
    print("refused:", error); sys.exit(3)
port.write(b"ping-through-vorpil")
print(port.read(19).decode())
'
member=$(runuser -u vmember -- /usr/bin/python3 -c "$talk" 2>&1)
echo "member: $member"
check "a member of vorpil talks to the device" test "$member" = "ping-through-vorpil"
stranger=$(runuser -u vstranger -- /usr/bin/python3 -c "$talk" 2>&1)
echo "stranger: $stranger"
check "anyone else is refused" grep -q "refused:.*Permission denied" <<<"$stranger"
status=$(runuser -u vmember -- env -u VORPIL_RUNTIME_DIR devcon status 2>&1)
echo "member's devcon status: $status"
check "a member's devcon finds the service without settings" grep -q "COM5" <<<"$status"
check "a stranger's devcon is refused" bash -c '! runuser -u vstranger -- devcon status >/dev/null 2>&1'
if [ $cuse = yes ]; then
  check "COM5 is the character device /dev/vorpil/COM5" \
    test "$(readlink -f /run/vorpil/dev/COM5)" = /dev/vorpil/COM5 -a -c /dev/vorpil/COM5
  check "which belongs to the group" test "$(stat -c %G:%a /dev/vorpil/COM5)" = "vorpil:660"
  # A program that opens the port as a serial port and sets 7 data bits and
  # even parity, without pyserial (which raises DTR and RTS itself): the
  # open alone raises them, and the device server hears the line with them.
  seven='import fcntl, os, struct, sys, termios
try:
    fd = os.open("/dev/vorpil/COM5", os.O_RDWR | os.O_NOCTTY)
except OSError as error:
    print("refused:", error); sys.exit(3)
lines = struct.unpack("i", fcntl.ioctl(fd, termios.TIOCMGET, bytes(4)))[0]
attrs = termios.tcgetattr(fd)
attrs[0] = attrs[1] = attrs[3] = 0
attrs[2] = termios.CS7 | termios.PARENB | termios.CREAD | termios.CLOCAL | termios.HUPCL
attrs[4] = attrs[5] = termios.B9600
attrs[6][termios.VMIN], attrs[6][termios.VTIME] = 0, 100
termios.tcsetattr(fd, termios.TCSANOW, attrs)
frame = termios.tcgetattr(fd)[2] & (termios.CSIZE | termios.PARENB | termios.PARODD | termios.CSTOPB)
os.write(fd, b"seven-even-one")
got = b""
while len(got) < 14:
    more = os.read(fd, 14 - len(got))
    if not more:
        break
    got += more
os.close(fd)
print(got.decode(), "DTR" if lines & termios.TIOCM_DTR else "no-DTR", "RTS" if lines & termios.TIOCM_RTS else "no-RTS",
      "7E1" if frame == termios.CS7 | termios.PARENB else oct(frame))
'
  member=$(runuser -u vmember -- /usr/bin/python3 -c "$seven" 2>&1)
  echo "member at 7E1: $member"
  check "a member opens /dev/vorpil/COM5 with DTR and RTS raised and talks at 7E1" \
    test "$member" = "seven-even-one DTR RTS 7E1"
  grep "serial 9600 7E1" /tmp/devsim.out | head -3
  check "the device server sees 7E1 with DTR raised" grep -q "serial 9600 7E1 .*DTR on" /tmp/devsim.out
  stranger=$(runuser -u vstranger -- /usr/bin/python3 -c "$seven" 2>&1)
  echo "stranger: $stranger"
  check "anyone else is refused /dev/vorpil/COM5" grep -q "refused:.*Permission denied" <<<"$stranger"
fi

work=$(mktemp -d)
chown vmember "$work"
list=$(cd "$work" && runuser -u vmember -- qelta vsp list --json 2>&1)
echo "member's qelta vsp list: $list"
check "a member's qelta finds its INF file and the service's COM5" grep -q '"COM5"' <<<"$list"
check "and keeps its settings in the working directory" test -s "$work/Qelta.dat"
portio=$(cd "$work" && kellan-mp check-port COM1 --portio portio_boardsim.so 2>&1)
echo "kellan-mp check-port: $portio"
check "kellan-mp finds the simulator's port-I/O module" \
  grep -q "Direct UART access: on (/usr/lib/.*/kellan-suite/portio_boardsim.so" <<<"$portio"

step "hardening"
systemctl show vorpild -p ProtectSystem -p NoNewPrivileges -p CapabilityBoundingSet -p RestrictAddressFamilies
systemd-analyze security vorpild --no-pager | tail -1

step "remove"
kill "$devsim" 2>/dev/null; wait "$devsim" 2>/dev/null
DEBIAN_FRONTEND=noninteractive apt-get remove -y kellan-suite kellan-suite-sims >/dev/null 2>&1 \
  || dpkg -r kellan-suite kellan-suite-sims
check "the service is stopped" bash -c '! systemctl is-active --quiet vorpild'
check "no vorpild process is left" bash -c '! pgrep -x vorpild'
check "the programs are gone" test ! -e /usr/sbin/vorpild

echo "failures: $failures"
[ "$failures" -eq 0 ]
