#!/usr/bin/env bash
# A real virtual machine as the guest, on natd's unix: device: QEMU (TCG)
# boots a Debian kernel taken from its package (apt-get download and
# dpkg-deb -x, cached in /var/cache/natd-test; nothing is installed) with an
# initramfs the test builds from busybox-static and the virtio-net modules.
# The VM gets its address by DHCP, pings the gateway and an outside host,
# fetches a page, downloads 1 MiB (checked by its MD5) at the kernel's
# default queue length for UNIX datagram sockets, and serves a page that an
# outside client reaches through an [incomingtcp] forward. natd's TCP
# retransmission counter stays at a handful over the whole run: frames the
# VM's socket cannot take yet wait in natd instead of being lost.
#
# Usage: bash test_vm.sh /path/to/natd   (natctl beside it; as root)
set -u
. "$(dirname "$0")/lib.sh"

NATCTL="$(dirname "${1:-.}")/natctl"
sandbox_init vm
need_tools qemu-system-x86_64 apt-get apt-cache dpkg-deb modinfo cpio gzip curl md5sum
[ -x "$NATCTL" ] || fail "natctl not built beside natd: $NATCTL"
ldd /bin/busybox 2>&1 | grep -q 'not a dynamic' || fail "/bin/busybox is not static (busybox-static)"
MAX_RETRANS=5

step "kernel from its Debian package, initramfs with busybox and virtio-net"
CACHE=/var/cache/natd-test
mkdir -p "$CACHE"
kernel_pkg() {
  apt-cache depends linux-image-cloud-amd64 2>/dev/null | sed -n 's/.*Depends: \(linux-image-[0-9].*\)/\1/p' | head -n1
}
pkg=$(kernel_pkg)
[ -n "$pkg" ] || { apt-get update -qq >/dev/null 2>&1; pkg=$(kernel_pkg); }
[ -n "$pkg" ] || fail "no kernel package behind linux-image-cloud-amd64 (apt-get update?)"
if [ ! -d "$CACHE/$pkg" ]; then
  (cd "$SB_TMP" && apt-get download "$pkg" >/dev/null 2>&1) || fail "apt-get download $pkg"
  dpkg-deb -x "$SB_TMP"/"$pkg"_*.deb "$CACHE/$pkg.tmp" && mv "$CACHE/$pkg.tmp" "$CACHE/$pkg" || fail "unpack $pkg"
fi
KDIR="$CACHE/$pkg"
VMLINUZ=$(ls "$KDIR"/boot/vmlinuz-* 2>/dev/null | head -n1)
[ -f "$VMLINUZ" ] || fail "no kernel image in $pkg"

IRD="$SB_TMP/initrd"
mkdir -p "$IRD"/{bin,proc,sys,dev,tmp,www,lib}
cp /bin/busybox "$IRD/bin/busybox"
MODS=()
add_module() {  # name: its dependencies first, each module once
  local f dep
  f=$(find "$KDIR/lib/modules" -name "$1.ko*" | head -n1)
  [ -n "$f" ] || fail "module $1 not in $pkg"
  for dep in $(modinfo -F depends "$f" | tr ',' ' '); do add_module "$dep"; done
  [[ " ${MODS[*]} " == *" $(basename "$f") "* ]] && return
  cp "$f" "$IRD/lib/" && MODS+=("$(basename "$f")")
}
add_module virtio_pci
add_module virtio_net
printf '%s\n' "${MODS[@]}" >"$IRD/modules"
cat >"$IRD/udhcpc.sh" <<'SH'
#!/bin/busybox sh
[ "$1" = bound ] || exit 0
ip addr add "$ip/$mask" dev "$interface"
ip route add default via "$router"
SH
cat >"$IRD/init" <<'SH'
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc; mount -t sysfs sys /sys; mount -t devtmpfs dev /dev
for m in $(cat /modules); do insmod /lib/$m || echo "VM-FAIL insmod $m"; done
ip link set lo up; ip link set eth0 up
now() { read up _ </proc/uptime; echo "${up%.*}${up#*.}0"; }   # milliseconds
udhcpc -i eth0 -q -n -t 10 -T 2 -s /udhcpc.sh && echo "VM-DHCP $(ip -4 -o addr show eth0 | awk '{print $4}')"
ping -c1 -W5 10.254.254.1 >/dev/null && echo VM-PING-GATEWAY
ping -c1 -W5 198.51.100.2 >/dev/null && echo VM-PING-OUTSIDE
# (this busybox's wget crashes with -T or -O -: plain file downloads only)
wget -q -O /tmp/page http://198.51.100.2:8000/page.txt && echo "VM-PAGE $(cat /tmp/page)"
t0=$(now)
wget -q -O /tmp/big http://198.51.100.2:8000/big.bin
t1=$(now)
echo "VM-DOWNLOAD $(wc -c </tmp/big) $(md5sum </tmp/big | cut -d' ' -f1) $((t1 - t0))"
echo vm-served-page >/www/index.html
httpd -p 80 -h /www && echo VM-SERVING
sleep 600
SH
chmod +x "$IRD/init" "$IRD/udhcpc.sh"
(cd "$IRD" && find . | cpio -o -H newc 2>/dev/null | gzip -1) >"$SB_TMP/initrd.gz" || fail "initramfs"
pass "$pkg, modules: ${MODS[*]}"

