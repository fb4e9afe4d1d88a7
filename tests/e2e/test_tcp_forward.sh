#!/usr/bin/env bash
# End-to-end incoming TCP forwarding ([incomingtcp] hostport = guest:port):
#  - an outside client reaches a guest service through natd's host port,
#    the guest sees the client's own address, data flows both ways intact,
#    and the control port lists the listener and the relayed connection;
#  - a client on the host's loopback is seen by the guest as the gateway;
#  - with extIP configured, only peers from that address are let in: a
#    client from another address is closed before the guest hears of it.
#
# Usage: bash test_tcp_forward.sh /path/to/natd   (as root)
set -u
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/tcp_lib.sh"

tcp_sandbox forward $'[incomingtcp]\n8080 = 10.254.254.10:80\n'

step "guest service on port 80, forwarded from host port 8080"
in_guest_bg tcp_peer greet-server --port 80 --conns 10 --timeout 60 --peers "$TCP_TMP/peers"
tcp_wait_listen guest 80
listener=$(ctl_conns | grep '^261-')
[[ $listener =~ ^261-fd\ [0-9]+,\ from\ \*:\*\ via\ port\ 8080\ to\ 10\.254\.254\.10:80\ \(persistent\)$ ]] ||
  fail "accept table line: '$listener'"
pass "listener listed: $listener"

step "an outside client reaches the guest service"
in_outside_bg_to "$TCP_TMP/out1.log" tcp_peer greet-client 198.51.100.1 8080 --size 2000000 --pause 2 --timeout 30
client=$BG_PID
tcp_wait_conns 'from 10\.254\.254\.10/80 to 198\.51\.100\.2/[0-9]+ state 1$' 10 ||
  fail "relayed connection not listed as established"
wait "$client" || fail "outside client: $(cat "$TCP_TMP/out1.log")"
grep -q '^seen as 198\.51\.100\.2:' "$TCP_TMP/out1.log" || fail "guest saw: $(cat "$TCP_TMP/out1.log")"
pass "$(cat "$TCP_TMP/out1.log")"

step "a client on the host's loopback is seen as the gateway"
out=$(in_host tcp_peer greet-client 127.0.0.1 8080 --timeout 20) || fail "loopback client: $out"
[[ $out == "seen as 10.254.254.1:"* ]] || fail "loopback client: $out"
pass "$out"
tcp_wait_conns_gone 'from 10\.254\.254\.10/80 ' 10 || fail "forwarded connections still listed after closing"

step "with extIP = 198.51.100.1 only that peer address is let in"
tcp_restart_natd $'[host]\nextIP = 198.51.100.1\n[incomingtcp]\n8080 = 10.254.254.10:80\n'
listener=$(ctl_conns | grep '^261-')
[[ $listener == *"from 198.51.100.1:* via port 8080 to 10.254.254.10:80 (persistent)"* ]] ||
  fail "accept table line with extIP: '$listener'"
peers_before=$(wc -l <"$TCP_TMP/peers")
out=$(in_outside tcp_peer greet-client 198.51.100.1 8080 --timeout 10)
rc=$?
[ "$rc" -eq 3 ] || fail "client from 198.51.100.2 was not refused (rc $rc): $out"
sleep 0.5
[ "$(wc -l <"$TCP_TMP/peers")" -eq "$peers_before" ] || fail "the guest was reached by a refused peer"
pass "peer 198.51.100.2 refused: $out"
out=$(in_host tcp_peer greet-client 198.51.100.1 8080 --source 198.51.100.1 --timeout 20) ||
  fail "client from 198.51.100.1: $out"
[[ $out == "seen as 198.51.100.1:"* ]] || fail "allowed client: $out"
pass "peer 198.51.100.1 let in, $out"

tcp_stop_natd
pass "test_tcp_forward"
