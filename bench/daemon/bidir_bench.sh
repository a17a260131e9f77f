#!/usr/bin/env bash
# BYTES (default 20 MiB) each way at once between a program on a vorpild port
# and the device at the far end, every byte checked, through: a simulated
# device server (devsim) framed and raw, a scripted RFC 2217 server, and
# ser2net (RFC 2217) in front of a socat pty pair, and a scripted raw device;
# beside them, in the same run, socat as a plain pty-to-TCP bridge on the same
# paths where it can (devsim's raw port, ser2net's line as plain TCP, the
# scripted raw device). Unpaced writes. Prints for each: seconds each way,
# the longest stall each way (no byte moving in that direction while it was
# not done), whether every byte arrived intact, and the throughput ratio
# vorpild / socat each way (above 1 is faster than socat); at the end the
# medians over the runs. Runs inside a private network namespace.
# Usage: bench/daemon/bidir_bench.sh [BUILD_DIR] [ROUNDS] [BYTES]  (ROUNDS: runs of each case, default 1)
set -euo pipefail
usage="usage: bench/daemon/bidir_bench.sh [BUILD_DIR] [ROUNDS] [BYTES]"
. "$(dirname "$0")/arguments.sh"
bench_arguments "$usage" "$@"
rounds=${2:-1}
bytes=${3:-20971520}
py=/usr/bin/python3
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
cd "$work"
export VORPIL_RUNTIME_DIR=$work/run

# One end of a transfer: sends BYTES of one seed's bytes and checks BYTES of
# the other's, at once. Where: a pty path, "listen:PORT" (a raw TCP device,
# one connection) or "rfc2217:PORT" (an RFC 2217 server, one connection).
# Says "ready" once open (or connected) and starts when the file GO exists,
# so that no byte goes out before both ends are there (a port nobody has
# open keeps only the newest bytes, by rule).
cat > end.py <<'EOT'
import os, random, socket, sys, threading, time, tty
where, send_seed, receive_seed, size, go = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
hold = sys.argv[6:] == ["device"]  # the device's end stays until the program's has left
outgoing = random.Random(send_seed).randbytes(size)
expected = random.Random(receive_seed).randbytes(size)
IAC, SB, SE = 255, 250, 240
telnet = where.startswith("rfc2217:")
if where.startswith("listen:") or telnet:
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", int(where.split(":")[1])))
    listener.listen(1)
    print("listening", flush=True)
    conn, _ = listener.accept()
    if telnet:
        conn.sendall(bytes([IAC, 253, 0, IAC, 251, 0, IAC, 253, 3, IAC, 251, 3, IAC, 253, 44]))
    write, read = conn.send, lambda n: conn.recv(n)
else:
    fd = os.open(where, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)
    write, read = (lambda b: os.write(fd, b)), (lambda n: os.read(fd, n))
print("ready", flush=True)
while not os.path.exists(go):
    time.sleep(0.005)
start = time.monotonic()
result = {}
def send():
    data = outgoing.replace(b"\xff", b"\xff\xff") if telnet else outgoing
    view, last, stall = memoryview(data), time.monotonic(), 0.0
    while view:
        view = view[write(view[:65536]):]
        now = time.monotonic()
        stall, last = max(stall, now - last), now
    result["sent"], result["send_stall"] = now, stall
def receive():
    got, last, stall = bytearray(), time.monotonic(), 0.0
    state, pending = 0, bytearray()  # telnet: 0 data, 1 after IAC, 2 option byte, 3 in SB, 4 IAC in SB
    while len(got) < size:
        chunk = read(65536)
        if not chunk:
            break
        now = time.monotonic()
        stall, last = max(stall, now - last), now
        if not telnet:
            got += chunk
            continue
        at = 0
        while at < len(chunk):
            if state == 0:
                # Runs without IAC are taken whole.
                iac = chunk.find(b"\xff", at)
                got += chunk[at:] if iac < 0 else chunk[at:iac]
                if iac < 0:
                    break
                state, at = 1, iac + 1
                continue
            byte = chunk[at]
            at += 1
            if state == 1:
                if byte == IAC: got.append(IAC); state = 0
                elif byte == SB: state = 3
                elif byte in (251, 252, 253, 254): state = 2
                else: state = 0
            elif state == 2: state = 0
            elif state == 3:
                if byte == IAC: state = 4
            elif state == 4: state = 0 if byte == SE else 3
    result["received"], result["receive_stall"] = time.monotonic(), stall
    result["intact"] = bytes(got[:size]) == expected
threads = [threading.Thread(target=send), threading.Thread(target=receive)]
for t in threads: t.start()
for t in threads: t.join()
print("start=%.6f sent=%.6f received=%.6f send_stall=%.3f receive_stall=%.3f intact=%s" % (start,
      result["sent"], result["received"], result["send_stall"], result["receive_stall"], result["intact"]), flush=True)
if hold and not (where.startswith("listen:") or telnet):
    # A device's terminal that closes may take with it what the bridge has
    # not read yet: it stays open until the program has left too.
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and not os.path.exists(go + ".done"):
        time.sleep(0.05)
