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

# A fifth of a second of processor time, then exit 0 (Debian's python, without
# its site folders: little to read from a busy disk, which would count).
python=/usr/bin/python3
spend='import time
start = time.process_time()
while time.process_time() - start < 0.2:
    pass'

# A busy loop on the processor the command gets, and the command at nice
# 15: it has some 3 % of that processor, so its work takes six seconds or
# more.
cpu=$(taskset -pc $$ | sed 's/.*: //; s/[-,].*//')
taskset -c "$cpu" bash -c 'while :; do :; done' &
hog=$!
started=$(date +%s%N)
crowded=$(status_of nice -n 15 taskset -c "$cpu" "$limit_run" 4 "$python" -S -c "$spend")
took=$((($(date +%s%N) - started) / 1000000))
kill "$hog" 2>/dev/null
wait "$hog" 2>/dev/null
echo "a fifth of a second of work at low priority beside a busy loop: status $crowded after $took ms"
expect "a command kept from the processor is not stopped for the time others took" test "$crowded" = 0
expect "(and it did take longer than its limit)" test "$took" -gt 4000

started=$(date +%s)
expect "a sleeping command is stopped after its limit (124)" test "$(status_of "$limit_run" 1 sleep 3600)" = 124
expect "a spinning command is stopped after its limit (124)" \
  test "$(status_of "$limit_run" 1 "$python" -S -c 'while True: pass')" = 124
deaf='import signal, time
signal.signal(signal.SIGTERM, signal.SIG_IGN)
time.sleep(3600)'
expect "one that ignores SIGTERM is killed --kill-after seconds later (124)" \
  test "$(status_of "$limit_run" --kill-after 1 1 "$python" -S -c "$deaf")" = 124
expect "none of them ran to its end" test $(($(date +%s) - started)) -lt 1800
expect "the command's status comes back" test "$(status_of "$limit_run" 5 sh -c 'exit 3')" = 3
expect "a limit that is not a number is refused (2)" test "$(status_of "$limit_run" 1s true)" = 2

echo "failures: $failures"
[ "$failures" -eq 0 ]
