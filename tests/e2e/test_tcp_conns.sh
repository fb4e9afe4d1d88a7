#!/usr/bin/env bash
# End-to-end TCP connection handling through natd:
#  - 200 concurrent connections from one guest, each moving its own data
#    through an outside echo server; the control port lists all of them
#    while they are open and none once they are closed;
#  - a connection to a closed outside port is refused (RST once the host
#    connect fails), and leaves no entry behind;
#  - connections to port 514, to a listed [PrivilegedTCP] port and from a
#    guest port below 1024 (autodetect) get privileged host ports;
#  - a connection to the gateway address reaches a server on the host
#    namespace's 127.0.0.1;
#  - half-close in both orders with data flowing after the first FIN;
#  - an outside peer that aborts makes the guest see a reset;
#  - one-byte keep-alive probes from the guest turn on keep-alive, with the
#    guest's idle time, on natd's host socket (seen with ss -o).
#
# Usage: bash test_tcp_conns.sh /path/to/natd   (as root)
set -u
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/tcp_lib.sh"

tcp_sandbox conns $'[PrivilegedTCP]\nport = 2049\nautodetect = 1\n'

step "200 concurrent connections, 64 KiB each way"
in_outside_bg tcp_peer echo-server --port 7000 --conns 200 --timeout 90
tcp_wait_listen outside 7000
in_guest_bg_to "$TCP_TMP/many.log" tcp_peer many 198.51.100.2 7000 --n 200 --size 65536 \
  --release "$TCP_TMP/release" --timeout 90
many_pid=$BG_PID
for _ in $(seq 600); do
  grep -q '^ready' "$TCP_TMP/many.log" && break
  kill -0 "$many_pid" 2>/dev/null || break
  sleep 0.1
done
grep -q '^ready 200' "$TCP_TMP/many.log" || fail "concurrent echo: $(cat "$TCP_TMP/many.log")"
open=$(tcp_count_conns 'to 198\.51\.100\.2/7000 state 1$' 'from 10\.254\.254\.10/')
[ "$open" -eq 200 ] || fail "CONNS lists $open established connections to the echo server, want 200"
pass "200 connections intact, all 200 listed in state 1"
touch "$TCP_TMP/release"
wait "$many_pid" || fail "closing the 200 connections: $(cat "$TCP_TMP/many.log")"
grep -q '^ok 200' "$TCP_TMP/many.log" || fail "closing: $(cat "$TCP_TMP/many.log")"
tcp_wait_conns_gone 'to 198\.51\.100\.2/7000 ' 15 || fail "connections still listed after closing"
pass "all 200 closed and gone from CONNS"

step "a closed outside port is refused"
out=$(in_guest tcp_peer refused 198.51.100.2 7999 --timeout 10) || fail "closed port: $out"
tcp_wait_conns_gone 'to 198\.51\.100\.2/7999 ' 5 || fail "refused connection still listed"
pass "closed port: $out"

