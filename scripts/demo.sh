#!/usr/bin/env bash
# The main job: builds the programs it runs (no tests, no benchmarks: the
# `demo` target) and demonstrates them against the simulators, inside a
# private network namespace. scripts/test.sh afterwards builds the rest in
# the same tree; the compiler cache installed with the packages serves what
# other trees (the package build) compile again.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
started=$SECONDS
"$root/scripts/install-deps.sh" --demo
BUILD_TARGETS=demo "$root/scripts/build.sh" "$root/build"
echo "== built in $((SECONDS - started)) s (packages and programs)"
exec "$root/scripts/in-netns.sh" "$root/scripts/demo-steps.sh" "$root/build/bin"
