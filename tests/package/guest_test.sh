#!/usr/bin/env bash
# Builds the Debian packages of this tree's committed state into OUT_DIR
# (scripts/package.sh; default: dist/ in the tree) and runs
# tests/package/installed_test.sh on them in a throw-away guest booted with
# systemd (scripts/vm-run.sh), from wherever the tree is.
#   tests/package/guest_test.sh [OUT_DIR]
# SKIP_PACKAGE_BUILD=1 tests the packages already in OUT_DIR. Exit status:
# the test's; 125 when no guest could start.
set -euo pipefail
case "${1:-}" in
  -h | --help) sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  -*) echo "usage: tests/package/guest_test.sh [OUT_DIR]" >&2; exit 2 ;;
esac
root=$(cd "$(dirname "$0")/../.." && pwd)
out=$(mkdir -p "${1:-$root/dist}" && cd "${1:-$root/dist}" && pwd)

if [ "${SKIP_PACKAGE_BUILD:-0}" != 1 ]; then
  started=$(date +%s)
  bash "$root/scripts/package.sh" "$out"
  echo "== packages built in $(($(date +%s) - started)) s"
fi
started=$(date +%s)
set +e
"$root/scripts/in-netns.sh" "$root/scripts/vm-run.sh" --systemd --timeout "${VM_TIMEOUT:-900}" --show "$root" --scratch "$out" -- \
  bash "$root/tests/package/installed_test.sh" "$out"
status=$?
set -e
echo "== package test in the guest: status $status after $(($(date +%s) - started)) s"
exit "$status"
