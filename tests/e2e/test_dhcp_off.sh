#!/usr/bin/env bash
# End-to-end: with enableNatDhcp 0 (the default) natd's DHCP server stays
# silent. A guest that natd otherwise serves (it answers the guest's ping)
# gets no lease from udhcpc, and no UDP datagram from the gateway reaches
# the guest while udhcpc asks.
#
# Usage: bash test_dhcp_off.sh /path/to/natd   (as root)
set -u
. "$(dirname "$0")/lib.sh"

need_tools busybox
sandbox_init dhcpoff
printf 'enableNatDhcp = 0\n' >>"$NATD_CONF"
ns_host
add_guest g1 02:7D:33:00:00:41 10.254.254.41

step "natd serves the guest"
in_guest ping -c 1 -W 2 10.254.254.1 >/dev/null || fail "the gateway does not answer ping"
pass "the gateway answers ping"

step "udhcpc gets no answer"
in_guest ip addr flush dev eth0 || fail "flush"
printf '#!/bin/sh\nexit 0\n' >"$SB_TMP/udhcpc.sh"
chmod +x "$SB_TMP/udhcpc.sh"
frames=$(sniff_frames "$GUEST_NS" eth0 8 timeout 8 busybox udhcpc -i eth0 -f -q -n -t 3 -T 2 -s "$SB_TMP/udhcpc.sh")
from_gateway=$(echo "$frames" | awk '$2 == "10.254.254.1" && $4 == 17')
[ -z "$from_gateway" ] || fail "UDP from the gateway with the server off: $from_gateway"
in_guest timeout 10 busybox udhcpc -i eth0 -f -q -n -t 2 -T 1 -s "$SB_TMP/udhcpc.sh" >/dev/null 2>&1 &&
  fail "udhcpc obtained a lease with enableNatDhcp 0"
pass "no DHCP reply"

natd_alive
pass "test_dhcp_off"