step "natd on unix:, outside web server, the VM boots"
printf 'enableNatDhcp = 1\n[incomingtcp]\n8080 = 10.254.254.128:80\n' >>"$NATD_CONF"
DEV_SOCK="$SB_TMP/natd.sock"
setsid ip netns exec "$NS_HOST" "$NATD" -c "$NATD_CONF" -m "$NATD_MACFILE" "unix:$DEV_SOCK" \
  >"$SB_TMP/natd.out" 2>"$SB_TMP/natd.err" &
NATD_PID=$!
CTL_SOCK="/var/run/qlnat.$NATD_PID"
for _ in $(seq 1 100); do [ -S "$CTL_SOCK" ] && [ -S "$DEV_SOCK" ] && break; sleep 0.05; done
[ -S "$DEV_SOCK" ] || fail "natd did not start"
add_outside
mkdir -p "$SB_TMP/www"
echo "outside-page-$$" >"$SB_TMP/www/page.txt"
head -c 1048576 /dev/urandom >"$SB_TMP/www/big.bin"
BIG_MD5=$(md5sum <"$SB_TMP/www/big.bin" | cut -d' ' -f1)
bg_in "$NS_OUT" python3 -m http.server 8000 --bind 198.51.100.2 --directory "$SB_TMP/www" >/dev/null 2>&1
for _ in $(seq 1 200); do in_outside bash -c '</dev/tcp/198.51.100.2/8000' 2>/dev/null && break; sleep 0.1; done
CONSOLE="$SB_TMP/console.log"
# QEMU runs in natd's namespace: a fresh one, so its UNIX datagram queue
# length is the kernel's default.
qlen=$(in_host cat /proc/sys/net/unix/max_dgram_qlen)
bg_in "$NS_HOST" qemu-system-x86_64 -accel tcg -m 256 -nographic -no-reboot -nodefaults \
  -cpu max -kernel "$VMLINUZ" -initrd "$SB_TMP/initrd.gz" -append "console=ttyS0 quiet panic=-1" \
  -serial "file:$CONSOLE" -monitor none \
  -netdev "dgram,id=n0,local.type=unix,local.path=$SB_TMP/vm.sock,remote.type=unix,remote.path=$DEV_SOCK" \
  -device virtio-net-pci,netdev=n0,mac=02:7d:33:00:00:20
wait_console() {  # pattern, seconds
  local i
  for i in $(seq 1 $(($2 * 10))); do
    grep -q -- "$1" "$CONSOLE" 2>/dev/null && return 0
    grep -q 'VM-FAIL\|Kernel panic' "$CONSOLE" 2>/dev/null && break
    sleep 0.1
  done
  fail "VM did not print '$1'; console:
$(tail -n 30 "$CONSOLE" 2>/dev/null)"
}
wait_console VM-SERVING 240
natd_alive
tr -d '\r' <"$CONSOLE" | grep '^VM-'
pass "VM booted and ran its steps (queue length $qlen)"

step "DHCP, pings, page, 1 MiB download"
vm() { tr -d '\r' <"$CONSOLE" | grep "^$1" | head -n1; }
[ "$(vm VM-DHCP)" = "VM-DHCP 10.254.254.128/24" ] || fail "DHCP: '$(vm VM-DHCP)'"
[ -n "$(vm VM-PING-GATEWAY)" ] || fail "no echo reply from the gateway"
[ -n "$(vm VM-PING-OUTSIDE)" ] || fail "no echo reply from outside"
[ "$(vm VM-PAGE)" = "VM-PAGE outside-page-$$" ] || fail "page: '$(vm VM-PAGE)'"
read -r _ size md5 ms <<<"$(vm VM-DOWNLOAD)"
[ "$size" = 1048576 ] && [ "$md5" = "$BIG_MD5" ] || fail "download: $(vm VM-DOWNLOAD)"
pass "1 MiB into the VM in ${ms} ms"

step "an outside client reaches the VM's server through the forward"
page=$(in_outside curl -sS --max-time 20 http://198.51.100.1:8080/) || fail "forwarded fetch failed"
[ "$page" = vm-served-page ] || fail "forwarded page: '$page'"
pass "forward into the VM"

step "at most $MAX_RETRANS TCP retransmissions over the whole run"
retrans=$(in_host "$NATCTL" -p "$NATD_PID" --prometheus | sed -n 's/^natd_tcp_retransmissions_total //p')
[ -n "$retrans" ] || fail "no retransmission counter"
[ "$retrans" -le "$MAX_RETRANS" ] || fail "$retrans retransmissions"
pass "$retrans retransmissions"
