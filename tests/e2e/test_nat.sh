#!/usr/bin/env bash
# End-to-end: one sandbox, every check a row (what, expected output as an
# extended regex, command). natd serves four guests on a bridge: g1 and g2
# with static addresses (g2 drops 1% of its TCP packets both ways), d1 and
# d2 configured by natd's DHCP server. A router stands between natd's host
# namespace (192.0.2.1) and the outside hosts 198.51.100.2 and
# 203.0.113.10, so that errors from the outside world come back through
# natd. Real tools throughout: ping, traceroute, socat, busybox udhcpc,
# iperf3, nft; python3 only to hold 200 connections open at once.
#
# Usage: bash test_nat.sh /path/to/natd   (as root)
set -u
. "$(dirname "$0")/lib.sh"

need_tools ping traceroute busybox nft iperf3 ss sha256sum python3
sandbox_init nat
cat >>"$NATD_CONF" <<'EOF'
enableNatDhcp = 1
[tcp]
timeWaitTimeout = 1
[udp]
timeout = 60
[incomingudp]
6000 = 10.254.254.10:6001
[incomingtcp]
8080 = 10.254.254.10:80
[PrivilegedTCP]
port = 2049
autodetect = 1
EOF
ns_host
use_bridge
add_guest g1 02:7D:33:00:00:10 10.254.254.10
add_guest g2 02:4E:A1:00:00:22 10.254.254.22
add_guest d1 02:7D:33:00:00:31 10.254.254.31
add_guest d2 02:7D:33:00:00:32 10.254.254.32
add_router
in_guest_ns d1 ip addr flush dev eth0 && in_guest_ns d2 ip addr flush dev eth0 || fail "flush"
in_guest_ns g2 nft -f - <<'EOF' || fail "nft loss rules"
table inet loss {
  chain in { type filter hook input priority 0; meta l4proto tcp numgen random mod 100 < 1 drop; }
  chain out { type filter hook output priority 0; meta l4proto tcp numgen random mod 100 < 1 drop; }
}
EOF

BIG=$SB_TMP/big MID=$SB_TMP/mid
head -c 48M /dev/urandom >"$BIG" && head -c 8M "$BIG" >"$MID" || fail "test files"
BIG_SUM=$(sha256sum <"$BIG") MID_SUM=$(sha256sum <"$MID") HEAD_SUM=$(head -c 300000 "$BIG" | sha256sum)
cat >"$SB_TMP/lease.sh" <<'EOF'
#!/bin/sh
[ "$1" = bound ] || exit 0
ip addr replace "$ip/$mask" dev "$interface" && ip route replace default via "$router"
env | grep -E '^(ip|mask|subnet|router|dns|hostname|domain|broadcast|serverid)=' | sort
EOF
chmod +x "$SB_TMP/lease.sh"

# Servers: outside, on the host's loopback, in g1 behind the forwards.
bg_in "$NS_OUT" socat UDP4-RECVFROM:7777,bind=198.51.100.2,fork PIPE
for a in 198.51.100.2 203.0.113.10; do
  bg_in "$NS_OUT" socat UDP4-RECVFROM:7778,bind=$a,fork SYSTEM:"read l; echo $a \$SOCAT_PEERADDR \$SOCAT_PEERPORT"
