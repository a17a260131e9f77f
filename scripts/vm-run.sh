#!/usr/bin/env bash
# Runs one command inside a throw-away Linux guest and returns its output and
# exit status. The guest boots Debian's kernel under qemu with a small
# initramfs of our own, sees this machine's root file system read-only over
# 9p (with a tmpfs overlay on top, so it can write anywhere; the writes vanish
# with the guest) and one scratch folder shared writable. The modules a
# character device served from user space needs (fuse, cuse) are loaded.
#
# It exists for what a container cannot do: load kernel modules, open
# /dev/cuse, run systemd as init (--systemd), drive a real UART: the guest
# has a second 16550 (/dev/ttyS1, the kernel's 8250 driver) whose far end
# is unconnected; TIOCM_LOOP puts it in loopback (what it sends comes back,
# RTS returns as CTS, DTR as DSR and CD).
set -euo pipefail

usage() {
  cat <<'EOF'
Usage: scripts/vm-run.sh [OPTIONS] [--] COMMAND [ARG...]

Boots a guest with this machine's root file system (read-only, with a
writable overlay held in the guest's memory), runs COMMAND there as root in
the current folder, prints what it prints and exits with its status.

Options:
  --scratch DIR   share DIR writable at the same path in the guest
                  (default: a new temporary folder, removed afterwards);
                  the guest sees its path in $VM_SCRATCH
  --show DIR      a folder under /tmp, /run or /dev/shm the guest shows as
                  this machine has it (the current folder always is);
                  the guest's own /tmp, /run and /dev/shm start empty
  --mem MIB       guest memory in MiB (default 2048)
  --cpus N        guest processors (default 1)
  --timeout SEC   stop the guest after SEC seconds in which it could run,
                  exit 124 (default 1200); time qemu waited for a processor
                  other programs held does not count, so a loaded machine
                  slows the guest down without stopping it
  --accel WHICH   kvm, tcg or auto (default auto: KVM when a guest boots
                  with it, checked once per kernel and remembered, else TCG)
  --kernel VER    the kernel version under /lib/modules to boot
                  (default: the newest with an image in /boot)
  --systemd       boot the guest's systemd as init (the host's units, with
                  timers and gettys masked) and run COMMAND as a service
                  once the basic system is up; systemctl works in it
  --verbose       show the kernel's and the initramfs' messages
  -h, --help      show this help and exit

Exit status: the command's, 124 when the guest timed out, 125 when no guest
could be started (qemu or a kernel missing: the reason is printed).

Environment: VM_CACHE_DIR (where the initramfs is kept, default
/var/tmp/vm-run), and the same settings as VM_MEM, VM_CPUS, VM_TIMEOUT,
VM_ACCEL.
EOF
}

here=$(cd "$(dirname "$0")" && pwd)
mem=${VM_MEM:-2048}
cpus=${VM_CPUS:-1}
timeout_s=${VM_TIMEOUT:-1200}
accel=${VM_ACCEL:-auto}
kver=""
scratch=""
shown=()
verbose=0
systemd=0

need_value() {
  if [ $# -lt 2 ] || [ -z "$2" ]; then
    echo "vm-run: $1 needs a value" >&2
    usage >&2
    exit 2
  fi
}

while [ $# -gt 0 ]; do
  case "$1" in
  -h | --help) usage; exit 0 ;;
  --scratch) need_value "$@"; scratch=$2; shift 2 ;;
  --show) need_value "$@"; shown+=("$2"); shift 2 ;;
  --mem) need_value "$@"; mem=$2; shift 2 ;;
  --cpus) need_value "$@"; cpus=$2; shift 2 ;;
  --timeout) need_value "$@"; timeout_s=$2; shift 2 ;;
  --accel) need_value "$@"; accel=$2; shift 2 ;;
  --kernel) need_value "$@"; kver=$2; shift 2 ;;
  --verbose) verbose=1; shift ;;
  --systemd) systemd=1; shift ;;
  --) shift; break ;;
  -*) echo "vm-run: unknown option: $1" >&2; usage >&2; exit 2 ;;
  *) break ;;
  esac
done
if [ $# -eq 0 ]; then
  echo "vm-run: no command given" >&2
  usage >&2
  exit 2
fi
for n in "$mem" "$cpus" "$timeout_s"; do
  case "$n" in '' | *[!0-9]*) echo "vm-run: not a number: $n" >&2; exit 2 ;; esac
