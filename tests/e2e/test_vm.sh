#!/usr/bin/env bash
# A real virtual machine as the guest, on natd's unix: device: QEMU (TCG)
# boots a Debian kernel with an initramfs of busybox-static and the
# virtio-net modules, both made by scripts/vm-guest.sh. The VM gets its
# address by DHCP, pings the gateway and an outside host, fetches a page,
# downloads 1 MiB (checked by its MD5) at the kernel's
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
need_tools qemu-system-x86_64 apt-get dpkg-deb modinfo cpio curl md5sum
[ -x "$NATCTL" ] || fail "natctl not built beside natd: $NATCTL"
VM_GUEST="$(dirname "$0")/../../scripts/vm-guest.sh"

step "kernel and initramfs (scripts/vm-guest.sh build)"
cat >"$SB_TMP/guest.sh" <<'SH'
now() { read up _ </proc/uptime; echo "${up%.*}${up#*.}0"; }   # milliseconds
ping -c1 -W5 10.254.254.1 >/dev/null && echo VM-PING-GATEWAY
ping -c1 -W5 198.51.100.2 >/dev/null && echo VM-PING-OUTSIDE
# (this busybox's wget crashes with -T or -O -: plain file downloads only)
wget -q -O /tmp/page http://198.51.100.2:8000/page.txt && echo "VM-PAGE $(cat /tmp/page)"
t0=$(now)
wget -q -O /tmp/big http://198.51.100.2:8000/big.bin
t1=$(now)
echo "VM-DOWNLOAD $(wc -c </tmp/big) $(md5sum </tmp/big | cut -d' ' -f1) $((t1 - t0))"
mkdir -p /www && echo vm-served-page >/www/index.html
httpd -p 80 -h /www && echo VM-SERVING
sleep 600
SH
VM="$SB_TMP/vm"
built=$(bash "$VM_GUEST" build "$VM" "$SB_TMP/guest.sh") || fail "vm-guest.sh build"
pass "$built"

step "natd on unix:, outside web server, the VM boots"
printf 'enableNatDhcp = 1\n[incomingtcp]\n8080 = 10.254.254.128:80\n' >>"$NATD_CONF"
DEV_SOCK="$SB_TMP/natd.sock"
NATD_DEV="unix:$DEV_SOCK" ns_host
add_outside
mkdir -p "$SB_TMP/www"
echo "outside-page-$$" >"$SB_TMP/www/page.txt"
head -c 1048576 /dev/urandom >"$SB_TMP/www/big.bin"
BIG_MD5=$(md5sum <"$SB_TMP/www/big.bin" | cut -d' ' -f1)
bg_in "$NS_OUT" python3 -m http.server 8000 --bind 198.51.100.2 --directory "$SB_TMP/www" >/dev/null 2>&1
wait_listen "$NS_OUT" 8000
CONSOLE="$SB_TMP/console.log"
# QEMU runs in natd's namespace: a fresh one, so its UNIX datagram queue
# length is the kernel's default (10).
bg_in "$NS_HOST" bash "$VM_GUEST" run "$VM" "$DEV_SOCK" 02:7d:33:00:00:20 "$CONSOLE"
for _ in $(seq 1 2400); do
  grep -q 'VM-SERVING\|VM-FAIL\|Kernel panic' "$CONSOLE" 2>/dev/null && break
  sleep 0.1
done
grep -q VM-SERVING "$CONSOLE" || fail "VM did not finish its steps; console: $(tail -n 30 "$CONSOLE")"
check "the VM: DHCP, pings of the gateway and an outside host, a page, 1 MiB (its MD5), then serving" \
  "VM-DHCP 10\.254\.254\.128/24
VM-PING-GATEWAY
VM-PING-OUTSIDE
VM-PAGE outside-page-$$
VM-DOWNLOAD 1048576 $BIG_MD5 [0-9]+
VM-SERVING" eval "tr -d '\r' <'$CONSOLE' | grep -o 'VM-.*'"
check "an outside client reaches the VM's server through the forward" '^vm-served-page$' \
  in_outside curl -sS --max-time 20 http://198.51.100.1:8080/
check "at most 5 TCP retransmissions over the whole run" 'natd_tcp_retransmissions_total [0-5]($|[[:space:]])' \
  in_host "$NATCTL" -p "$NATD_PID" --prometheus
