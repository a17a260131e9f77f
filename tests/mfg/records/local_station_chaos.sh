#!/usr/bin/env bash
# A station with its own production.db (the MAC range in Option.dat) on a
# 2 MiB tmpfs that a filler fills and frees at random moments, while
# kellan-mp runs board after board and is killed (SIGKILL or SIGTERM) at a
# random moment in some runs. At the end:
#   - every board that printed PASS (exit 0, exit 3 "PASS, NOT RECORDED", or a
#     signal after its PASS) holds an address of its own in its EEPROM;
#   - every exit-0 pass is in production.db as a pass, no exit-3 pass is;
#   - Option.dat's current address is past every passing board's.
# Needs root (a mount namespace and a tmpfs of its own) and sqlite3.
#
#   scripts/in-netns.sh tests/mfg/records/local_station_chaos.sh build 100
#
# Exit status 0 when every check held, 1 when one broke (each is printed).
set -u
build=$(cd "${1:?build folder}" && pwd)
runs=${2:-50}
maxms=${3:-4000}
if [ "${LOCAL_CHAOS_INSIDE:-}" != 1 ]; then
    export LOCAL_CHAOS_INSIDE=1
    exec unshare -m --propagation private "$0" "$build" "$runs" "$maxms"
fi
B=$build/bin
work=$(mktemp -d /tmp/local-chaos.XXXXXX)
st=$work/station
mkdir -p "$st" && mount -t tmpfs -o size=2m tmpfs "$st" || exit 2
for k in $(seq 0 33); do printf '[%04X]\n%04X\n' "$k" $((0x2200 + k)); done > "$st/eeprom.ini"
head -c 2000 /dev/zero | tr '\0' 'Z' > "$st/loader.bin"
head -c 700 /dev/zero | tr '\0' '\021' > "$st/test.bin"
head -c 1600 /dev/zero | tr '\0' '"' > "$st/prod.bin"
printf '%s\n' "$st/loader.bin" "$st/test.bin" "$st/prod.bin" "$st/eeprom.ini" "$st/fail.log" 127.0.0.2 \
    00A0B0C0D0E0 00A0B0C0D2FF 0 > "$st/Option.dat"
printf 'COM3\n921.6K' > "$st/com.dat"
echo 255 > "$st/item.dat"
echo "COM3 $work/board" > "$work/com-ports"
export SUITE_COM_MAP=$work/com-ports PORTIO_MODULE=none KELLAN_MP_TIME_SCALE=10

# The address the board holds: EEPROM words 6..11 as the test firmware wrote them.
held() {
    /usr/bin/python3 - "$1" << 'PY'
import sys
words = {}
for line in open(sys.argv[1]):
    part = line.split()
    if len(part) >= 4 and part[:2] == ["command", "ew"] and 6 <= int(part[2], 16) <= 11:
        words[int(part[2], 16)] = part[3][2:4]
print("".join(words[a] for a in range(11, 5, -1)) if len(words) == 6 else "")
PY
}

(while :; do
    sleep "0.$((RANDOM % 9 + 1))"
    if [ -e "$st/filler" ]; then
        rm -f "$st/filler"
    else
        dd if=/dev/zero of="$st/filler" bs=4k 2> /dev/null
        [ $((RANDOM % 2)) = 0 ] && truncate -s -4096 "$st/filler"
    fi
done) &
filler=$!

: > "$work/results"
for i in $(seq "$runs"); do
    rm -f "$work/board"
    "$B/boardsim" --time-scale 10 --events --link "$work/board" --options erase-ms=300 > "$work/events" &
    board=$!
    for _ in $(seq 50); do [ -e "$work/board" ] && break; sleep 0.1; done
    (cd "$st" && exec "$B/kellan-mp" run --yes > "$work/out" 2> "$work/err") &
    run=$!
    signals=(KILL NONE NONE NONE TERM)
    signal=${signals[$((RANDOM % ${#signals[@]}))]}
    if [ "$signal" != NONE ]; then
        sleep "$(awk -v r=$RANDOM -v m="$maxms" 'BEGIN { printf "%.3f", r / 32768 * m / 1000 }')"
        kill "-$signal" "$run" 2> /dev/null
    fi
    wait "$run"
    code=$?
    kill "$board"
    wait "$board" 2> /dev/null
    said=$(grep -o '^PASS.*\|^FAIL' "$work/out" | tail -1 | tr ' ' _)
    echo "$i $code ${said:-none} $(held "$work/events")" >> "$work/results"
done
kill "$filler"
wait "$filler" 2> /dev/null
rm -f "$st/filler"

broken=0
current=$(sed -n 7p "$st/Option.dat")
sqlite3 "$st/production.db" "SELECT mac FROM runs WHERE outcome = 'pass'" > "$work/recorded" || exit 2
dups=$(awk '$3 ~ /^PASS/ { print $4 }' "$work/results" | sort | uniq -d)
[ -z "$dups" ] || { echo "addresses on two passing boards: $dups"; broken=1; }
while read -r i code said mac; do
    case "$said" in PASS*) ;; *) continue ;; esac
    [ -n "$mac" ] || { echo "run $i: $said without an address in the EEPROM"; broken=1; continue; }
    [ $((16#$mac)) -lt $((16#$current)) ] || { echo "run $i: $mac passed, Option.dat is at $current"; broken=1; }
    inStore=$(grep -cx "$mac" "$work/recorded")
    if [ "$code" = 0 ] && [ "$inStore" != 1 ]; then echo "run $i: exit 0 for $mac, recorded $inStore times"; broken=1; fi
    if [ "$code" = 3 ] && [ "$inStore" != 0 ]; then echo "run $i: $mac 'not recorded' but recorded"; broken=1; fi
    if [ "$code" = 0 ] && [ "$said" != PASS ]; then echo "run $i: exit 0 with $said"; broken=1; fi
done < "$work/results"
awk '{ n[$2]++; if ($3 ~ /^PASS/) p++ } END { printf "%d runs, %d passing boards; exit statuses:", NR, p;
      for (c in n) printf " %s x%d", c, n[c]; print "" }' "$work/results"
umount "$st"
[ "$broken" = 0 ] && rm -rf "$work"
exit "$broken"