done
bg_in "$NS_OUT" socat TCP-LISTEN:7000,fork,reuseaddr,backlog=256 PIPE
bg_in "$NS_OUT" socat TCP-LISTEN:7001,fork,reuseaddr EXEC:"sleep 0.5",nofork
for f in 9000:$BIG 9004:$MID; do bg_in "$NS_OUT" socat TCP-LISTEN:${f%%:*},fork,reuseaddr SYSTEM:"cat ${f#*:}"; done
for p in 9001 9002,rcvbuf=4096; do bg_in "$NS_OUT" socat TCP-LISTEN:$p,fork,reuseaddr SYSTEM:sha256sum; done
bg_in "$NS_OUT" socat -t30 TCP-LISTEN:9003,reuseaddr STDIO <"$MID" >"$SB_TMP/host-first"
for p in 514 2049 7010; do bg_in "$NS_OUT" socat TCP-LISTEN:$p,fork,reuseaddr SYSTEM:'echo $SOCAT_PEERPORT'; done
bg_in "$NS_OUT" iperf3 -s -B 198.51.100.2 -p 5201 >/dev/null
bg_in "$NS_HOST" socat TCP-LISTEN:8001,bind=127.0.0.1,fork,reuseaddr SYSTEM:"echo host loopback"
bg_in "$SB-g1" socat TCP-LISTEN:80,fork,reuseaddr SYSTEM:'echo $SOCAT_PEERADDR; cat'
bg_in "$SB-g1" socat UDP4-RECVFROM:6001,fork SYSTEM:'read l; echo "guest got $l from $SOCAT_PEERADDR"'
wait_listen "$NS_OUT" 7777 7778 7000 7001 9000 9001 9002 9003 9004 514 2049 7010 5201
wait_listen "$NS_HOST" 8001
wait_listen "$SB-g1" 80 6001

# pings NS ARGS: "received/sent", and any report of corrupt or duplicate replies.
pings() { ip netns exec "$SB-$1" ping "${@:2}" 2>&1 | awk '/wrong|DUP|corrupt/; / received/ { print $4 "/" $1 }'; }
two_guests() { pings g1 -c20 -i0.05 -W2 -p 11 203.0.113.10 & pings g2 -c20 -i0.05 -W2 -p 22 203.0.113.10; wait; }
hops() { in_guest traceroute -n -q1 -w2 -m5 "$@" 203.0.113.10 | awk 'NR > 1 { printf "%s ", $2 }'; }
udp_echo() { head -c 1400 "$BIG" | in_guest socat -t1 - UDP4:198.51.100.2:7777 | cmp - <(head -c 1400 "$BIG") && echo same; }
udp_to() { echo who | in_guest socat -t1 - "UDP4:$1:7778,sourceport=40000,reuseaddr"; }
two_hosts() { echo "$(udp_to 198.51.100.2) $(udp_to 203.0.113.10)" | awk '{ print $1, $2, $4, $5, $3 == $6 ? "same port" : "" }'; }
iperf_udp() {
  in_guest timeout 30 iperf3 -c 198.51.100.2 -u -b 100M -t 3 -l 1400 |
    awk '/receiver/ { split($(NF - 2), n, "/"); print (n[2] > 10000 && n[1] < n[2] ? "carried" : "lost"), $0 }'
}
# tcp_get NS ADDR:PORT[,OPTIONS]: what the server sends (at most 10 s of silence).
tcp_get() { ip netns exec "$SB-$1" socat -T10 -u "TCP:$2" STDOUT; }
download() { tcp_get "$1" "198.51.100.2:$2" | sha256sum; }
upload() { ip netns exec "$SB-$1" socat -T10 -t10 - "TCP:198.51.100.2:$2" <"$3"; }
# counted CMD...: CMD's output, then natd's retransmissions per thousand segments sent meanwhile.
counted() {
  local c
  c=$(ctl_cmd CONNS | awk -F': ' '/^25[23]-/ { printf "%s ", $2 }')
  "$@"
  c+=$(ctl_cmd CONNS | awk -F': ' '/^25[23]-/ { printf "%s ", $2 }')
  awk '{ print "retransmitted", int(1000 * ($4 - $2) / ($3 - $1)), "per mille" }' <<<"$c"
}
host_first() {
  in_guest socat -T10 -t10 TCP:198.51.100.2:9003 SYSTEM:"sha256sum >&2; head -c 300000 $BIG"
  for _ in $(seq 50); do [ "$(stat -c %s "$SB_TMP/host-first")" = 300000 ] && break; sleep 0.1; done
  sha256sum <"$SB_TMP/host-first"
}
forward() { ip netns exec "$1" socat -T10 -t10 - "TCP:$2:8080" <"$MID" | { read -r peer && echo "$peer $(sha256sum)"; }; }
many() { read -r -t 60 line <&3 && echo "$line"; }
conns() { ctl_cmd CONNS | grep -cE "$1"; }
drained() { until_ok conns '^259-0 entries' >/dev/null; ctl_cmd CONNS | grep '^25'; }
udhcpc() { in_guest_ns "$1" timeout 30 busybox udhcpc -i eth0 -f -q -n -t3 -T2 -s "$SB_TMP/lease.sh"; }
LEASE1=$(printf '%s\n' broadcast=10.254.254.255 dns=10.254.254.1 domain=virtual.localhost hostname=vh0AFEFE80 \
  ip=10.254.254.128 mask=24 router=10.254.254.1 serverid=10.254.254.1 subnet=255.255.255.0)