done
case "$accel" in kvm | tcg | auto) ;; *) echo "vm-run: --accel takes kvm, tcg or auto" >&2; exit 2 ;; esac
for dir in "${shown[@]}"; do
  [ -d "$dir" ] || { echo "vm-run: --show: no such folder: $dir" >&2; exit 2; }
done

qemu=$(command -v qemu-system-x86_64 || true)
if [ -z "$qemu" ]; then
  echo "vm-run: no guest: qemu-system-x86_64 is not installed (Debian package qemu-system-x86)" >&2
  exit 125
fi
if [ -z "$kver" ]; then
  for image in $(ls -1 /boot/vmlinuz-* 2>/dev/null | sort -V -r); do
    v=${image#/boot/vmlinuz-}
    if [ -d "/lib/modules/$v/kernel" ]; then kver=$v; break; fi
  done
fi
if [ -z "$kver" ] || [ ! -r "/boot/vmlinuz-$kver" ] || [ ! -d "/lib/modules/$kver" ]; then
  echo "vm-run: no guest: no kernel with its modules (Debian package linux-image-amd64)" >&2
  exit 125
fi
kernel=/boot/vmlinuz-$kver
moddir=/lib/modules/$kver

cache=${VM_CACHE_DIR:-/var/tmp/vm-run}/$kver
mkdir -p "$cache"
# (Named for its init's version: a cache built by an older copy of this
# script is not taken for one that knows --systemd.)
initrd=$cache/initramfs-3.cpio

# The modules the initramfs loads, each after what it depends on.
wanted_modules=(virtio_pci virtio_blk 9pnet_virtio 9p overlay fuse cuse)
declare -A seen_module=()
ordered_modules=()
add_module() {
  local m=$1 dep deps
  [ -n "${seen_module[$m]:-}" ] && return 0
  seen_module[$m]=1
  # Built into the kernel: nothing to load.
  if ! modinfo -k "$kver" -n "$m" 2>/dev/null | grep -q '\.ko'; then return 0; fi
  deps=$(modinfo -k "$kver" -F depends "$m" | tr ',' ' ')
  for dep in $deps; do add_module "$dep"; done
  ordered_modules+=("$m")
}

build_initramfs() {
  local root=$cache/initramfs.d f lib m path
  rm -rf "$root"
  mkdir -p "$root"/{bin,dev,proc,sys,lower,rw,newroot,lib/modules}
  cp /usr/bin/busybox "$root/bin/busybox"
  # busybox is linked against the C library: bring it and its loader along.
  for lib in $(ldd /usr/bin/busybox | grep -o '/[^ ]*'); do
    mkdir -p "$root$(dirname "$lib")"
    cp -L "$lib" "$root$lib"
  done
  for f in sh mount umount mkdir insmod cat echo sleep reboot chroot ln stty mknod sync switch_root; do
    ln -s busybox "$root/bin/$f"
  done
  for m in "${wanted_modules[@]}"; do add_module "$m"; done
  : >"$root/lib/modules/order"
  for m in "${ordered_modules[@]}"; do
    path=$(modinfo -k "$kver" -n "$m")
    case "$path" in
    *.ko) cp "$path" "$root/lib/modules/$m.ko" ;;
    *.ko.xz) xz -dc "$path" >"$root/lib/modules/$m.ko" ;;
    *.ko.zst) zstd -qdc "$path" >"$root/lib/modules/$m.ko" ;;
    *.ko.gz) gzip -dc "$path" >"$root/lib/modules/$m.ko" ;;
    esac
    echo "$m" >>"$root/lib/modules/order"
  done
  cat >"$root/init" <<'INIT'
