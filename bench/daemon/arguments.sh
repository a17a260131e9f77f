# Sourced by the virtual-port benchmarks that take [BUILD_DIR] [ROUNDS]
# [BYTES]: answers --help, refuses unknown options and numbers that are not
# whole numbers in range (ROUNDS 1..100000000, BYTES 1..1073741824), and
# runs the benchmark again inside a private network namespace, with the
# numbers as plain decimals. Sets `root` (the tree) and `bin` (the build's
# programs).
# Usage: bench_arguments "$usage" "$@"
. "$(dirname "${BASH_SOURCE[0]}")/../whole_number.sh"
bench_arguments() {
  local usage=$1
  shift
  case "${1:-}" in
    -h|--help) echo "$usage"; exit 0 ;;
    -*) echo "$(basename "$0"): unknown argument $1" >&2; echo "$usage" >&2; exit 2 ;;
  esac
  if [ $# -gt 3 ]; then
    echo "$(basename "$0"): not expected: ${*:4}" >&2
    echo "$usage" >&2
    exit 2
  fi
  local given=("$@")
  if [ $# -ge 2 ]; then given[1]=$(whole_number ROUNDS "$2" 1 100000000) || exit 2; fi
  if [ $# -ge 3 ]; then given[2]=$(whole_number BYTES "$3" 1 1073741824) || exit 2; fi
  if [ "${given[*]}" != "$*" ]; then exec "$0" "${given[@]}"; fi
  root=$(cd "$(dirname "$0")/../.." && pwd)
  if [ "${SUITE_IN_NETNS:-}" != 1 ]; then
    exec "$root/scripts/in-netns.sh" "$0" "$@"
  fi
  bin=$(cd "${1:-$root/build}/bin" && pwd)
}
