#!/usr/bin/env bash
# The main job: builds the suite and demonstrates it against its simulators,
# inside a private network namespace.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" "$root/build"
exec "$root/scripts/in-netns.sh" "$root/scripts/demo-steps.sh" "$root/build/bin"
