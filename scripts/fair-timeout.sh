#!/usr/bin/env bash
# Runs COMMAND and stops it when it has had SECONDS to run: a second in which
# one of its threads was ready to run but waited for a processor other
# programs held does not count. On an idle machine this is timeout(1); on a
# loaded one a slow command gets the time the load took from it, while a
# command that hangs (sleeping, or spinning on a processor of its own) is
# still stopped after SECONDS.
#   scripts/fair-timeout.sh [--kill-after SEC] SECONDS COMMAND [ARG...]
# Exit status: COMMAND's, 124 when it was stopped (SIGTERM, then SIGKILL
# --kill-after seconds later, default 10). The kernel's scheduler statistics
# (/proc/PID/task/TID/schedstat) tell the waiting; without them the limit is
# plain real time. The threads watched are COMMAND's own (one process, as
# qemu is), not its children's.
set -uo pipefail

usage() { sed -n '8p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
kill_after=10
case "${1:-}" in
  -h | --help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  --kill-after) kill_after=${2:-}; shift 2 || usage ;;
esac
[ $# -ge 2 ] || usage
limit=$1
shift
for n in "$limit" "$kill_after"; do
  case "$n" in '' | *[!0-9]*) echo "fair-timeout: not a whole number of seconds: $n" >&2; exit 2 ;; esac
done

now_us() { local t=${EPOCHREALTIME/[.,]/}; echo $((10#$t)); }

"$@" &
pid=$!
trap 'kill -TERM "$pid" 2>/dev/null' INT TERM HUP

declare -A waited=() # per thread: nanoseconds spent ready to run, not running
# Sets held: the microseconds since the last look in which a thread of the
# command waited for a processor (the longest such wait).
held=0
look() {
  local file tid wait most=0 delta
  for file in /proc/"$pid"/task/*/schedstat; do
    read -r _ wait _ 2>/dev/null <"$file" || continue
    tid=${file#/proc/"$pid"/task/}
    tid=${tid%/schedstat}
    delta=$((wait - ${waited[$tid]:-0}))
    waited[$tid]=$wait
    [ "$delta" -gt "$most" ] && most=$delta
  done
  held=$((most / 1000))
}

used=0 # microseconds the command could have run
last=$(now_us)
look
timed_out=0
while kill -0 "$pid" 2>/dev/null; do
  sleep 0.5
  now=$(now_us)
  span=$((now - last))
  last=$now
  look
  [ "$held" -gt "$span" ] && held=$span
  used=$((used + span - held))
  if [ "$used" -ge $((limit * 1000000)) ]; then
    timed_out=1
    break
  fi
done
if [ $timed_out = 1 ]; then
  kill -TERM "$pid" 2>/dev/null
  for _ in $(seq $((kill_after * 10))); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  exit 124
fi
wait "$pid"
