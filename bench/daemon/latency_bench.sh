#!/usr/bin/env bash
# A vorpild port against a socat pty bridge, side by side in one run: 64-byte
# round trips through an echo server (back to back, and with a pause so the
# write pacing is out of the way), and throughput each way at 921600 baud
# with every byte checked; vorpild with write pacing on (the default) and off.
# Prints each figure and the ratio vorpild / socat (times: above 1 is slower;
# throughput: below 1 is slower). Runs inside a private network namespace.
# VORPILD_FRONTEND=cuse measures the character-device front end instead of
# the pty (needs /dev/cuse: run it in the test machine, scripts/vm-run.sh).
# Usage: bench/daemon/latency_bench.sh [BUILD_DIR] [ROUNDS] [BYTES]
set -euo pipefail
usage="usage: bench/daemon/latency_bench.sh [BUILD_DIR] [ROUNDS] [BYTES]"
. "$(dirname "$0")/arguments.sh"
bench_arguments "$usage" "$@"
rounds=${2:-2000}
bytes=${3:-524288}
tool=$root/bench/daemon/ttybench.py
py=/usr/bin/python3
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
cd "$work"
export VORPIL_RUNTIME_DIR=$work/run

"$bin/vorpild" --foreground --frontend "${VORPILD_FRONTEND:-pty}" --runtime-dir "$VORPIL_RUNTIME_DIR" \
  --state-dir "$work/state" 2> vorpild.err &
for _ in $(seq 100); do [ -S "$VORPIL_RUNTIME_DIR/control" ] && break; sleep 0.1; done
"$bin/devcon" install "$bin/VORPIL.inf" 'ZORV\Rure' COM5 > /dev/null
port=$VORPIL_RUNTIME_DIR/dev/COM5

socat TCP-LISTEN:7001,reuseaddr,fork PIPE &
socat TCP-LISTEN:7002,reuseaddr,fork PIPE &
sleep 0.3
socat PTY,link="$work/bridge",raw,echo=0 TCP:127.0.0.1:7002 &
for _ in $(seq 50); do [ -e "$work/bridge" ] && break; sleep 0.1; done

# COM5 as a raw TCP client of 127.0.0.1:$1, pacing $2.
configure() {
  "$bin/devcon" disconnect COM5 > /dev/null 2>&1 || true
  "$bin/devcon" set COM5 --remote "127.0.0.1:$1" --tcp --client --raw > /dev/null
  "$bin/devcon" set COM5 --pacing "$2" > /dev/null
  "$bin/devcon" connect COM5 > /dev/null
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
field() { awk -v k="$1" '{ for (i = 1; i < NF; ++i) if ($i == k) print $(i + 1) }' <<< "$2"; }

echo "== round trips of 64 bytes, $rounds rounds (microseconds)"
printf '%-28s %-22s %-22s %s\n' "case" "vorpild p50/p99" "socat p50/p99" "ratio p50 p99"
for pacing in on off; do
  configure 7001 "$pacing"
  for pause in 0 2; do
    v=$($py "$tool" rtt "$port" "$rounds" "$pause")
    s=$($py "$tool" rtt "$work/bridge" "$rounds" "$pause")
    label="pacing $pacing, $([ "$pause" = 0 ] && echo back to back || echo "pause ${pause} ms")"
    printf '%-28s %-22s %-22s %s %s\n' "$label" "$(field p50 "$v")/$(field p99 "$v")" \
      "$(field p50 "$s")/$(field p99 "$s")" "$(ratio "$(field p50 "$v")" "$(field p50 "$s")")" \
      "$(ratio "$(field p99 "$v")" "$(field p99 "$s")")"
  done
done

# Starts the measuring side listening on $2, then runs "$3" to connect a
# terminal to it; prints the result line.
measure() {
  local mode=$1 listen=$2 connect=$3 path=$4
  $py "$tool" "$mode" "$path" "$listen" "$bytes" > "$work/result" 2>&1 &
  local pid=$!
  for _ in $(seq 100); do grep -q listening "$work/result" && break; sleep 0.05; done
  eval "$connect"
  wait "$pid" || true
  grep -v listening "$work/result"
}

echo
echo "== throughput of $bytes bytes at 921600 baud (KiB/s, every byte checked)"
printf '%-28s %-22s %-22s %s\n' "case" "vorpild" "socat" "ratio"
listen=7100
for pacing in on off; do
  for mode in tx rx; do
    listen=$((listen + 1))
    v=$(measure "$mode" "$listen" "configure $listen $pacing" "$port")
    listen=$((listen + 1))
    rm -f "$work/bridge2"
    s=$(measure "$mode" "$listen" \
      "socat PTY,link=$work/bridge2,raw,echo=0 TCP:127.0.0.1:$listen & for _ in \$(seq 50); do [ -e $work/bridge2 ] && break; sleep 0.05; done" \
      "$work/bridge2")
    label="pacing $pacing, $([ "$mode" = tx ] && echo program to network || echo network to program)"
    printf '%-28s %-22s %-22s %s\n' "$label" "$v" "$s" "$(ratio "${v%% *}" "${s%% *}")"
  done
done
