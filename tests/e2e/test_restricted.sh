#!/usr/bin/env bash
# End-to-end with a second configuration: DHCP off (enableNatDhcp 0) and an
# external address (extIP 198.51.100.1), with the only guest on the TAP
# itself (the outside comes first: natd binds to the external address).
# natd's DHCP server stays silent, and an [incomingtcp] forward lets
# in only peers from the external address: another peer is closed before
# the guest hears of it.
#
# Usage: bash test_restricted.sh /path/to/natd   (as root)
set -u
. "$(dirname "$0")/lib.sh"

need_tools ping busybox ss
sandbox_init restricted
printf 'enableNatDhcp = 0\nextIP = 198.51.100.1\n[incomingtcp]\n8080 = 10.254.254.10:80\n' >>"$NATD_CONF"
add_outside
ns_host
add_guest g1 02:7D:33:00:00:41 10.254.254.10
bg_in "$SB-g1" socat TCP-LISTEN:80,fork,reuseaddr SYSTEM:'echo $SOCAT_PEERADDR'
wait_listen "$SB-g1" 80

check "natd serves the guest" ' 1 received' in_guest ping -c1 -W2 10.254.254.1
check "udhcpc gets no lease" 'no lease, failing' in_guest timeout 20 busybox udhcpc -i eth0 -f -q -n -t2 -T1 -s /bin/true
check "the forward is listed with the allowed peer" \
  '261-fd [0-9]+, from 198\.51\.100\.1:\* via port 8080 to 10\.254\.254\.10:80 \(persistent\)' ctl_cmd CONNS
check "a peer other than 198.51.100.1 never reaches the guest" '!198\.51\.100' \
  in_outside socat -u TCP:198.51.100.1:8080 STDOUT
check "the peer 198.51.100.1 reaches the guest" '^198\.51\.100\.1$' \
  in_host socat -u TCP:198.51.100.1:8080,bind=198.51.100.1 STDOUT
