# Sourced by the benchmark scripts. whole_number NAME VALUE LOW HIGH prints
# VALUE as a plain decimal number (leading zeros never make it octal) when it
# is a whole number from LOW to HIGH; otherwise it says so on stderr, with
# the script's $usage when there is one, and returns 2. Use it as
#   ports=$(whole_number PORTS "$2" 1 256) || exit 2
whole_number() {
  local name=$1 value=$2 low=$3 high=$4
  if [[ $value =~ ^0*([0-9]{1,18})$ ]] && ((10#${BASH_REMATCH[1]} >= low && 10#${BASH_REMATCH[1]} <= high)); then
    echo $((10#${BASH_REMATCH[1]}))
    return 0
  fi
  echo "$(basename "$0"): $name: '$value' is not a whole number from $low to $high" >&2
  [ -z "${usage:-}" ] || echo "$usage" >&2
  return 2
}
