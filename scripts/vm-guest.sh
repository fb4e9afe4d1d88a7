#!/usr/bin/env bash
# A small Linux virtual machine for natd's unix: device (as root).
#
#   scripts/vm-guest.sh build DIR [SCRIPT]
#       Puts a kernel and an initramfs into DIR. The kernel comes from
#       Debian's cloud kernel package (apt-get download + dpkg-deb -x into
#       /var/cache/natd-test; nothing is installed), the initramfs holds
#       busybox-static and the virtio-net modules. The VM brings eth0 up,
#       asks for an address by DHCP, then runs SCRIPT (a busybox sh script)
#       if one was given, else a shell on the console.
#   scripts/vm-guest.sh run DIR NATD_SOCKET [MAC] [CONSOLE_FILE]
#       Boots it with QEMU (TCG), its NIC (virtio, MAC default
#       02:7d:33:00:00:20) on natd's unix:NATD_SOCKET through QEMU's
#       datagram backend; the console goes to CONSOLE_FILE, else to the
#       terminal (leave with Ctrl-A X).
set -euo pipefail

die() { echo "vm-guest: $*" >&2; exit 1; }
CACHE=/var/cache/natd-test

kernel_pkg() {
  apt-cache depends linux-image-cloud-amd64 2>/dev/null |
    sed -n 's/.*Depends: \(linux-image-[0-9].*\)/\1/p' | head -n1
}

build() {
  local dir=$1 script=${2:-} pkg kdir ird m
  mkdir -p "$dir" "$CACHE"
  pkg=$(kernel_pkg)
  [ -n "$pkg" ] || { apt-get update -qq >/dev/null 2>&1; pkg=$(kernel_pkg); }
  [ -n "$pkg" ] || die "no kernel package behind linux-image-cloud-amd64"
  kdir="$CACHE/$pkg"
  if [ ! -d "$kdir" ]; then
    local tmp
    tmp=$(mktemp -d)
    (cd "$tmp" && apt-get download "$pkg" >/dev/null 2>&1) || die "apt-get download $pkg failed"
    dpkg-deb -x "$tmp"/"$pkg"_*.deb "$kdir.tmp" && mv "$kdir.tmp" "$kdir"
    rm -rf "$tmp"
  fi
  cp "$(ls "$kdir"/boot/vmlinuz-* | head -n1)" "$dir/vmlinuz"
  case $(ldd /bin/busybox 2>&1) in
    *"not a dynamic"*) ;;
    *) die "/bin/busybox is not static (busybox-static)" ;;
  esac

  ird=$(mktemp -d)
  mkdir -p "$ird"/{bin,proc,sys,dev,tmp,lib}
  cp /bin/busybox "$ird/bin/busybox"
  MODS=()
  for m in virtio_pci virtio_net; do add_module "$kdir" "$ird" "$m"; done
  printf '%s\n' "${MODS[@]}" >"$ird/modules"
  cat >"$ird/udhcpc.sh" <<'SH'
#!/bin/busybox sh
[ "$1" = bound ] || exit 0
ip addr add "$ip/$mask" dev "$interface"
ip route add default via "$router"
echo "nameserver $dns" >/etc/resolv.conf
SH
  cat >"$ird/init" <<'SH'
#!/bin/busybox sh
/bin/busybox --install -s /bin
mkdir -p /etc
mount -t proc proc /proc; mount -t sysfs sys /sys; mount -t devtmpfs dev /dev
for m in $(cat /modules); do insmod /lib/$m || echo "VM-FAIL insmod $m"; done
ip link set lo up; ip link set eth0 up
udhcpc -i eth0 -q -n -t 10 -T 2 -s /udhcpc.sh >/dev/null 2>&1 &&
  echo "VM-DHCP $(ip -4 -o addr show eth0 | awk '{print $4}')"
[ -f /guest.sh ] && exec sh /guest.sh
exec setsid cttyhack sh
SH
  [ -z "$script" ] || cp "$script" "$ird/guest.sh"
  chmod +x "$ird/init" "$ird/udhcpc.sh"
  (cd "$ird" && find . | cpio -o -H newc 2>/dev/null | gzip -1) >"$dir/initrd.gz"
  rm -rf "$ird"
  echo "$pkg: ${MODS[*]}"
}

# Copies module NAME into the initramfs, its dependencies (modinfo) first.
add_module() {
  local kdir=$1 ird=$2 f dep
  f=$(find "$kdir/lib/modules" -name "$3.ko*" | head -n1)
  [ -n "$f" ] || die "module $3 not in the kernel package"
  for dep in $(modinfo -F depends "$f" | tr ',' ' '); do add_module "$kdir" "$ird" "$dep"; done
  [[ " ${MODS[*]} " == *" $(basename "$f") "* ]] && return
  cp "$f" "$ird/lib/"
  MODS+=("$(basename "$f")")
}

run() {
  local dir=$1 sock=$2 mac=${3:-02:7d:33:00:00:20} console=${4:-}
  local serial=(-serial mon:stdio)
  [ -z "$console" ] || serial=(-serial "file:$console" -monitor none)
  exec qemu-system-x86_64 -accel tcg -cpu max -m 256 -nographic -no-reboot -nodefaults \
    -kernel "$dir/vmlinuz" -initrd "$dir/initrd.gz" -append "console=ttyS0 quiet loglevel=1 panic=-1" \
    "${serial[@]}" \
    -netdev "dgram,id=n0,local.type=unix,local.path=$dir/vm.sock,remote.type=unix,remote.path=$sock" \
    -device "virtio-net-pci,netdev=n0,mac=$mac"
}

case ${1:-} in
  build) [ $# -ge 2 ] || die "usage: $0 build DIR [SCRIPT]"; shift; build "$@" ;;
  run) [ $# -ge 3 ] || die "usage: $0 run DIR NATD_SOCKET [MAC] [CONSOLE_FILE]"; shift; run "$@" ;;
  *) die "usage: $0 build DIR [SCRIPT] | run DIR NATD_SOCKET [MAC] [CONSOLE_FILE]" ;;
esac
