#!/usr/bin/env bash
# scripts/test.sh's stages, with the build, the test runs and the guest
# replaced by stand-ins: a failed stage ends the run (nothing after it is
# built), says what it skipped and still names the tests that passed only
# on their second attempt.
#   tests/scripts/test_sh_stages_test.sh SOURCE_DIR
set -uo pipefail
src=$(cd "${1:?usage: test_sh_stages_test.sh SOURCE_DIR}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
expect() { # expect DESCRIPTION COMMAND...
  if "${@:2}"; then echo "ok   $1"; else echo "FAIL $1"; failures=$((failures + 1)); fi
}

# A tree of stand-ins around the real test.sh: each records that it ran.
tree=$work/tree
mkdir -p "$tree/scripts" "$tree/tests/guest" "$work/bin"
cp "$src/scripts/test.sh" "$tree/scripts/"
for s in install-deps build; do
  printf '#!/bin/sh\necho "%s $*" >> "%s/ran"\n' "$s" "$work" >"$tree/scripts/$s.sh"
done
printf '#!/bin/sh\nexec "$@"\n' >"$tree/scripts/in-netns.sh"
printf '#!/bin/sh\necho "guest" >> "%s/ran"\nexit "${STAND_IN_GUEST:-0}"\n' "$work" >"$tree/scripts/vm-run.sh"
# The window walk, in a build with windows on a machine with Xvfb.
printf '#!/bin/sh\necho "walk" >> "%s/ran"\nexit "${STAND_IN_WALK:-0}"\n' "$work" >"$tree/scripts/gui-walk.sh"
mkdir -p "$tree/build"
echo "Qt6Widgets_DIR:PATH=/usr/lib/x86_64-linux-gnu/cmake/Qt6Widgets" >"$tree/build/CMakeCache.txt"
printf '#!/bin/sh\nexit 0\n' >"$work/bin/Xvfb"
# ctest: one test passes on its second attempt; the run's status is asked for.
cat >"$work/bin/ctest" <<STAND_IN
#!/bin/sh
echo "ctest \$*" >> "$work/ran"
echo "1/2 Test  #7: Frames/Board.Replies/Sync(2) ......***Failed    0.10 sec"
echo "1/2 Test  #7: Frames/Board.Replies/Sync(2) ......   Passed    0.10 sec"
echo "2/2 Test  #8: Other.Test ......   Passed    0.10 sec"
exit "\${STAND_IN_CTEST:-0}"
STAND_IN
printf '#!/bin/sh\nexit 0\n' >"$work/bin/qemu-system-x86_64"
chmod +x "$tree"/scripts/*.sh "$work"/bin/*

run() { # run CTEST_STATUS GUEST_STATUS [WALK_STATUS]: the output in $work/out, status in $status
  rm -f "$work/ran"
  PATH=$work/bin:$PATH STAND_IN_CTEST=$1 STAND_IN_GUEST=$2 STAND_IN_WALK=${3:-0} bash "$tree/scripts/test.sh" >"$work/out" 2>&1
  status=$?
}
ran() { grep -q -- "$1" "$work/ran"; }
said() { grep -qF -- "$1" "$work/out"; }

run 8 0
expect "a failed test stage ends the run with its status" test "$status" = 8
expect "  and builds no sanitizer tree" bash -c "! grep -q build-asan '$work/ran'"
expect "  and starts no guest" bash -c "! grep -q guest '$work/ran'"
expect "  and no window walk" bash -c "! grep -q walk '$work/ran'"
expect "  and says what it skipped" said "the test stage failed (status 8): skipped the guest tests, the window walk and the sanitizer build"
expect "  and names the test passed on its second attempt" said "  Frames/Board.Replies/Sync(2)"

if compgen -G "/boot/vmlinuz-*" >/dev/null; then
  run 0 3
  expect "a failed guest stage ends the run with its status" test "$status" = 3
  expect "  and builds no sanitizer tree" bash -c "! grep -q build-asan '$work/ran'"
  expect "  and no window walk" bash -c "! grep -q walk '$work/ran'"
  expect "  and says what it skipped" said "the guest stage failed (status 3): skipped the window walk and the sanitizer build"
else
  echo "skip the guest stage's cases: no kernel in /boot"
fi

run 0 0 5
expect "a failed window walk ends the run with its status" test "$status" = 5
expect "  and builds no sanitizer tree" bash -c "! grep -q build-asan '$work/ran'"
expect "  and says what it skipped" said "the window walk failed (status 5): skipped the sanitizer build"

run 0 0
expect "every stage passing: status 0" test "$status" = 0
expect "  with the window walk run" ran walk
expect "  with the sanitizer tree built and its unit tests run" bash -c "grep -q 'build.*build-asan' '$work/ran' && grep -q 'ctest.*build-asan.*-L unit' '$work/ran'"
expect "  and the retried test still named" said "  Frames/Board.Replies/Sync(2)"
expect "  and no stage said skipped" bash -c "! grep -q skipped: '$work/out'"

echo "failures: $failures"
[ "$failures" -eq 0 ]
