#!/usr/bin/env bash
# Pictures `kellan-mp report --html` with a week of a four-station line's
# records (made up here, in an SQLite store) in headless Chromium, into
# docs/screenshots/kellan-report.png. Installs Debian's chromium when missing.
# Usage: scripts/report-screenshot.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$(cd "${1:-$root/build}/bin" && pwd)
out=$root/docs/screenshots
mkdir -p "$out"
if ! command -v chromium > /dev/null; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=900 update -qq
  apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends chromium
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
# The schema comes from the program itself.
"$bin/kellan-mp" records init --records sqlite:line.db > /dev/null
/usr/bin/python3 - <<'PY'
import random, sqlite3
random.seed(7)
items = ["RAM Test", "CPU Test", "EEPROM Test", "HSUART Test", "Write Data Into EEPROM"]
# Some items fail more often than others.
weights = [0.004, 0.002, 0.03, 0.012, 0.008]
db = sqlite3.connect("line.db")
first = 0x00A0B0C00000
mac = first
used = 0
for day, boards in enumerate([180, 210, 196, 225, 140]):
    for n in range(boards):
        station = "station-%d" % (n % 4 + 1)
        t = "2026-12-%02dT%02d:%02d:%02d.000Z" % (1 + day, 7 + n * 10 // boards, n % 60, n * 7 % 60)
        failed = None
        for i, w in enumerate(weights):
            if random.random() < w * (1.8 if station == "station-3" else 1):
                failed = i
                break
        outcome = "fail" if failed is not None else "pass"
        cur = db.execute("INSERT INTO runs (station, operator, started_at, ended_at, mac, mac_from_store, outcome,"
                         " result_message, program_version) VALUES (?,?,?,?,?,1,?,?,?)",
                         (station, "op", t, t, "%012X" % mac, outcome,
                          "" if failed is None else items[failed] + " failed.\n", "1.8.1"))
        run = cur.lastrowid
        for pos, name in enumerate(items[: (failed + 1) if failed is not None else len(items)]):
            db.execute("INSERT INTO run_items VALUES (?,?,?,?,?,?,?)",
                       (run, pos, pos + 2, name, 0 if pos == failed else 1, 1200, ""))
        if failed is None:
            db.execute("INSERT INTO mac_lease (mac, holder, station, leased_at, consumed) VALUES (?,?,?,?,1)",
                       (mac, "x", station, t))
            mac += 1
            used += 1
# What a station writes beside each run: the item a failed run failed at.
# (Each MAC here passed once, so no pass had one before it.)
db.execute("UPDATE runs SET failed_item = (SELECT name FROM run_items i WHERE i.run_id = runs.id AND i.passed = 0)"
           " WHERE outcome = 'fail'")
db.execute("INSERT INTO mac_range VALUES (1, ?, ?, ?)", (first, first + 1499, mac + 1))
db.execute("INSERT INTO mac_free VALUES (?)", (mac,))
db.commit()
PY
"$bin/kellan-mp" report --records sqlite:line.db --html report.html > /dev/null
# No network for the browser: the page must stand on its own.
"$root/scripts/netns-exec.sh" chromium --headless --no-sandbox --disable-gpu --hide-scrollbars \
  --window-size=840,1280 --screenshot="$out/kellan-report.png" "file://$work/report.html" 2> /dev/null
echo "$out/kellan-report.png"
