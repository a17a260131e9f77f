#!/usr/bin/env bash
# A vorpild port speaking RFC 2217, against socat's RFC 2217-free pty bridge
# and against pyserial's rfc2217 client, in one run: 64-byte round trips
# through an echo at the far end of the line, and the time to echo BYTES
# (every byte value, every byte checked). The RFC 2217 server is ser2net in
# front of a socat pty whose other end echoes; the bridge talks to a plain
# TCP echo. Unpaced writes. Prints each figure and the ratios vorpild / other
# (above 1 is slower). Runs inside a private network namespace.
# Usage: bench/daemon/rfc2217_bench.sh [BUILD_DIR] [ROUNDS] [BYTES]
set -euo pipefail
usage="usage: bench/daemon/rfc2217_bench.sh [BUILD_DIR] [ROUNDS] [BYTES]"
. "$(dirname "$0")/arguments.sh"
bench_arguments "$usage" "$@"
rounds=${2:-2000}
bytes=${3:-1048576}
py=/usr/bin/python3
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
cd "$work"
export VORPIL_RUNTIME_DIR=$work/run

# ser2net resolves its accepter with AI_ADDRCONFIG; a documentation address on lo satisfies it.
ip addr add 192.0.2.1/32 dev lo 2>/dev/null || true
socat PTY,link="$work/line",rawer PIPE &
socat TCP-LISTEN:7002,reuseaddr,fork PIPE &
sleep 0.3
for _ in $(seq 50); do [ -e "$work/line" ] && break; sleep 0.1; done
cat > ser2net.yaml <<EOT
connection: &line
  accepter: telnet(rfc2217),tcp,127.0.0.1,7001
  connector: serialdev,$work/line,921600n81,local
  options:
    kickolduser: true
EOT
ser2net -n -c ser2net.yaml 2> ser2net.err &
socat PTY,link="$work/bridge",raw,echo=0 TCP:127.0.0.1:7002 &
"$bin/vorpild" --foreground --runtime-dir "$VORPIL_RUNTIME_DIR" --state-dir "$work/state" 2> vorpild.err &
for _ in $(seq 100); do [ -S "$VORPIL_RUNTIME_DIR/control" ] && [ -e "$work/bridge" ] && break; sleep 0.1; done
"$bin/devcon" install "$bin/VORPIL.inf" 'ZORV\Rure' COM5 > /dev/null
"$bin/devcon" set COM5 --remote 127.0.0.1:7001 --tcp --client --raw --protocol rfc2217 --pacing off > /dev/null
for _ in $(seq 50); do "$bin/devcon" connect COM5 > /dev/null 2>&1 && break; sleep 0.1; done

# One client: "rtt" or "echo"; a path, or rfc2217://HOST:PORT for pyserial's client.
cat > measure.py <<'EOT'
import os, random, sys, termios, threading, time, tty
mode, target, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
if target.startswith("rfc2217://"):
    import serial
    port = serial.serial_for_url(target, baudrate=921600, timeout=5)
    write, read = port.write, lambda n: port.read(n)
else:
    fd = os.open(target, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)
    attributes = termios.tcgetattr(fd)
    attributes[4] = attributes[5] = termios.B921600
    termios.tcsetattr(fd, termios.TCSANOW, attributes)
    def write(data):
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view):]
    read = lambda n: os.read(fd, n)
def exactly(n):
    data = bytearray()
    while len(data) < n:
        chunk = read(n - len(data))
        if not chunk:
            raise RuntimeError("nothing came")
        data += chunk
    return bytes(data)
if mode == "rtt":
    message = bytes(range(192, 256))  # 0xFF among them
    times = []
    for i in range(count + 20):
        start = time.perf_counter_ns()
        write(message)
        if exactly(len(message)) != message:
            raise RuntimeError("echo differs")
        if i >= 20:
            times.append((time.perf_counter_ns() - start) / 1000)
    times.sort()
    print("p50 %.0f p99 %.0f" % (times[len(times) // 2], times[len(times) * 99 // 100]))
else:
    data = random.Random(3).randbytes(count)
    start = time.perf_counter()
    sender = threading.Thread(target=lambda: [write(data[i:i + 4096]) for i in range(0, count, 4096)])
    sender.start()
    back = exactly(count)
    sender.join()
    seconds = time.perf_counter() - start
    if back != data:
        raise RuntimeError("echo differs")
    print("kibps %.0f" % (count / 1024 / seconds))
EOT
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
field() { awk -v k="$1" '{ for (i = 1; i < NF; ++i) if ($i == k) print $(i + 1) }' <<< "$2"; }
port=$VORPIL_RUNTIME_DIR/dev/COM5
# ser2net cannot set a pty's DTR and leaves SET-CONTROL unanswered.
pyurl="rfc2217://127.0.0.1:7001?ign_set_control"

echo "== round trips of 64 bytes, $rounds rounds (microseconds p50/p99)"
"$bin/devcon" disconnect COM5 > /dev/null
p=$($py measure.py rtt "$pyurl" "$rounds")
"$bin/devcon" connect COM5 > /dev/null
v=$($py measure.py rtt "$port" "$rounds")
s=$($py measure.py rtt "$work/bridge" "$rounds")
printf '%-34s %s/%s\n' "vorpild rfc2217 (ser2net)" "$(field p50 "$v")" "$(field p99 "$v")"
printf '%-34s %s/%s\n' "socat bridge (raw TCP echo)" "$(field p50 "$s")" "$(field p99 "$s")"
printf '%-34s %s/%s\n' "pyserial rfc2217 client (ser2net)" "$(field p50 "$p")" "$(field p99 "$p")"
echo "ratio vorpild/socat p50 $(ratio "$(field p50 "$v")" "$(field p50 "$s")") p99 $(ratio "$(field p99 "$v")" "$(field p99 "$s")")"
echo "ratio vorpild/pyserial p50 $(ratio "$(field p50 "$v")" "$(field p50 "$p")") p99 $(ratio "$(field p99 "$v")" "$(field p99 "$p")")"

echo
echo "== echo of $bytes bytes (KiB/s, every byte checked; below 1 is slower)"
v=$($py measure.py echo "$port" "$bytes")
s=$($py measure.py echo "$work/bridge" "$bytes")
"$bin/devcon" disconnect COM5 > /dev/null
p=$($py measure.py echo "$pyurl" "$bytes")
printf '%-34s %s\n' "vorpild rfc2217 (ser2net)" "$(field kibps "$v")"
printf '%-34s %s\n' "socat bridge (raw TCP echo)" "$(field kibps "$s")"
printf '%-34s %s\n' "pyserial rfc2217 client (ser2net)" "$(field kibps "$p")"
echo "ratio vorpild/socat $(ratio "$(field kibps "$v")" "$(field kibps "$s")")"
echo "ratio vorpild/pyserial $(ratio "$(field kibps "$v")" "$(field kibps "$p")")"
