#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the normal build's
# whole suite, the guest tests, a click-through of both windows, then the
# unit tests again under address and undefined-behaviour sanitizers.
# Everything runs inside a private network namespace.
# The run stops at the first stage that fails: what comes after it is said
# to be skipped, not built.
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
# Tests that failed once and passed on their second attempt: each is a
# defect to mend, so they are named at the end.
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
retried() {
  # A test named on a failed attempt's line and again on a passing one.
  grep -E 'Test +#[0-9]+: .*(\*\*\*Failed|\*\*\*Timeout|\*\*\*Exception)' "$1" | sed -E 's/.*Test +#[0-9]+: ([^ ]+) .*/\1/' | sort -u |
    while read -r name; do
      pattern=$(printf '%s' "$name" | sed 's/[][\\.*^$+?(){}|]/\\&/g')
      grep -qE "Test +#[0-9]+: $pattern \.+ +Passed" "$1" && echo "$name"
    done || true
}

# The report at the end: the tests run again, and the stages left out.
finish() {
  local again
  again=$(for log in "$logs"/*.log; do retried "$log"; done | sort -u)
  if [ -n "$again" ]; then
    echo "== tests that passed only when run again (defects to mend):"
    echo "$again" | sed 's/^/  /'
  fi
  if [ "$status" != 0 ] && [ $# -gt 0 ]; then
    echo "== $1 failed (status $status): skipped $2"
  fi
  exit "$status"
}

echo "== tests"
set +e
"$root/scripts/in-netns.sh" ctest --test-dir "$root/build" --output-on-failure -j "$jobs" --timeout 300 --repeat until-pass:2 2>&1 | tee "$logs/tests.log"
status=${PIPESTATUS[0]}
set -e
[ "$status" = 0 ] || finish "the test stage" "the guest tests, the window walk and the sanitizer build"

# The character-device front end needs a kernel with CUSE: its checks run in
# the test machine (one guest boot for all of them), when one can start.
# Without KVM (software emulation) a MiB each way takes some 20 s, so the
# bulk transfer is 4 MiB here (SUITE_GUEST_BULK_MIB=20 for the full one).
echo "== guest tests (character-device ports, in the test machine)"
if [ "${SUITE_SKIP_GUEST:-0}" = 1 ]; then
  echo "guest tests skipped: SUITE_SKIP_GUEST=1"
elif ! command -v qemu-system-x86_64 > /dev/null; then
  echo "guest tests skipped: qemu-system-x86_64 is not installed (scripts/install-deps.sh installs it)"
elif ! compgen -G "/boot/vmlinuz-*" > /dev/null; then
  echo "guest tests skipped: no kernel in /boot (linux-image-amd64)"
else
  set +e
  "$root/scripts/in-netns.sh" "$root/scripts/vm-run.sh" --timeout 600 --show "$root" -- \
    bash "$root/tests/guest/cuse_guest.sh" "$root/build" "${SUITE_GUEST_BULK_MIB:-4}" 2>&1 | tee "$logs/guest.txt"
  guest=${PIPESTATUS[0]}
  set -e
  if [ "$guest" = 125 ]; then
    echo "guest tests skipped: qemu could not start a guest (its reason is above)"
  elif [ "$guest" != 0 ]; then
    echo "guest tests failed (status $guest)"
    status=$guest
    finish "the guest stage" "the window walk and the sanitizer build"
  fi
fi

# Both windows clicked through on a virtual X server against the simulators,
# when the build has windows and the machine has Xvfb.
echo "== window walk (scripts/gui-walk.sh)"
if [ "${SUITE_SKIP_WALK:-0}" = 1 ]; then
  echo "window walk skipped: SUITE_SKIP_WALK=1"
elif ! command -v Xvfb > /dev/null; then
  echo "window walk skipped: Xvfb is not installed (scripts/install-deps.sh installs it)"
elif ! grep -q '^Qt6Widgets_DIR:PATH=/' "$root/build/CMakeCache.txt" 2> /dev/null; then
  echo "window walk skipped: the programs were built without windows"
else
  set +e
  "$root/scripts/gui-walk.sh" "$root/build" "$root/build/gui-walk" 2>&1 | tee "$logs/walk.txt"
  status=${PIPESTATUS[0]}
  set -e
  [ "$status" = 0 ] || finish "the window walk" "the sanitizer build"
fi

if [ "${SUITE_SKIP_SANITIZE:-0}" != 1 ]; then
  echo "== sanitizer build (address, undefined)"
  BUILD_TYPE=Debug "$root/scripts/build.sh" "$root/build-asan" -DSUITE_SANITIZE=ON -DSUITE_GUI=OFF -DSUITE_BENCH=OFF ||
    { status=$?; finish "the sanitizer build" "the unit tests under sanitizers"; }
  echo "== unit tests under sanitizers"
  set +e
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$root/scripts/in-netns.sh" ctest --test-dir "$root/build-asan" --output-on-failure -j "$jobs" -L unit --timeout 600 --repeat until-pass:2 2>&1 | tee "$logs/sanitized.log"
  status=${PIPESTATUS[0]}
  set -e
fi
finish
