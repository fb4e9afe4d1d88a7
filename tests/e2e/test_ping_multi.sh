#!/usr/bin/env bash
# End-to-end ping with two guests on a bridge (a virtual switch joining
# natd's TAP and one veth per guest) and a router between the host and the
# outside namespace: both guests ping the same outside host at once and
# each gets only its own replies; traceroute -I shows the gateway, the
# router (an error from the outside world translated back) and the
# destination.
#
# Usage: bash test_ping_multi.sh /path/to/natd   (as root)
set -u
. "$(dirname "$0")/lib.sh"

need_tools ping traceroute
sandbox_init pingm
ns_host
use_bridge
add_guest g1 02:7D:33:00:00:21 10.254.254.21
add_guest g2 02:4E:A1:00:00:22 10.254.254.22
add_router

received() { sed -n 's/.* \([0-9]*\) received.*/\1/p'; }

step "both guests resolve and ping the gateway"
for g in g1 g2; do
  out=$(in_guest_ns $g ping -c 2 -i 0.2 -W 2 10.254.254.1) || fail "$g: ping of the gateway: $out"
  mac=$(in_guest_ns $g ip neigh show 10.254.254.1 dev eth0 | awk '{print $3}')
  [ "$mac" = "$GATEWAY_MAC" ] || fail "$g: gateway at '$mac', want '$GATEWAY_MAC'"
done
pass "gateway answers both guests"

step "two guests ping the same outside host at the same time"
in_guest_ns g1 ping -c 20 -i 0.05 -W 2 -p 11 203.0.113.10 >"$SB_TMP/g1.ping" 2>&1 &
p1=$!
in_guest_ns g2 ping -c 20 -i 0.05 -W 2 -p 22 203.0.113.10 >"$SB_TMP/g2.ping" 2>&1 &
p2=$!
wait $p1 || fail "g1: $(cat "$SB_TMP/g1.ping")"
wait $p2 || fail "g2: $(cat "$SB_TMP/g2.ping")"
for g in g1 g2; do
  out=$(cat "$SB_TMP/$g.ping")
  [ "$(echo "$out" | received)" = 20 ] || fail "$g: $out"
  echo "$out" | grep -qiE 'wrong data|DUP' && fail "$g got replies that were not its own: $out"
done
pass "20 of 20 each, no foreign or duplicate replies"

step "traceroute -I through the router"
out=$(in_guest_ns g1 traceroute -I -n -q 1 -w 2 -m 5 203.0.113.10 2>&1) || fail "traceroute failed: $out"
echo "$out"
hop() { echo "$out" | awk -v h="$1" '$1 == h {print $2}'; }
[ "$(hop 1)" = 10.254.254.1 ] || fail "hop 1: got '$(hop 1)', want 10.254.254.1"
[ "$(hop 2)" = 192.0.2.2 ] || fail "hop 2: got '$(hop 2)', want the router 192.0.2.2"
[ "$(hop 3)" = 203.0.113.10 ] || fail "hop 3: got '$(hop 3)', want 203.0.113.10"
pass "gateway, router, destination"

step "ping -t 2 is answered by the router with time exceeded"
out=$(in_guest_ns g2 ping -c 1 -W 2 -t 2 203.0.113.10 2>&1)
echo "$out" | grep -q 'From 192.0.2.2 icmp_seq=1 Time to live exceeded' || fail "no time exceeded from the router: $out"
pass "Time to live exceeded from 192.0.2.2 reached g2"

natd_alive
pass "test_ping_multi"