#!/bin/sh
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
say() { [ "$vm_verbose" = 1 ] && echo "vm-init: $*"; }
for a in $(cat /proc/cmdline); do
  case "$a" in
  vm_scratch=*) vm_scratch=${a#vm_scratch=} ;;
  vm_verbose=*) vm_verbose=${a#vm_verbose=} ;;
  vm_systemd=*) vm_systemd=${a#vm_systemd=} ;;
  esac
done
for m in $(cat /lib/modules/order); do
  insmod /lib/modules/$m.ko || echo "vm-init: could not load $m"
done
mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=512000,cache=loose hostroot /lower ||
  { echo "vm-init: the host's root cannot be mounted"; reboot -f; }
mount -t tmpfs -o mode=0755 rw /rw
mkdir -p /rw/upper /rw/work
mount -t overlay -o lowerdir=/lower,upperdir=/rw/upper,workdir=/rw/work overlay /newroot ||
  { echo "vm-init: no overlay over the host's root"; reboot -f; }
mount --move /proc /newroot/proc
mount --move /sys /newroot/sys
mount --move /dev /newroot/dev
mkdir -p /newroot/dev/pts /newroot/dev/shm
mount -t devpts -o gid=5,mode=0620,ptmxmode=0666 devpts /newroot/dev/pts
mount -t tmpfs -o mode=1777 shm /newroot/dev/shm
mount -t tmpfs -o mode=1777 tmp /newroot/tmp
mount -t tmpfs -o mode=0755 run /newroot/run
mkdir -p /scratch
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 scratch /scratch ||
  { echo "vm-init: the scratch folder cannot be mounted"; reboot -f; }
# /tmp and /run are the guest's own, fresh; the folders the command needs
# from under them (its working folder, a checkout in /tmp) are shown again as
# the rest of the root is: the host's files with a writable overlay.
n=0
while IFS= read -r folder; do
  [ -n "$folder" ] || continue
  n=$((n + 1))
  mkdir -p "/rw/folder$n/upper" "/rw/folder$n/work" "/newroot$folder"
  mount -t overlay -o "lowerdir=/lower$folder,upperdir=/rw/folder$n/upper,workdir=/rw/folder$n/work" overlay \
    "/newroot$folder" || echo "vm-init: $folder cannot be shown in the guest"
  say "showing $folder"
done </scratch/.vm-run/folders
# Last: the scratch folder may live under any of them.
mkdir -p "/newroot$vm_scratch"
mount --move /scratch "/newroot$vm_scratch" ||
  { echo "vm-init: the scratch folder cannot be mounted"; reboot -f; }
if [ "$vm_systemd" = 1 ]; then
  # The command runs as a service of a target of its own: the basic system
  # and what the command starts, none of the host's services, gettys
  # (they would talk on the console) or timers (apt's would take its lock).
  units=/newroot/etc/systemd/system
  mkdir -p $units
  for u in timers.target getty.target serial-getty@ttyS0.service getty@tty1.service systemd-timesyncd.service; do
    ln -sf /dev/null $units/$u
  done
  cat >$units/vm-run.service <<UNIT
[Unit]
Description=vm-run command
After=basic.target
[Service]
Type=oneshot
StandardInput=null
StandardOutput=tty
StandardError=tty
TTYPath=/dev/ttyS0
ExecStart=/bin/bash $vm_scratch/.vm-run/under-systemd
UNIT
  cat >$units/vm-run.target <<UNIT
[Unit]
Description=vm-run
Requires=basic.target vm-run.service
After=basic.target
AllowIsolate=yes
UNIT
  say "starting systemd"
  exec switch_root /newroot /lib/systemd/systemd systemd.unit=vm-run.target systemd.show_status=0 systemd.log_level=warning
fi
say "running the command"
chroot /newroot /bin/bash "$vm_scratch/.vm-run/command"
echo $? >"/newroot$vm_scratch/.vm-run/status"
sync
reboot -f
INIT
  chmod 755 "$root/init"
  (cd "$root" && find . | busybox cpio -o -H newc 2>/dev/null) >"$initrd.new"
  mv "$initrd.new" "$initrd"
  rm -rf "$root"
}

if [ ! -s "$initrd" ] || [ "$0" -nt "$initrd" ]; then
  build_initramfs
fi

own_scratch=0
if [ -z "$scratch" ]; then
  scratch=$(mktemp -d /tmp/vm-scratch.XXXXXX)
  own_scratch=1
fi
scratch=$(cd "$scratch" && pwd -P)
control=$scratch/.vm-run
rm -rf "$control"
mkdir -p "$control"

