#!/usr/bin/env bash
# End-to-end UDP NAT: a guest behind natd talks to real UDP services in the
# outside namespace (behind a router): a socat echo server, two outside
# hosts answering one guest socket, dig against a dnsmasq, traceroute in its
# default UDP mode (time exceeded and port unreachable translated back), a
# closed port refusing a connected socket, and an [incomingudp] forward
# through which an outside client reaches a guest service.
#
# Usage: bash test_udp_nat.sh /path/to/natd   (as root)
set -u
. "$(dirname "$0")/lib.sh"

need_tools socat dig dnsmasq traceroute ss

# wait_listening NS PROTO PORT: until a socket of PROTO (u or t) is bound to
# PORT in namespace NS (5 s at most).
wait_listening() {
  local i
  for i in $(seq 50); do
    [ -n "$(ip netns exec "$1" ss -Hln"$2" "( sport = :$3 )" 2>/dev/null)" ] && return 0
    sleep 0.1
  done
  fail "nothing listens on $2 port $3 in $1"
}
sandbox_init udp
cat >>"$NATD_CONF" <<'EOF'
[udp]
timeout = 60
[incomingudp]
6000 = 10.254.254.10:6001
EOF
ns_host
add_guest g1 02:7D:33:00:00:10 10.254.254.10
add_router
in_outside sysctl -qw net.ipv4.icmp_ratelimit=0 || fail "outside sysctl"

# Echo server, and a server on both outside addresses that answers with its
# own address and the sender it saw (its shell reads the request line first,
# or socat could find the pipe closed before the answer is sent).
bg_in "$NS_OUT" socat UDP4-RECVFROM:7777,bind=198.51.100.2,fork PIPE
bg_in "$NS_OUT" socat UDP4-RECVFROM:7778,bind=198.51.100.2,fork \
  SYSTEM:'read l; echo 198.51.100.2 $SOCAT_PEERADDR $SOCAT_PEERPORT'
bg_in "$NS_OUT" socat UDP4-RECVFROM:7778,bind=203.0.113.10,fork \
  SYSTEM:'read l; echo 203.0.113.10 $SOCAT_PEERADDR $SOCAT_PEERPORT'
wait_listening "$NS_OUT" u 7777
wait_listening "$NS_OUT" u 7778

step "a guest exchanges datagrams with a socat echo server"
for msg in hello "second datagram" "$(head -c 1200 /dev/zero | tr '\0' x)"; do
  got=$(printf '%s' "$msg" | in_guest timeout 10 socat -t 3 - UDP4:198.51.100.2:7777) || fail "socat client failed"
  [ "$got" = "$msg" ] || fail "echo: sent ${#msg} bytes, got '${got:0:60}' (${#got} bytes)"
done
pass "three datagrams echoed, 5 to 1200 bytes"

step "two outside hosts answer one guest socket, each as its own source"
out=$(in_guest timeout 10 python3 - <<'EOF'
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("0.0.0.0", 40000))
s.settimeout(3)
for host in ("198.51.100.2", "203.0.113.10"):
    s.sendto(b"who\n", (host, 7778))
for _ in range(2):
    data, src = s.recvfrom(2048)
    print("%s:%d %s" % (src[0], src[1], data.decode().strip()))
EOF
) || fail "guest client: $out"
echo "$out"
# Each line: source seen by the guest, the server's own address, the
# sender address and port it saw (natd's host socket). socat takes ':' as a
# separator in its address text, hence the blank between address and port.
n=$(echo "$out" | awk '$1 == $2 ":7778"' | wc -l)
[ "$n" = 2 ] || fail "every reply must come from the host that sent it"
ports=$(echo "$out" | awk '{print $4}' | sort -u)
[ "$(echo "$ports" | wc -l)" = 1 ] || fail "the two hosts saw different host ports: $ports"
seen=$(echo "$out" | awk '{print $3}' | sort -u)
[ "$seen" = 192.0.2.1 ] || fail "outside hosts saw sender '$seen', want natd's host address 192.0.2.1"
table=$(ctl_conns)
echo "$table" | grep -q "^231-fd [0-9]*, from 10.254.254.10/40000 via local port $ports (timeout [0-9]* sec)" ||
  fail "control port does not list the flow: $table"
pass "one flow, host port $ports, replies from 198.51.100.2 and 203.0.113.10"

step "dig asks a dnsmasq in the outside namespace directly"
bg_in "$NS_OUT" dnsmasq --keep-in-foreground --user=root --no-resolv --no-hosts --bind-interfaces \
  --listen-address=198.51.100.2 --port=53 --pid-file="$SB_TMP/dnsmasq.pid" \
  --host-record=svc.natd.test,203.0.113.77
wait_listening "$NS_OUT" u 53
got=$(in_guest dig +short +time=2 +tries=2 @198.51.100.2 svc.natd.test A) || fail "dig failed: $got"
[ "$got" = 203.0.113.77 ] || fail "dig answer: '$got', want 203.0.113.77"
pass "svc.natd.test resolved to 203.0.113.77"

step "a closed outside port refuses the guest's connected UDP socket"
out=$(in_guest timeout 10 python3 - <<'EOF'
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.connect(("198.51.100.2", 9))
s.settimeout(3)
s.send(b"anyone?")
try:
    s.recv(100)
    print("answered")
except ConnectionRefusedError:
    print("refused")
except socket.timeout:
    print("timeout")
EOF
)
[ "$out" = refused ] || fail "connected socket: got '$out', want refused"
pass "port unreachable reached the guest as connection refused"

step "traceroute (UDP probes) shows every hop"
out=$(in_guest traceroute -n -q 1 -w 2 -m 5 203.0.113.10 2>&1) || fail "traceroute failed: $out"
echo "$out"
hop() { echo "$out" | awk -v h="$1" '$1 == h {print $2}'; }
[ "$(hop 1)" = 10.254.254.1 ] || fail "hop 1: got '$(hop 1)', want the gateway"
[ "$(hop 2)" = 192.0.2.2 ] || fail "hop 2: got '$(hop 2)', want the router 192.0.2.2"
[ "$(hop 3)" = 203.0.113.10 ] || fail "hop 3: got '$(hop 3)', want 203.0.113.10"
[ -z "$(hop 4)" ] || fail "traceroute went on after the destination answered"
pass "gateway, router, destination"

step "an outside client reaches a guest service through [incomingudp]"
bg_in "$GUEST_NS" socat UDP4-RECVFROM:6001,fork SYSTEM:'read l; echo "guest got $l from $SOCAT_PEERADDR"'
wait_listening "$GUEST_NS" u 6001
for i in 1 2; do
  got=$(echo "ping$i" | in_outside timeout 10 socat -t 3 - UDP4:192.0.2.1:6000) || fail "outside client failed"
  [ "$got" = "guest got ping$i from 198.51.100.2" ] || fail "forward: got '$got'"
done
table=$(ctl_conns)
echo "$table" | grep -q "^231-fd [0-9]*, from 10.254.254.10/6001 via local port 6000$" ||
  fail "forward not listed (or listed with a timeout): $table"
pass "two round trips through host port 6000; the reply came back from it"

natd_alive
pass "test_udp_nat"
