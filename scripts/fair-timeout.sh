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

# The kernel adds a wait to a thread's count when the wait ends (when the
# thread gets a processor), so the time given back is the longest count of
# any thread since the start, not a sum over looks; a thread that waits for a
# processor right now holds off the decision until its wait is counted.
declare -A waited=() ran=()
most=0     # microseconds: the longest wait of one thread since the start
starved=0  # a thread ready to run had no processor since the last look
look() {
  local file tid run wait line moved=0 ready=0
  for file in /proc/"$pid"/task/*/schedstat; do
    read -r run wait _ 2>/dev/null <"$file" || continue
    tid=${file#/proc/"$pid"/task/}
    tid=${tid%/schedstat}
    [ -n "${waited[$tid]+set}" ] || { waited[$tid]=$wait; ran[$tid]=$run; }
    [ "$run" != "${ran[$tid]}" ] && moved=1
    ran[$tid]=$run
    wait=$(((wait - ${waited[$tid]}) / 1000))
    [ "$wait" -gt "$most" ] && most=$wait
    read -r line 2>/dev/null <"/proc/$pid/task/$tid/stat" || continue
    line=${line##*) } # the state follows the name, which may hold anything
    [ "${line%% *}" = R ] && ready=1
  done
  starved=$((ready && !moved))
}

began=$(now_us)
look
timed_out=0
while kill -0 "$pid" 2>/dev/null; do
  sleep 0.5
  # Ended meanwhile: its status, however long this look took to come.
  kill -0 "$pid" 2>/dev/null || break
  look
  used=$(($(now_us) - began - most))
  if [ "$used" -ge $((limit * 1000000)) ] && [ "$starved" = 0 ]; then
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
