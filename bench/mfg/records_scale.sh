#!/usr/bin/env bash
# The production records at scale: fills an SQLite file and a PostgreSQL
# database (a server started for the run, Unix socket only) with RUNS runs
# (default 1,000,000; 4.8 items each) in the program's schema as the
# previous version (4) left it, then times `kellan-mp report`, `report
# --since` (the last week), `history MAC` and the Test page's day count on
# each, with the peak memory of the commands (/usr/bin/time -v); then
# `kellan-mp records upgrade` to the current schema, and the same again.
# Goals: report <= 2 s, history and the day count <= 50 ms, memory <= 100 MB.
# RECORDS_SCALE_KEEP=1 keeps the databases (the folder is named at the end;
# the PostgreSQL server is stopped).
# Usage: bench/mfg/records_scale.sh [RUNS] [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
usage="usage: bench/mfg/records_scale.sh [RUNS] [BUILD_DIR]   (RUNS 1000..10000000)"
case "${1:-}" in
  -h|--help) echo "$usage"; exit 0 ;;
esac
runs=${1:-1000000}
if ! [[ "$runs" =~ ^[0-9]+$ ]] || [ "$runs" -lt 1000 ] || [ "$runs" -gt 10000000 ] || [ $# -gt 2 ]; then
  echo "$usage" >&2
  exit 2
fi
if [ "${SUITE_IN_NETNS:-}" != 1 ]; then
  exec "$root/scripts/in-netns.sh" "$0" "$@"
fi
build=$(cd "${2:-$root/build}" && pwd)
kmp="$build/bin/kellan-mp"
day="$build/bin/bench_mfg_records_day"
schema="$build/bin/bench_mfg_records_schema"
old=4 # the schema the store is filled in
pgbin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
work=$(mktemp -d /tmp/records-scale-XXXXXX)
chmod 755 "$work"
as=()
if [ "$(id -u)" = 0 ]; then as=(setpriv --reuid=65534 --regid=65534 --clear-groups); fi
cleanup() {
  if [ -n "$pgbin" ] && [ -d "$work/pg/data" ]; then
    "${as[@]}" "$pgbin/pg_ctl" -D "$work/pg/data" -m immediate -w stop >/dev/null 2>&1 || true
  fi
  if [ -n "${RECORDS_SCALE_KEEP:-}" ]; then echo "kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

# Runs every 30 s from 2026-01-01; one in ten fails (at its last item), one
# in 97 is interrupted; eight stations; every fifth run has four items.
first=1767225600
mac0=690147557376 # 00A0B0000000
since=$(date -u -d "@$((first + runs * 30 - 7 * 86400))" +%F)
last=$(date -u -d "@$((first + runs * 30))" +%F)
mac=$(printf '%012X' $((mac0 + runs / 2)))
outcome="CASE WHEN i % 10 = 0 THEN 'fail' WHEN i % 97 = 0 THEN 'interrupted' ELSE 'pass' END"
items="(0, 2, 'RAM Test'), (1, 3, 'CPU Test'), (2, 4, 'EEPROM Test'), (3, 5, 'HSUART Test'), (4, 6, 'EEPROM Data')"
itemsOf="SELECT r.id, p.pos, p.item, p.name,
  CASE WHEN r.outcome = 'fail' AND p.pos = CASE WHEN r.id % 5 = 0 THEN 3 ELSE 4 END THEN 0 ELSE 1 END, 1000, ''
  FROM runs r CROSS JOIN p WHERE p.pos < CASE WHEN r.id % 5 = 0 THEN 4 ELSE 5 END"

measure() { # BACKEND WHAT COMMAND...
  local backend=$1 what=$2
  shift 2
  /usr/bin/time -v -o "$work/time.txt" "$@" >"$work/out.txt" 2>"$work/err.txt" || {
    echo "$backend $what failed:" >&2
    cat "$work/err.txt" >&2
    exit 1
  }
  local wall rss
  wall=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$work/time.txt")
  rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time.txt")
  printf '%-10s %-22s %10s s  %6d MB peak\n' "$backend" "$what" "$wall" $((rss / 1024))
}

time_all() { # BACKEND URL PHASE
  local backend=$1 url=$2 phase=$3
  measure "$backend" "report" "$kmp" report --records "$url"
  cp "$work/out.txt" "$work/report-$backend-$phase.txt"
  measure "$backend" "report --since $since" "$kmp" report --since "$since" --records "$url"
  measure "$backend" "history $mac" "$kmp" history "$mac" --records "$url"
  printf '%-10s %-22s %s\n' "$backend" "day count" "$("$day" "$url" st3 "$last" 20)"
}

echo "filling $runs runs: SQLite"
start=$SECONDS
sqlite="sqlite:$work/production.db"
"$schema" "$sqlite" $old
sqlite3 "$work/production.db" <<SQL
PRAGMA journal_mode=WAL;
PRAGMA synchronous=OFF;
BEGIN;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < $runs)
INSERT INTO runs (id, station, operator, started_at, ended_at, mac, mac_from_store, outcome, result_message,
  program_version, mac_written)
SELECT i, 'st' || (i % 8), 'op', strftime('%Y-%m-%dT%H:%M:%fZ', $first + i * 30 - 120, 'unixepoch'),
  strftime('%Y-%m-%dT%H:%M:%fZ', $first + i * 30, 'unixepoch'), printf('%012X', $mac0 + i), 1, $outcome, '',
  '1.8.1', 1 FROM n;
WITH p(pos, item, name) AS (VALUES $items)
INSERT INTO run_items (run_id, position, item, name, passed, duration_ms, failure) $itemsOf;
COMMIT;
ANALYZE;
SQL
echo "  $((SECONDS - start)) s, $(du -m "$work/production.db" | cut -f1) MB"

echo "filling $runs runs: PostgreSQL"
start=$SECONDS
mkdir -p "$work/pg"
chown 65534:65534 "$work/pg" 2>/dev/null || true
"${as[@]}" "$pgbin/initdb" -D "$work/pg/data" -A trust -U kellan -E UTF8 --no-sync >"$work/initdb.log" 2>&1
"${as[@]}" "$pgbin/pg_ctl" -D "$work/pg/data" -l "$work/pg/server.log" -w -t 60 \
  -o "-c listen_addresses='' -k $work/pg -c fsync=off" start >/dev/null
psql -q "host=$work/pg user=kellan dbname=postgres" -c "CREATE DATABASE line"
pg="postgresql:///line?host=$work/pg&user=kellan"
"$schema" "$pg" $old
psql -q -v ON_ERROR_STOP=1 "host=$work/pg user=kellan dbname=line" <<SQL
BEGIN;
INSERT INTO runs (id, station, operator, started_at, ended_at, mac, mac_from_store, outcome, result_message,
  program_version, mac_written)
SELECT i, 'st' || (i % 8), 'op',
  to_char(to_timestamp($first + i * 30 - 120) AT TIME ZONE 'UTC', 'YYYY-MM-DD"T"HH24:MI:SS.MS"Z"'),
  to_char(to_timestamp($first + i * 30) AT TIME ZONE 'UTC', 'YYYY-MM-DD"T"HH24:MI:SS.MS"Z"'),
  lpad(upper(to_hex($mac0 + i)), 12, '0'), 1, $outcome, '', '1.8.1', 1 FROM generate_series(1, $runs) AS i;
SELECT setval(pg_get_serial_sequence('runs', 'id'), $runs);
WITH p(pos, item, name) AS (VALUES $items)
INSERT INTO run_items (run_id, position, item, name, passed, duration_ms, failure) $itemsOf;
COMMIT;
VACUUM ANALYZE;
SQL
echo "  $((SECONDS - start)) s"

echo "runs: $runs, items: $(sqlite3 "$work/production.db" 'SELECT count(*) FROM run_items')"
echo "schema $old (as the previous version left it):"
time_all sqlite "$sqlite" before
time_all postgres "$pg" before
echo "upgraded:"
measure sqlite "records upgrade" "$kmp" records upgrade --records "$sqlite"
measure postgres "records upgrade" "$kmp" records upgrade --records "$pg"
time_all sqlite "$sqlite" after
time_all postgres "$pg" after
# The upgraded schema counts what the old one counted, on both.
status=0
for backend in sqlite postgres; do
  if ! diff "$work/report-$backend-before.txt" "$work/report-$backend-after.txt" >&2; then
    echo "$backend: the report differs after the upgrade" >&2
    status=1
  fi
done
if ! diff <(sed 1d "$work/report-sqlite-after.txt") <(sed 1d "$work/report-postgres-after.txt") >&2; then
  echo "the two back ends report differently" >&2
  status=1
fi
exit $status