# The folders the guest shows under its own /tmp, /run and /dev/shm, one a
# line, none inside another (the outer one shows it already).
guest_folders() {
  local dir other found=()
  for dir in "$PWD" "${shown[@]}"; do
    dir=$(cd "$dir" 2>/dev/null && pwd -P) || continue
    case "$dir" in /tmp/?* | /run/?* | /dev/shm/?*) ;; *) continue ;; esac
    case "$dir" in
    *[,:\\]* | *$'\n'*)
      echo "vm-run: $dir cannot be shown in the guest (a comma, colon or backslash in its path)" >&2
      continue
      ;;
    esac
    found+=("$dir")
  done
  for dir in "${found[@]}"; do
    for other in "${found[@]}"; do
      case "$dir" in "$other"/*) continue 2 ;; esac
    done
    printf '%s\n' "$dir"
  done | sort -u
}
guest_folders >"$control/folders"
cleanup() {
  rm -rf "$control"
  if [ $own_scratch = 1 ]; then rm -rf "$scratch"; fi
}
trap cleanup EXIT

# boot_guest ACCEL TIMEOUT COMMAND...: runs one guest; leaves the command's
# status in $control/status when the guest got that far.
boot_guest() {
  local which=$1 limit=$2 cpu_args=() quiet=(quiet loglevel=0)
  shift 2
  {
    echo "#!/bin/bash"
    echo "export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
    echo "export HOME=/root TERM=dumb LANG=C.UTF-8 VM_SCRATCH=$(printf '%q' "$scratch") VM_ACCEL=$which"
    echo "stty -onlcr 2>/dev/null"
    echo "hostname vm-guest"
    echo "ip link set lo up 2>/dev/null || busybox ip link set lo up"
    echo "cd $(printf '%q' "$PWD") 2>/dev/null || cd /"
    printf '%q ' "$@"
    echo
  } >"$control/command"
  # Under systemd the service ends the guest once the command is done.
  {
    echo "#!/bin/bash"
    echo "/bin/bash $(printf '%q' "$control/command")"
    echo "echo \$? >$(printf '%q' "$control/status")"
    echo "sync"
    echo "systemctl --force --force reboot"
  } >"$control/under-systemd"
  rm -f "$control/status"
  if [ "$which" = kvm ]; then
    cpu_args=(-accel kvm -cpu max)
  else
    cpu_args=(-accel tcg,thread=multi -cpu max)
  fi
  [ $verbose = 1 ] && quiet=()
  "$here/fair-timeout.sh" "$limit" "$qemu" -nodefaults -no-user-config -no-reboot \
    "${cpu_args[@]}" -m "$mem" -smp "$cpus" -display none \
    -chardev stdio,id=console,signal=off -serial chardev:console \
    -chardev null,id=uart1 -device isa-serial,chardev=uart1,index=1 \
    -kernel "$kernel" -initrd "$initrd" \
    -append "console=ttyS0 panic=-1 ${quiet[*]} vm_scratch=$scratch vm_verbose=$verbose vm_systemd=$systemd" \
    -fsdev local,id=hostroot,path=/,security_model=none,readonly=on,multidevs=remap \
    -device virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot \
    -fsdev local,id=scratch,path="$scratch",security_model=none,multidevs=remap \
    -device virtio-9p-pci,fsdev=scratch,mount_tag=scratch </dev/null
}

if [ "$accel" = auto ]; then
  accel=tcg
  if [ -r /dev/kvm ] && [ -w /dev/kvm ]; then
    verdict=$cache/kvm-verdict
    if [ ! -s "$verdict" ]; then
      # A KVM guest may hang early on some hosts: give it a short trial once.
      # (Plainly booted: the trial says whether KVM runs at all.)
      if systemd=0 boot_guest kvm 25 true >/dev/null 2>&1 && [ -s "$control/status" ]; then
        echo kvm >"$verdict"
      else
        echo tcg >"$verdict"
      fi
    fi
    accel=$(cat "$verdict")
    [ "$accel" = tcg ] && echo "vm-run: KVM did not boot a guest on this machine; using TCG (software emulation)" >&2
  else
    echo "vm-run: /dev/kvm cannot be used; using TCG (software emulation)" >&2
  fi
fi
[ "$accel" = kvm ] && echo "vm-run: using KVM" >&2

set +e
boot_guest "$accel" "$timeout_s" "$@"
qemu_status=$?
set -e
if [ -s "$control/status" ]; then
  exit "$(cat "$control/status")"
fi
if [ $qemu_status = 124 ] || [ $qemu_status = 137 ]; then
  echo "vm-run: the guest did not finish within $timeout_s s of running" >&2
  exit 124
fi
echo "vm-run: the guest stopped before the command ended (qemu status $qemu_status)" >&2
exit 125
