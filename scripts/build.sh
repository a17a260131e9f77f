#!/usr/bin/env bash
# Configures and builds the suite in build/ (or the folder given as $1).
# Extra arguments go to cmake. BUILD_TARGETS (names separated by spaces)
# builds only those targets, for example BUILD_TARGETS=demo.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build}
shift || true
launcher=()
# A compiler cache, where installed, makes rebuilds of other trees cheap.
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache); fi
cmake -S "$root" -B "$dir" -G Ninja "${launcher[@]}" -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} -DSUITE_WERROR=ON "$@" >/dev/null
targets=()
for target in ${BUILD_TARGETS:-}; do targets+=(--target "$target"); done
cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