if where.startswith("listen:") or telnet:
    # A bridge that sees this end leave drops what it still holds for the
    # program: this end stays until the program has left.
    # The program's end says it has left by the file GO.done.
    conn.settimeout(0.1)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and not os.path.exists(go + ".done"):
        try:
            if not conn.recv(65536):
                break
        except socket.timeout:
            pass
        except OSError:
            break
EOT

field() { tr ' ' '\n' <<< "$1" | sed -n "s/^$2=//p"; }
wait_line() { for _ in $(seq 600); do [ -s "$1" ] && return 0; sleep 0.05; done; echo "no start: $1" >&2; return 1; }

# One transfer: the device end (given as for end.py) started first, then the
# program on PATH. Prints "to_device_s from_device_s stall_out stall_in intact".
transfer() { # device path [COM to connect once the device listens, before the program opens]
  local device=$1 path=$2 com=${3:-}
  rm -f device.out program.out go go.done
  # Each end is bounded: a transfer that stops moving ends as failed.
  timeout 600 $py end.py "$device" 2 1 "$bytes" go device > device.out &
  local dpid=$!
  wait_line device.out
  # A port a program holds cannot be connected (one open at a time), so a
  # listening device's port is connected before the program opens it.
  [ -z "$com" ] || connect "$com"
  timeout 600 $py end.py "$path" 1 2 "$bytes" go > program.out &
  local ppid=$!
  for _ in $(seq 600); do
    grep -q ready device.out && grep -q ready program.out && break
    sleep 0.05
  done
  touch go
  local failed=0
  wait $ppid || failed=1
  touch go.done
  wait $dpid || failed=1
  if [ $failed = 1 ]; then echo "failed"; return; fi
  local d p
  d=$(tail -1 device.out)
  p=$(tail -1 program.out)
  $py - "$d" "$p" <<'EOT'
import sys
def parse(line): return dict(item.split("=") for item in line.split())
d, p = parse(sys.argv[1]), parse(sys.argv[2])
start = min(float(d["start"]), float(p["start"]))
to_device = float(d["received"]) - start
from_device = float(p["received"]) - start
stall_out = max(float(p["send_stall"]), float(d["receive_stall"]))
stall_in = max(float(d["send_stall"]), float(p["receive_stall"]))
intact = d["intact"] == "True" and p["intact"] == "True"
print("%.3f %.3f %.3f %.3f %s" % (to_device, from_device, stall_out, stall_in, intact))
EOT
}

# ser2net resolves its accepter with AI_ADDRCONFIG; a documentation address on lo satisfies it.
ip addr add 192.0.2.1/32 dev lo 2>/dev/null || true
# The third device, raw too, is socat's.
"$bin/devsim" --devices 3 --first-address 127.0.1.1 --framing 2=off --framing 3=off > devsim.out 2> devsim.err &
for _ in $(seq 300); do [ "$(grep -c . devsim.out || true)" -ge 3 ] && break; sleep 0.1; done
framed_pty=$(sed -n '1s/.* serial=\([^ ]*\).*/\1/p' devsim.out)
raw_pty=$(sed -n '2s/.* serial=\([^ ]*\).*/\1/p' devsim.out)
socat_raw_pty=$(sed -n '3s/.* serial=\([^ ]*\).*/\1/p' devsim.out)
# Two lines: one behind ser2net's RFC 2217 port, one behind its plain port.
for line in line plain; do
  socat PTY,link="$work/$line-server",rawer PTY,link="$work/$line-device",rawer &
  for _ in $(seq 50); do [ -e "$work/$line-device" ] && break; sleep 0.1; done
done
cat > ser2net.yaml <<EOT
connection: &line
  accepter: telnet(rfc2217),tcp,127.0.0.1,7001
  connector: serialdev,$work/line-server,115200n81,local
  options:
    kickolduser: true
# A line of its own as a plain TCP port, for socat.
connection: &plain
  accepter: tcp,127.0.0.1,7004
  connector: serialdev,$work/plain-server,115200n81,local
  options:
    kickolduser: true
EOT
ser2net -n -c ser2net.yaml 2> ser2net.err &
"$bin/vorpild" --foreground --runtime-dir "$VORPIL_RUNTIME_DIR" --state-dir "$work/state" 2> vorpild.err &
for _ in $(seq 100); do [ -S "$VORPIL_RUNTIME_DIR/control" ] && break; sleep 0.1; done
dev=$VORPIL_RUNTIME_DIR/dev
install() { # COM, devcon set arguments...
  local com=$1
  shift
  "$bin/devcon" install "$bin/VORPIL.inf" 'ZORV\Rure' "$com" > /dev/null
  "$bin/devcon" set "$com" "$@" --tcp --client --pacing off > /dev/null
}
install COM5 --remote 127.0.1.1:5000 --framed
install COM6 --remote 127.0.1.2:5000 --raw
install COM7 --remote 127.0.0.1:7101 --raw --protocol rfc2217
install COM8 --remote 127.0.0.1:7001 --raw --protocol rfc2217
install COM9 --remote 127.0.0.1:7003 --raw
for com in COM5 COM6 COM8; do
  for _ in $(seq 50); do "$bin/devcon" connect $com > /dev/null 2>&1 && break; sleep 0.1; done
