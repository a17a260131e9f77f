#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the normal build's
# whole suite, then the unit tests again under address and undefined-behaviour
# sanitizers. Everything runs inside a private network namespace.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc)

"$root/scripts/install-deps.sh"

echo "== build"
"$root/scripts/build.sh" "$root/build"

# A test that fails is run once more before the run counts as failed, so one
# unlucky scheduling moment on a loaded machine does not hide the rest; the
# output still shows the failed attempt.
echo "== tests"
"$root/scripts/in-netns.sh" ctest --test-dir "$root/build" --output-on-failure -j "$jobs" --timeout 300 --repeat until-pass:2

if [ "${SUITE_SKIP_SANITIZE:-0}" != 1 ]; then
  echo "== sanitizer build (address, undefined)"
  BUILD_TYPE=Debug "$root/scripts/build.sh" "$root/build-asan" -DSUITE_SANITIZE=ON -DSUITE_GUI=OFF -DSUITE_BENCH=OFF
  echo "== unit tests under sanitizers"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$root/scripts/in-netns.sh" ctest --test-dir "$root/build-asan" --output-on-failure -j "$jobs" -L unit --timeout 600 --repeat until-pass:2
fi