check "natd wrote the MAC it was given back in upper case" '^02:4E:A1:0F:AB:CD$' cat "$SB_TMP/natd.mac"
check "ping of the gateway, pattern intact" '^4/4$' pings g1 -c4 -i0.2 -W2 -s200 -p a5c3e1 10.254.254.1
check "ping of the subnet broadcast answered by the gateway" 'from 10\.254\.254\.1: .* 2 received' \
  in_guest ping -b -c2 -i0.2 -W2 10.254.254.255
check "4000-byte ping of the gateway (reassembly, fragments back)" '^2/2$' pings g1 -c2 -i0.3 -W3 -s 4000 -p c7 10.254.254.1
check "20000-byte ping of an outside host" '^2/2$' pings g1 -c2 -i0.3 -W3 -s 20000 -p c7 203.0.113.10
check "two guests ping one host at once, each gets its own replies" '^20/20
20/20$' two_guests
check "another protocol to the gateway: protocol unreachable" ' 1  10\.254\.254\.1  [0-9.]+ ms !P' \
  in_guest traceroute -n -q1 -w2 -m1 -P 253 10.254.254.1
check "g1 reaches g2 through the gateway (a host route via 10.254.254.1)" '^2/2$' \
  eval 'in_guest ip route add 10.254.254.22/32 via 10.254.254.1 && pings g1 -c2 -i0.2 -W2 10.254.254.22'
check "traceroute -I: gateway, router, destination" '^10\.254\.254\.1 192\.0\.2\.2 203\.0\.113\.10 $' hops -I
check "traceroute (UDP): gateway, router, destination" '^10\.254\.254\.1 192\.0\.2\.2 203\.0\.113\.10 $' hops
check "UDP echo of 1400 bytes" '^same$' udp_echo
check "two outside hosts answer one guest port, both see one host port" \
  '^198\.51\.100\.2 192\.0\.2\.1 203\.0\.113\.10 192\.0\.2\.1 same port$' two_hosts
check "the flow is listed with its host port and time-out" \
  "231-fd [0-9]+, from 10\.254\.254\.10/40000 via local port $(udp_to 198.51.100.2 | cut -d' ' -f3) \(timeout [0-9]+ sec\)" \
  ctl_cmd CONNS
check "[incomingudp]: an outside client reaches the guest service" '^guest got ping from 198\.51\.100\.2$' \
  eval 'echo ping | in_outside socat -t1 - UDP4:192.0.2.1:6000'
check "the forward is listed without a time-out" '231-fd [0-9]+, from 10\.254\.254\.10/6001 via local port 6000
' ctl_cmd CONNS
check "iperf3 -u at 100 Mbit/s, guest to outside" '^carried' iperf_udp

