#!/usr/bin/env bash
# scripts/fair-timeout.sh: a command that other programs keep from a
# processor gets the time they took from it; a command that sleeps or spins
# is stopped after its limit, one that ignores SIGTERM too; the command's own
# status comes back.
#   tests/scripts/fair_timeout_test.sh SOURCE_DIR
set -uo pipefail
src=$(cd "${1:?usage: fair_timeout_test.sh SOURCE_DIR}" && pwd)
limit_run=$src/scripts/fair-timeout.sh
failures=0
expect() { # expect DESCRIPTION COMMAND...
  if "${@:2}"; then echo "ok   $1"; else echo "FAIL $1"; failures=$((failures + 1)); fi
}
status_of() { "$@" >/dev/null 2>&1; echo $?; }

# About a second of processor time, then exit 0.
spend='import time
start = time.process_time()
while time.process_time() - start < 1.0:
    pass'

# Three busy loops on the processor the command gets: it has at most a
# quarter of it, so a second of work takes at least four.
cpu=$(taskset -pc $$ | sed 's/.*: //; s/[-,].*//')
hogs=()
for _ in 1 2 3; do
  taskset -c "$cpu" bash -c 'while :; do :; done' &
  hogs+=($!)
done
started=$(date +%s%N)
crowded=$(status_of taskset -c "$cpu" "$limit_run" 3 python3 -c "$spend")
took=$((($(date +%s%N) - started) / 1000000))
kill "${hogs[@]}" 2>/dev/null
wait "${hogs[@]}" 2>/dev/null
echo "a second of work beside three busy loops: status $crowded after $took ms"
expect "a command kept from the processor is not stopped for the time others took" test "$crowded" = 0
expect "(and it did take longer than its limit)" test "$took" -gt 3000

started=$(date +%s)
expect "a sleeping command is stopped after its limit (124)" test "$(status_of "$limit_run" 1 sleep 60)" = 124
expect "a spinning command is stopped after its limit (124)" \
  test "$(status_of "$limit_run" 1 python3 -c 'while True: pass')" = 124
deaf='import signal, time
signal.signal(signal.SIGTERM, signal.SIG_IGN)
time.sleep(60)'
expect "one that ignores SIGTERM is killed --kill-after seconds later (124)" \
  test "$(status_of "$limit_run" --kill-after 1 1 python3 -c "$deaf")" = 124
expect "none of them ran to its end" test $(($(date +%s) - started)) -lt 60
expect "the command's status comes back" test "$(status_of "$limit_run" 5 sh -c 'exit 3')" = 3
expect "a limit that is not a number is refused (2)" test "$(status_of "$limit_run" 1s true)" = 2

echo "failures: $failures"
[ "$failures" -eq 0 ]
