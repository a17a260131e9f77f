#!/usr/bin/env bash
# Builds the Debian packages (kellan-suite, kellan-suite-sims) from a clean
# clone of this tree's committed state, checks them with lintian and puts
# them in OUT_DIR (default: dist/ in the tree). Installs what the build needs.
#   scripts/package.sh [OUT_DIR]
set -euo pipefail
case "${1:-}" in
  -h|--help) sed -n '2,6p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  -*) echo "usage: scripts/package.sh [OUT_DIR]" >&2; exit 2 ;;
esac
[ $# -le 1 ] || { echo "usage: scripts/package.sh [OUT_DIR]" >&2; exit 2; }
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-$root/dist}" && cd "${1:-$root/dist}" && pwd)

bash "$root/scripts/install-deps.sh"
tools=(dpkg-dev debhelper help2man lintian git)
missing=()
for p in "${tools[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=900 update -qq
  apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends "${missing[@]}"
fi

# The build runs in a fixed folder (PACKAGE_WORK_DIR): the compiler cache
# knows a tree by its path, so the next build of the same sources is quick.
work=${PACKAGE_WORK_DIR:-${TMPDIR:-/tmp}/kellan-suite-package}
mkdir -p "$work"
rm -rf "$work/kellan-suite" "$work"/kellan-suite*_*
git clone -q "$root" "$work/kellan-suite"
if ! git -C "$root" diff --quiet HEAD 2>/dev/null; then
  echo "note: uncommitted changes in $root are not packaged" >&2
fi
# debhelper gives the build a HOME of its own: keep the builder's compiler
# cache where it is.
if command -v ccache >/dev/null; then
  CCACHE_DIR=${CCACHE_DIR:-$(ccache -k cache_dir)}
  export CCACHE_DIR
fi
(cd "$work/kellan-suite" &&
  DEB_BUILD_OPTIONS="nocheck parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}" dpkg-buildpackage -us -uc -b)

changes=$(ls "$work"/kellan-suite_*.changes)
lintian --fail-on error --info "$changes"
cp "$work"/*.deb "$work"/*.changes "$work"/*.buildinfo "$out"/
ls -1 "$out"/*.deb