done

printf 'bytes each way: %d, runs of each: %d\n' "$bytes" "$rounds"
printf '%-22s %9s %9s %9s %9s %7s %8s %8s\n' case out_s in_s stall_out stall_in intact out/ref in/ref
# Each vorpild case against socat on the same path where socat can take it
# (a plain pty-to-TCP bridge speaks neither the framing nor telnet): the
# framed devsim port against socat on devsim's raw port, the scripted RFC 2217
# server against socat to the scripted raw device.
declare -A reference=([vorpild devsim framed]="socat devsim raw" [vorpild devsim raw]="socat devsim raw"
  [vorpild ser2net]="socat ser2net" [vorpild rfc2217 script]="socat script" [vorpild raw script]="socat script")
declare -A out_s in_s all_out all_in
run_case() { # name device path [COM to connect]
  local name=$1 device=$2 path=$3 line
  line=$(transfer "$device" "$path" "${4:-}")
  if [ "$line" = failed ]; then printf '%-22s failed\n' "$name"; return; fi
  read -r o i so si ok <<< "$line"
  out_s[$name]=$o
  in_s[$name]=$i
  all_out[$name]+="$o "
  all_in[$name]+="$i "
  local ro="-" ri="-" ref=${reference[$name]:-}
  if [ -n "$ref" ] && [ -n "${out_s[$ref]:-}" ]; then
    ro=$(awk -v s="${out_s[$ref]}" -v v="$o" 'BEGIN { printf "%.2f", s / v }')
    ri=$(awk -v s="${in_s[$ref]}" -v v="$i" 'BEGIN { printf "%.2f", s / v }')
  fi
  printf '%-22s %9s %9s %9s %9s %7s %8s %8s\n' "$name" "$o" "$i" "$so" "$si" "$ok" "$ro" "$ri"
}
# socat as a bridge from a pty to TCP, for one case: name device address.
socat_case() {
  local name=$1 device=$2 address=$3 link=$work/bridge
  local bridge
  # A line just let go of may refuse a connection for a moment: socat then
  # leaves at once, and is started again.
  for _ in $(seq 50); do
    rm -f "$link"
    socat PTY,link="$link",raw,echo=0 TCP:"$address",retry=50,interval=0.1 &
    bridge=$!
    sleep 0.2
    [ -e "$link" ] && kill -0 $bridge 2> /dev/null && break
    wait $bridge 2> /dev/null || true
  done
  run_case "$name" "$device" "$link"
  # socat leaves when its connection ends.
  kill $bridge 2> /dev/null || true
  wait $bridge 2> /dev/null || true
}
connect() { for _ in $(seq 50); do "$bin/devcon" connect "$1" > /dev/null 2>&1 && return; sleep 0.1; done; }
for _ in $(seq "$rounds"); do
  socat_case "socat script" listen:7002 127.0.0.1:7002
  socat_case "socat devsim raw" "$socat_raw_pty" 127.0.1.3:5000
  socat_case "socat ser2net" "$work/plain-device" 127.0.0.1:7004
  run_case "vorpild devsim framed" "$framed_pty" "$dev/COM5"
  run_case "vorpild devsim raw" "$raw_pty" "$dev/COM6"
  # The scripted servers listen before their ports connect.
  run_case "vorpild rfc2217 script" rfc2217:7101 "$dev/COM7" COM7
  run_case "vorpild ser2net" "$work/line-device" "$dev/COM8"
  # The same scripted raw device as socat's.
  run_case "vorpild raw script" listen:7003 "$dev/COM9" COM9
done
# The median of the runs of each case, and its ratio to its reference's median.
median() { tr ' ' '\n' <<< "$1" | grep . | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
echo "medians over $rounds runs (ratio above 1: faster than the reference)"
for name in "socat script" "socat devsim raw" "socat ser2net" "vorpild devsim framed" "vorpild devsim raw" \
  "vorpild rfc2217 script" "vorpild ser2net" "vorpild raw script"; do
  [ -n "${all_out[$name]:-}" ] || continue
  o=$(median "${all_out[$name]}")
  i=$(median "${all_in[$name]}")
  ref=${reference[$name]:-}
  ro="-" ri="-"
  if [ -n "$ref" ] && [ -n "${all_out[$ref]:-}" ]; then
    ro=$(awk -v s="$(median "${all_out[$ref]}")" -v v="$o" 'BEGIN { printf "%.2f", s / v }')
    ri=$(awk -v s="$(median "${all_in[$ref]}")" -v v="$i" 'BEGIN { printf "%.2f", s / v }')
  fi
  printf '%-22s %9s %9s %8s %8s\n' "$name" "$o" "$i" "$ro" "$ri"
done
"$bin/devcon" status | grep '^terminal' || true
