#!/usr/bin/env bash
# Many TFTP clients at once against "qelta tftp" and against tftpd-hpa
# (in.tftpd) in the same run: N tftp-hpa clients (and N curl clients) fetch
# a 4 MiB file together; wall time until the last one is done, how many
# files arrived whole, and the ratio qelta / in.tftpd. Each case runs
# ROUNDS times (default 3), the two servers taking turns, and the medians
# are compared: on a shared machine one run swings by half. Runs inside a
# private network namespace of its own.
#   bench/tftp/concurrent.sh [BUILD_DIR] [N...]      (default N: 8 32)
set -euo pipefail
usage="usage: bench/tftp/concurrent.sh [BUILD_DIR] [N...]"
case "${1:-}" in
  -h|--help) echo "$usage"; exit 0 ;;
  -*) echo "$(basename "$0"): unknown argument $1" >&2; echo "$usage" >&2; exit 2 ;;
esac
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
shift || true
counts=("$@")
. "$root/bench/whole_number.sh"
for i in "${!counts[@]}"; do counts[i]=$(whole_number N "${counts[i]}" 1 1024) || exit 2; done
[ $# -gt 0 ] || counts=(8 32)
rounds=$(whole_number ROUNDS "${ROUNDS:-3}" 1 100) || exit 2
export ROUNDS=$rounds
if [ "${SUITE_IN_NETNS:-}" != 1 ]; then
  exec "$root/scripts/in-netns.sh" "$0" "$build" "${counts[@]}"
fi
command -v in.tftpd >/dev/null || { echo "in.tftpd (tftpd-hpa) is not installed" >&2; exit 1; }

work=$(mktemp -d)
qelta_pid=
tftpd_pid=
cleanup() {
  [ -n "$qelta_pid" ] && kill -INT "$qelta_pid" 2>/dev/null && wait "$qelta_pid" 2>/dev/null
  [ -n "$tftpd_pid" ] && kill "$tftpd_pid" 2>/dev/null && wait "$tftpd_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
# Both servers serve as nobody: the folder must be readable by it.
chmod 755 "$work"
mkdir "$work/srv" "$work/got"
head -c $((4 << 20)) /dev/urandom >"$work/srv/file4"
chmod -R a+rX "$work/srv"
cp "$build/bin/VORPIL.inf" "$work/"

(cd "$work" && exec "$build/bin/qelta" tftp --dir "$work/srv" >"$work/qelta.log" 2>&1) &
qelta_pid=$!
in.tftpd -4 -L -s "$work/srv" -a :6969 &
tftpd_pid=$!
for _ in $(seq 100); do grep -q "is running" "$work/qelta.log" 2>/dev/null && break; sleep 0.1; done
grep -q "is running" "$work/qelta.log" || { cat "$work/qelta.log" >&2; exit 1; }
sleep 0.2

# Runs N clients of KIND against PORT at once; prints "seconds intact".
together() {
  local kind=$1 port=$2 n=$3 pids=()
  rm -f "$work"/got/*
  local start end intact=0
  start=$(date +%s.%N)
  for i in $(seq "$n"); do
    case $kind in
      tftp) timeout 120 tftp 127.0.0.1 "$port" -m binary -c get file4 "$work/got/$i" >/dev/null 2>&1 & ;;
      curl) timeout 120 curl -sS "tftp://127.0.0.1:$port/file4" -o "$work/got/$i" 2>/dev/null & ;;
    esac
    pids+=($!)
  done
  for pid in "${pids[@]}"; do wait "$pid" || true; done
  end=$(date +%s.%N)
  for i in $(seq "$n"); do cmp -s "$work/got/$i" "$work/srv/file4" && intact=$((intact + 1)); done
  printf '%s %s\n' "$(echo "$end - $start" | bc -l)" "$intact"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

printf '%-6s %4s %18s %18s %8s\n' client N "qelta s (whole)" "in.tftpd s (whole)" ratio
for n in "${counts[@]}"; do
  for kind in tftp curl; do
    qs=() ts=() qw=0 tw=0
    for _ in $(seq "$rounds"); do
      read -r q qi <<<"$(together "$kind" 69 "$n")"
      read -r t ti <<<"$(together "$kind" 6969 "$n")"
      qs+=("$q") ts+=("$t") qw=$((qw + qi)) tw=$((tw + ti))
    done
    q=$(printf '%s\n' "${qs[@]}" | median)
    t=$(printf '%s\n' "${ts[@]}" | median)
    printf '%-6s %4s %9.2f (%3s/%-3s) %9.2f (%3s/%-3s) %8.2f\n' "$kind" "$n" "$q" "$qw" "$((n * rounds))" "$t" "$tw" \
      "$((n * rounds))" "$(echo "$q / $t" | bc -l)"
  done
done
