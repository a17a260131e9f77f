#!/usr/bin/env bash
# Installs the Debian packages the suite needs to build and test, skipping
# those already present. Safe to run again.
#   scripts/install-deps.sh          everything: build, every test, the windows
#   scripts/install-deps.sh --demo   what scripts/demo.sh builds and runs: no
#                                    test machine, PostgreSQL server, clang or
#                                    packaging tools
# SUITE_GUI=OFF leaves Qt out (the programs are then built without windows).
set -euo pipefail

demo=0
case "${1:-}" in
  "") ;;
  --demo) demo=1 ;;
  -h | --help) sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  *) echo "usage: scripts/install-deps.sh [--demo]" >&2; exit 2 ;;
esac

# What the build's configuration asks for (the test and benchmark libraries
# too: cmake looks for them), and the peers the demonstration talks to.
packages=(
  build-essential cmake ninja-build g++ ccache
  googletest libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev libcli11-dev
  libsqlite3-dev libpq-dev
  iproute2 util-linux procps iptables
  socat ser2net picocom python3 python3-serial tftp-hpa tftpd-hpa atftp curl busybox
  isc-dhcp-client bootpc
  xdg-utils
  libfuse3-dev pkg-config
)
if [ $demo = 0 ]; then
  # The tests' own tools and peers, the sanitizer build's compiler, packaging.
  packages+=(clang libclang-rt-14-dev clang-format postgresql strace debhelper help2man)
  # A guest for what a container cannot do (kernel modules such as cuse,
  # systemd as init): scripts/vm-run.sh boots Debian's kernel under qemu.
  if [ "${SUITE_GUEST:-ON}" != "OFF" ]; then
    packages+=(qemu-system-x86 linux-image-amd64)
  fi
fi
# The windows: the demonstration renders them too.
if [ "${SUITE_GUI:-AUTO}" != "OFF" ]; then
  packages+=(qt6-base-dev qt6-webengine-dev qt6-charts-dev)
  # The click-through walk (scripts/gui-walk.sh): a virtual X server, a
  # person's hands, pictures of the screen, the accessibility bus that tells
  # where each widget is, a session bus for it, and sqlite3 to read the
  # production records the walk's runs leave.
  if [ $demo = 0 ]; then
    packages+=(xvfb xdotool x11-apps netpbm at-spi2-core gir1.2-atspi-2.0 python3-gi dbus dbus-bin sqlite3)
  fi
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # Wait for the package lock rather than fail when another install is running.
  apt-get -o DPkg::Lock::Timeout=900 update -qq
  apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends "${missing[@]}"
fi
