# Sourced by the virtual-port benchmarks that take [BUILD_DIR] [ROUNDS]
# [BYTES]: answers --help, refuses unknown options and numbers that are not
# whole and positive, and runs the benchmark again inside a private network
# namespace. Sets `root` (the tree) and `bin` (the build's programs).
# Usage: bench_arguments "$usage" "$@"
bench_arguments() {
  local usage=$1
  shift
  case "${1:-}" in
    -h|--help) echo "$usage"; exit 0 ;;
    -*) echo "$(basename "$0"): unknown argument $1" >&2; echo "$usage" >&2; exit 2 ;;
  esac
  if [ $# -gt 3 ] || { [ $# -ge 2 ] && ! [[ "$2" =~ ^[1-9][0-9]*$ ]]; } ||
    { [ $# -ge 3 ] && ! [[ "$3" =~ ^[1-9][0-9]*$ ]]; }; then
    echo "$usage" >&2
    exit 2
  fi
  root=$(cd "$(dirname "$0")/../.." && pwd)
  if [ "${SUITE_IN_NETNS:-}" != 1 ]; then
    exec "$root/scripts/in-netns.sh" "$0" "$@"
  fi
  bin=$(cd "${1:-$root/build}/bin" && pwd)
}
