#!/usr/bin/env bash
# Throughput of "qelta tftp" against tftpd-hpa (in.tftpd) in the same run,
# with the same client (busybox tftp): a 30 MiB file at block sizes 512 and
# 1468, five fetches each, median wall time and the ratio qelta / in.tftpd.
# Runs inside a private network namespace of its own.
#   bench/tftp/tftp_bench.sh [BUILD_DIR]
set -euo pipefail
usage="usage: bench/tftp/tftp_bench.sh [BUILD_DIR]"
case "${1:-}" in
  -h|--help) echo "$usage"; exit 0 ;;
  -*) echo "$(basename "$0"): unknown argument $1" >&2; echo "$usage" >&2; exit 2 ;;
esac
if [ $# -gt 1 ]; then echo "$usage" >&2; exit 2; fi
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
if [ "${SUITE_IN_NETNS:-}" != 1 ]; then
  exec "$root/scripts/in-netns.sh" "$0" "$build"
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
mkdir "$work/srv"
head -c $((30 << 20)) /dev/urandom >"$work/srv/file30"
cp "$build/bin/VORPIL.inf" "$work/"

(cd "$work" && exec "$build/bin/qelta" tftp --dir "$work/srv" >"$work/qelta.log" 2>&1) &
qelta_pid=$!
# in.tftpd resolves a bind address with AI_ADDRCONFIG, which finds nothing
# where only loopback is up: it listens on every address of the namespace.
in.tftpd -4 -L -u root -s "$work/srv" -a :6969 &
tftpd_pid=$!
for _ in $(seq 100); do grep -q "is running" "$work/qelta.log" 2>/dev/null && break; sleep 0.1; done
grep -q "is running" "$work/qelta.log" || { cat "$work/qelta.log" >&2; exit 1; }
sleep 0.2

# Prints the median wall time in seconds of five fetches from PORT with BLKSIZE.
median() {
  local port=$1 blksize=$2 times=()
  for _ in 1 2 3 4 5; do
    rm -f "$work/got"
    local start end
    start=$(date +%s.%N)
    busybox tftp -b "$blksize" -g -r file30 -l "$work/got" 127.0.0.1 "$port" 2>"$work/client.err" || cat "$work/client.err" >&2
    end=$(date +%s.%N)
    cmp -s "$work/got" "$work/srv/file30" || { echo "port $port blksize $blksize: file differs" >&2; cat "$work/qelta.log" >&2; exit 1; }
    times+=("$(echo "$end - $start" | bc -l)")
  done
  printf '%s\n' "${times[@]}" | sort -n | sed -n 3p
}

printf '%-8s %12s %12s %8s\n' blksize "qelta (s)" "in.tftpd (s)" ratio
for blksize in 512 1468; do
  q=$(median 69 "$blksize")
  t=$(median 6969 "$blksize")
  printf '%-8s %12.3f %12.3f %8.2f\n' "$blksize" "$q" "$t" "$(echo "$q / $t" | bc -l)"
done