step "privileged source ports: 514 always, 2049 listed, guest port 700 with autodetect"
# natd's privileged port counter runs 1023, 1022, ... across connections.
in_outside_bg tcp_peer greet-server --port 514 --conns 1 --timeout 30
in_outside_bg tcp_peer greet-server --port 2049 --conns 1 --timeout 30
in_outside_bg tcp_peer greet-server --port 7010 --conns 2 --timeout 30
for p in 514 2049 7010; do tcp_wait_listen outside $p; done
want_seen() {  # expected "seen as" address:port, then the client's arguments
  local want=$1 out
  shift
  out=$(in_guest tcp_peer greet-client "$@" --size 1000 --timeout 10) || fail "$*: $out"
  [[ $out == "seen as $want,"* ]] || fail "$*: $out (want seen as $want)"
  echo "$out"
}
want_seen 198.51.100.1:1023 198.51.100.2 514 >/dev/null
want_seen 198.51.100.1:1022 198.51.100.2 2049 >/dev/null
want_seen 198.51.100.1:1021 198.51.100.2 7010 --sport 700 >/dev/null
out=$(in_guest tcp_peer greet-client 198.51.100.2 7010 --size 1000 --timeout 10) || fail "$out"
port=${out#seen as 198.51.100.1:}
port=${port%%,*}
[ "$port" -ge 1024 ] || fail "an ordinary connection got the privileged port $port"
pass "outside saw ports 1023, 1022, 1021, then an ordinary $port"

step "the gateway address reaches 127.0.0.1 on the host"
mkdir -p "$TCP_TMP/local"
echo "served on the host's loopback $$" >"$TCP_TMP/local/index.html"
tcp_host_loopback_server 8001 "$TCP_TMP/local"
page=$(in_guest curl -sS --max-time 10 http://10.254.254.1:8001/index.html) || fail "curl to the gateway failed"
[ "$page" = "served on the host's loopback $$" ] || fail "gateway page: got '$page'"
pass "gateway address relayed to the host's 127.0.0.1"

step "half-close: the guest's FIN first, data from the outside after it"
in_outside_bg tcp_peer half-server --port 7002 --order guest-first --size 300000 --timeout 30
tcp_wait_listen outside 7002
out=$(in_guest tcp_peer half-client 198.51.100.2 7002 --order guest-first --size 300000) || fail "$out"
pass "$out"

step "half-close: the outside's FIN first, data from the guest after it"
in_outside_bg tcp_peer half-server --port 7003 --order host-first --size 300000 --timeout 30 \
  --result "$TCP_TMP/half.result"
tcp_wait_listen outside 7003
out=$(in_guest tcp_peer half-client 198.51.100.2 7003 --order host-first --size 300000) || fail "$out"
sent=${out##* }
for _ in $(seq 50); do [ -s "$TCP_TMP/half.result" ] && break; sleep 0.1; done
[ "$(cat "$TCP_TMP/half.result" 2>/dev/null)" = "$sent" ] ||
  fail "outside received $(cat "$TCP_TMP/half.result" 2>/dev/null), guest sent $sent"
pass "data after the outside's FIN arrived intact"

step "an outside peer that aborts makes the guest see a reset"
in_outside_bg tcp_peer reset-server --port 7001 --timeout 30
tcp_wait_listen outside 7001
out=$(in_guest tcp_peer expect-reset 198.51.100.2 7001 --timeout 10) || fail "$out"
tcp_wait_conns_gone 'to 198\.51\.100\.2/7001 ' 5 || fail "reset connection still listed"
pass "$out"

step "guest keep-alive probes become keep-alive on the host socket"
in_outside_bg tcp_peer echo-server --port 7004 --timeout 40
tcp_wait_listen outside 7004
in_guest_bg_to "$TCP_TMP/ka.log" tcp_peer keepalive 198.51.100.2 7004 --iface "$(tcp_guest_iface)" \
  --idle 3 --probes 1 --hold 4
ka_pid=$BG_PID
sleep 1
before=$(in_host ss -tno state established '( dport = :7004 )' | tail -n +2)
[ -n "$before" ] || fail "no host socket to 198.51.100.2:7004 in natd's namespace"
case $before in *keepalive*) fail "keep-alive on before any probe: $before" ;; esac
for _ in $(seq 100); do grep -q '^probed 1' "$TCP_TMP/ka.log" && break; sleep 0.1; done
grep -q '^probed 1' "$TCP_TMP/ka.log" || fail "probe not sent: $(cat "$TCP_TMP/ka.log")"
sleep 0.3
after=$(in_host ss -tno state established '( dport = :7004 )' | tail -n +2)
ms=$(tcp_keepalive_ms "$after")
[ -n "$ms" ] || fail "no keep-alive timer on the host socket after the probe: $after"
# The guest was idle about 3 s: the host's keep-alive time follows it
# (the host default would be two hours).
[ "$ms" -gt 0 ] && [ "$ms" -le 4000 ] || fail "keep-alive timer ${ms} ms, want the guest's idle time (about 3 s)"
wait "$ka_pid" || fail "keep-alive connection: $(cat "$TCP_TMP/ka.log")"
pass "host socket keep-alive after the probe: $ms ms left"

tcp_stop_natd
pass "test_tcp_conns"
