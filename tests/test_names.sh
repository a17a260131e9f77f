#!/usr/bin/env bash
# Every test's name is the same from build to build, so a run's report of the
# tests that failed once can be compared with the next run's: no name may
# carry the bytes of a parameter object (addresses among them) or a space.
#   tests/test_names.sh BUILD_DIR
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: tests/test_names.sh BUILD_DIR" >&2; exit 2; }
# ctest lists a test kept off with its name and " (Disabled)".
names=$(ctest --test-dir "$1" -N | sed -nE 's/^ *Test +#[0-9]+: (.*[^ ]) *$/\1/p' | sed -E 's/ \(Disabled\)$//')
[ -n "$names" ] || { echo "no tests listed in $1" >&2; exit 1; }
unstable=$(grep -E -e '-byte object' -e ' ' <<<"$names" || true)
if [ -n "$unstable" ]; then
  echo "tests whose names change from build to build (give them a name generator):"
  echo "$unstable" | sed 's/^/  /'
  exit 1
fi
echo "$(wc -l <<<"$names") test names, all stable"
