#!/usr/bin/env bash
# Runs the command examples of README.md as they are written, in a private
# network and mount namespace: device servers are devsim's at 192.168.0.7 and
# .8 on this namespace's loopback, /tmp and /srv are private, and
# "build/bin" is the built programs. An example passes when its arguments are
# taken (never status 2, never a usage text on stderr) and, where it talks to
# a device or the driver host, when it succeeds.
# usage: readme_examples.sh README BINDIR   (as root; ctest runs it)
set -u
readme=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
bin=$(cd "$2" && pwd)
if [ "${README_EXAMPLES_INSIDE:-}" != 1 ]; then
  exec env README_EXAMPLES_INSIDE=1 unshare -n -m --propagation private -- bash "$0" "$@"
fi
mkdir -p /srv
mount -t tmpfs tmpfs /tmp && mount -t tmpfs tmpfs /srv || exit 1
mkdir -p /srv/fw && echo "VERSION=2.0" >/srv/fw/zv.bin
ip link set lo up
ip route add 224.0.0.0/4 dev lo 2>/dev/null
for address in 192.168.0.2 192.168.0.7 192.168.0.8 192.0.2.1; do
  ip addr add "$address/24" dev lo
done

work=$(mktemp -d)
mkdir -p "$work/build"
ln -s "$bin" "$work/build/bin"
cp "$bin/VORPIL.inf" "$bin/KESTRIL.inf" "$work/"
cd "$work" || exit 1
# Devices that come back from a restart at once, so that one example's
# reboot does not hide the device from the next; and a data port at
# 192.168.0.2:5000 for the port devcon connects.
"$bin/devsim" --devices 2 --first-address 192.168.0.7 --http-port 0 --reboot-time 0.2 >devsim.out 2>devsim.err &
socat TCP-LISTEN:5000,bind=192.168.0.2,reuseaddr,fork EXEC:cat >/dev/null 2>&1 &
trap 'kill $(jobs -p) 2>/dev/null; wait 2>/dev/null' EXIT
for _ in $(seq 50); do [ "$(wc -l <devsim.out)" -ge 2 ] && break; sleep 0.1; done

# The examples, one command each: indented "build/bin/..." lines, split at
# "; ", without their comments. The window's own (no command) and the lines
# that show an option's form in brackets are not commands to run.
examples=$(grep -E '^    (build/bin/|export )' "$readme" | sed -e 's/^    //' -e 's/  *# .*$//' \
  | sed 's/; /\n/g' | grep -vE '^build/bin/(qelta|kellan-mp)( --portio [^ ]+| --screenshots DIR)?$' | grep -v '\[')
# The driver host first: the virtual serial port examples need it too.
examples=$(grep -E '^export |&$' <<<"$examples"; grep -vE '^export |&$' <<<"$examples")

failures=0
# The examples that talk to a device or the driver host must succeed.
must_succeed='^build/bin/(qelta (search|setup|monitor .*--cycles|restore|reboot|startup|vsp (list|add|set|connect|close|remove))|devcon)'
while IFS= read -r example; do
  [ -n "$example" ] || continue
  case "$example" in
    export\ *) eval "$example"; continue ;;
    *' &') eval "${example% &} >vorpild.out 2>&1 &"; sleep 1; continue ;;
  esac
  # Servers and terminals run until interrupted; a few seconds show they
  # started. The device sequences take their countdowns.
  limit=8
  [[ "$example" =~ $must_succeed ]] && limit=90
  timeout -s INT $limit bash -c "$example" </dev/null >example.out 2>example.err
  status=$?
  sleep 0.5
  verdict=ok
  # Every refusal of an argument shows the usage; a status 2 without it is a
  # documented outcome (kellan-mp run without Option.dat).
  if [ $status -eq 126 ] || [ $status -eq 127 ] || grep -q '^usage: ' example.err; then
    verdict=refused
  elif [[ "$example" =~ $must_succeed ]] && [ $status -ne 0 ]; then
    verdict=failed
  fi
  echo "$verdict ($status): $example"
  if [ $verdict != ok ]; then
    failures=$((failures + 1))
    sed 's/^/    /' example.err | head -20
  fi
done <<<"$examples"
echo "$failures failed"
[ $failures -eq 0 ]