check "port 514 gets the privileged host port 1023" '^1023$' tcp_get g1 198.51.100.2:514
check "listed [PrivilegedTCP] port 2049 gets 1022" '^1022$' tcp_get g1 198.51.100.2:2049
check "guest port 700 (autodetect) gets 1021" '^1021$' tcp_get g1 198.51.100.2:7010,sourceport=700
check "an ordinary connection gets an ordinary port" '^[1-9][0-9]{4}$' tcp_get g1 198.51.100.2:7010
check "the gateway address reaches the host's 127.0.0.1" '^host loopback$' tcp_get g1 10.254.254.1:8001
check "download of 48 MiB" "^$BIG_SUM\$" download g1 9000
check "8 MiB upload to a receiver with a 4 KiB buffer" "^$MID_SUM\$" upload g1 9002 "$MID"
check "8 MiB download into a 4 KiB guest buffer: natd keeps to the window" "^$MID_SUM
retransmitted [0-9] per mille" counted download g1 9004,rcvbuf=4096
check "8 MiB download with 1% loss: natd retransmits" "^$MID_SUM
retransmitted [1-9][0-9]* per mille" counted download g2 9004
check "8 MiB upload with 1% loss" "^$MID_SUM\$" upload g2 9001 "$MID"
check "the outside's FIN first, then the guest's data" "^$MID_SUM
$HEAD_SUM\$" host_first
check "an outside peer's abort resets the guest" 'Connection reset by peer' \
  eval 'echo x | in_guest socat -d -T10 -t5 - TCP:198.51.100.2:7001'
check "a closed outside port refuses the guest" 'Connection refused' tcp_get g1 198.51.100.2:7999
check "[incomingtcp] from outside: the guest sees the client, 8 MiB each way" "^198\.51\.100\.2 $MID_SUM\$" \
  forward "$NS_OUT" 192.0.2.1
check "[incomingtcp] from the host's loopback: seen as the gateway" "^10\.254\.254\.1 $MID_SUM\$" \
  forward "$NS_HOST" 127.0.0.1

mkfifo "$SB_TMP/release"
exec 3< <(in_guest python3 - "$SB_TMP/release" 2>&1 <<'EOF'
import os, socket, sys, threading
def echo(i):
    s = socket.create_connection(("198.51.100.2", 7000), timeout=30)
    data = os.urandom(65536)
    threading.Thread(target=s.sendall, args=(data,)).start()
    conns[i] = s if s.makefile("rb").read(len(data)) == data else None
conns = [None] * 200
threads = [threading.Thread(target=echo, args=(i,)) for i in range(200)]
for t in threads: t.start()
for t in threads: t.join()
print("echoed", sum(c is not None for c in conns), flush=True)
open(sys.argv[1]).read()
for c in filter(None, conns): c.shutdown(socket.SHUT_WR)
print("closed", sum(c.recv(1) == b"" for c in filter(None, conns)), flush=True)
EOF
)
check "200 concurrent connections each echo their own 64 KiB" '^echoed 200$' many
check "CONNS lists the 200 as established" '^200$' conns 'from 10\.254\.254\.10/[0-9]+ to 198\.51\.100\.2/7000 state 1$'
check "the 200-entry reply to \"s\" is well formed" '^valid$' eval 'ctl_cmd s | conns_valid'
check "the requesting control connection is listed" '211-fd [0-9]+, from <zero>' ctl_cmd CONNS
echo >"$SB_TMP/release"
check "all 200 closed by both sides" '^closed 200$' many
check "the TCP table empties" '259-0 entries' drained

check "udhcpc in d1: 10.254.254.128 and the whole configuration" "$LEASE1" udhcpc d1
check "udhcpc in d2: 10.254.254.129" 'hostname=vh0AFEFE81
ip=10\.254\.254\.129
' udhcpc d2
check "d1 asking again gets 10.254.254.128 back" 'ip=10\.254\.254\.128
' udhcpc d1
check "with its lease d1 reaches the outside" '^after dhcp$' \
  eval 'echo after dhcp | in_guest_ns d1 socat -t1 - UDP4:198.51.100.2:7777'
check "the ARP table lists the lease" '221-10\.254\.254\.128 => 02:7D:33:00:00:31, [0-9]+\.[0-9]{2} sec valid' \
  ctl_cmd CONNS
