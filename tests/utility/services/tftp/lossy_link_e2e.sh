#!/usr/bin/env bash
# qelta tftp over a link that loses 2% of the packets each way and delays
# them 5 ms, fetched by TFTP clients from Debian in a namespace of their own:
# every file arrives whole. The link is a veth pair; its loss and delay come
# from tc netem on both ends. Where this kernel has no netem, netfilter stands
# in for it: on each end a random drop of 2% of what arrives (iptables
# -m statistic), then a queue whose packets tests/support/link_delay holds
# 5 ms each. Both ways the peers are the real programs, unchanged. Without
# either, the series runs in a guest (scripts/vm-run.sh).
# Usage: lossy_link_e2e.sh QELTA_BINARY_DIR [COUNT] [SIZE...]
#   COUNT transfers per client and block size (default 1), of each SIZE in
#   bytes (default 131072). Must run as root inside a private namespace.
#   LOSSY_SERVERS="qelta in.tftpd" runs the same series against tftpd-hpa
#   on the same link too (default: qelta only); LOSSY_SIDE_BY_SIDE=1 starts
#   the COUNT transfers of one client at once instead of one after another;
#   LOSSY_CLIENTS picks clients by name ("curl 1468|atftp 512"; default all);
#   LOSSY_LIMIT is each transfer's limit in seconds (default 3000: curl at
#   512 bytes a block paces itself and needs about 90 min for 8 MiB here).
set -euo pipefail
bin=$(cd "$1" && pwd)
count=${2:-1}
shift $(( $# > 1 ? 2 : 1 ))
sizes=("${@:-131072}")
[ ${#sizes[@]} -gt 0 ] || sizes=(131072)

root=$(cd "$(dirname "$0")/../../../.." && pwd)
# netem (and veth) are kernel modules; where this kernel has none, netfilter
# and link_delay stand in, or the test runs in a guest with Debian's kernel,
# or is skipped when none can start.
modprobe -q sch_netem 2>/dev/null || true
modprobe -q veth 2>/dev/null || true
impairment=
if ip link add nprobe type veth peer name nprobe1 2>/dev/null; then
  if tc qdisc add dev nprobe root netem delay 1ms 2>/dev/null; then
    impairment=netem
  elif [ -x "$bin/link_delay" ] && command -v iptables >/dev/null \
    && iptables -w -t mangle -A PREROUTING -i nprobe -m statistic --mode random --probability 0.02 -j DROP 2>/dev/null \
    && iptables -w -t mangle -A PREROUTING -i nprobe -j NFQUEUE --queue-num 0 2>/dev/null; then
    impairment=netfilter
    iptables -w -t mangle -F PREROUTING
  fi
  ip link del nprobe
fi
if [ -z "$impairment" ]; then
  [ "${SUITE_IN_GUEST:-}" = 1 ] && { echo "netem is missing in the guest too"; exit 1; }
  echo "neither tc netem nor iptables with link_delay is available here: running in a guest (scripts/vm-run.sh)"
  status=0
  # (The checkout and the build may lie under /tmp or /run, which the guest
  # has fresh: both are shown to it.)
  "$root/scripts/vm-run.sh" --timeout 3000 --mem 1024 --show "$root" --show "$bin" -- env SUITE_IN_GUEST=1 bash -c \
    'modprobe sch_netem && modprobe veth && ip link set lo up && exec "$@"' bash "$0" "$bin" "$count" "${sizes[@]}" \
    || status=$?
  [ "$status" = 125 ] && { echo "no guest could be started: skipped"; exit 77; }
  exit "$status"
fi
echo "link: 2% loss and 5 ms delay each way by $impairment"

work=$(mktemp -d)
holder=
server=
delays=()
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null || true
  for pid in "${delays[@]}"; do kill "$pid" 2>/dev/null || true; done
  [ -n "$holder" ] && kill "$holder" 2>/dev/null || true
  ip link del tsrv 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
chmod 755 "$work"
cp "$bin/VORPIL.inf" "$work/"
mkdir "$work/srv" "$work/got"

ip link add tsrv type veth peer name tcli
ip addr add 192.0.2.1/24 dev tsrv
ip link set tsrv up
unshare -n -- sleep 3600 &
holder=$!
for _ in $(seq 100); do
  [ "$(readlink /proc/$holder/ns/net)" != "$(readlink /proc/self/ns/net)" ] && break
  sleep 0.05
done
ip link set tcli netns "$holder"
inclient() { nsenter -t "$holder" -n -- "$@"; }
inclient ip link set lo up
inclient ip addr add 192.0.2.2/24 dev tcli
inclient ip link set tcli up
# Loses 2% and delays 5 ms what DEV sends (netem), or what arrives on DEV
# (netfilter: a drop on the way out would be an error the sender sees,
# which a lossy link never gives). NS: the pid of a process in DEV's
# namespace, or "" for this one.
impair() {
  local ns=$1 dev=$2
  local run=()
  [ -z "$ns" ] || run=(nsenter -t "$ns" -n --)
  if [ "$impairment" = netem ]; then
    "${run[@]}" tc qdisc add dev "$dev" root netem loss 2% delay 5ms
    return
  fi
  "${run[@]}" iptables -w -t mangle -A PREROUTING -i "$dev" -m statistic --mode random --probability 0.02 -j DROP
  "${run[@]}" iptables -w -t mangle -A PREROUTING -i "$dev" -j NFQUEUE --queue-num 0
  "${run[@]}" "$bin/link_delay" --queue 0 --delay-ms 5 > "$work/delay-$dev.out" &
  delays+=($!)
  for _ in $(seq 100); do grep -q ready "$work/delay-$dev.out" && return; sleep 0.05; done
  echo "link_delay did not start on $dev" >&2
  return 1
}
impair "" tsrv
impair "$holder" tcli

for size in "${sizes[@]}"; do
  head -c "$size" /dev/urandom > "$work/srv/f$size"
done
chmod -R a+rX "$work/srv"

cd "$work"
# Starts SERVER on 192.0.2.1 port 69, serving srv/.
start_server() {
  case $1 in
    qelta)
      "$bin/qelta" --local 192.0.2.1 tftp --dir "$work/srv" > qelta.out 2> qelta.err &
      server=$!
      for _ in $(seq 100); do grep -q "is running" qelta.out && break; sleep 0.05; done
      grep -q "TFTP server @ 192.0.2.1 is running on UDP port 69 successfully." qelta.out \
        || { cat qelta.out qelta.err >&2; return 1; } ;;
    in.tftpd)
      in.tftpd -4 -L -s "$work/srv" -a 192.0.2.1:69 &
      server=$!
      sleep 0.3 ;;
  esac
}

clients=(
  "tftp-hpa 512|tftp 192.0.2.1 -m binary -c get %R %L"
  "curl 512|curl -sS tftp://192.0.2.1/%R -o %L"
  "curl 1468|curl -sS --tftp-blksize 1468 tftp://192.0.2.1/%R -o %L"
  "atftp 512|atftp -g -r %R -l %L 192.0.2.1"
  "atftp 1468|atftp --option 'blksize 1468' -g -r %R -l %L 192.0.2.1"
)
failed=0
for server_name in ${LOSSY_SERVERS:-qelta}; do
start_server "$server_name"
printf '%-9s %-12s %10s %6s %8s\n' server client size intact seconds
for entry in "${clients[@]}"; do
  name=${entry%%|*}
  template=${entry#*|}
  if [ -n "${LOSSY_CLIENTS:-}" ] && ! grep -qxE "${LOSSY_CLIENTS}" <<<"$name"; then continue; fi
  for size in "${sizes[@]}"; do
    intact=0
    start=$(date +%s.%N)
    pids=()
    for i in $(seq "$count"); do
      local_file="$work/got/$i-f$size"
      rm -f "$local_file"
      command=${template//%R/f$size}
      command=${command//%L/$local_file}
      if [ -n "${LOSSY_SIDE_BY_SIDE:-}" ]; then
        inclient timeout "${LOSSY_LIMIT:-3000}" bash -c "$command" > "client$i.out" 2>&1 &
        pids+=($!)
      else
        inclient timeout "${LOSSY_LIMIT:-3000}" bash -c "$command" > client.out 2>&1 || cat client.out
      fi
    done
    for i in "${!pids[@]}"; do wait "${pids[i]}" || cat "client$((i + 1)).out"; done
    for i in $(seq "$count"); do
      if cmp -s "$work/got/$i-f$size" "srv/f$size"; then intact=$((intact + 1)); else failed=1; fi
    done
    end=$(date +%s.%N)
    printf '%-9s %-12s %10s %3s/%-2s %8.1f\n' "$server_name" "$name" "$size" "$intact" "$count" \
      "$(echo "$end - $start" | bc -l)"
  done
done
kill -INT "$server"
wait "$server" || true
server=
done
if [ "$failed" != 0 ]; then
  cat qelta.out 2>/dev/null || true
  echo "FAIL: a file did not arrive whole"
  exit 1
fi
if [ -f qelta.out ]; then
  grep -c "Read session is completed successfully." qelta.out
  grep -c "aborted" qelta.out || true
fi
echo "PASS: lossy link"
