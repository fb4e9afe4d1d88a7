#!/usr/bin/env bash
# natctl (natd's own addition) against a running natd: the tables by pid,
# by socket path and by TCP port, as aligned tables, as JSON and as
# Prometheus metrics, refreshed with --watch; then against a fake control
# server whose replies are a table natctl does not know (shown line by
# line), garbled or refused (a clear message and exit status 3), and no
# server at all (status 2).
#
# Usage: bash test_natctl.sh /path/to/natd   (natctl beside it; as root)
set -u
. "$(dirname "$0")/lib.sh"

NATCTL="$(dirname "${1:-.}")/natctl"
sandbox_init natctl
printf 'configport = 33445\n[incomingtcp]\n8080 = 10.254.254.10:80\n' >>"$NATD_CONF"
ns_host
add_guest g1 02:7D:33:00:00:10 10.254.254.10
add_outside

step "guest traffic fills the tables"
in_guest ping -c1 -W2 198.51.100.2 >/dev/null || fail "no echo reply"
bg_in "$NS_OUT" socat TCP-LISTEN:7000,bind=198.51.100.2,reuseaddr,fork SYSTEM:'sleep 60'
bg_in "$NS_OUT" socat -u UDP-RECV:9999,bind=198.51.100.2 OPEN:/dev/null
wait_listen "$NS_OUT" 7000
bg_in "${SB_GUESTS[0]}" socat -u SYSTEM:'sleep 60' TCP:198.51.100.2:7000
in_guest socat -u - UDP:198.51.100.2:9999,sourceport=40000 <<<"hello" || fail "UDP send"
until_ok eval "ctl_cmd CONNS | grep -q '^251-.* state 1$'"

step "tables by pid, Prometheus by TCP port, JSON by socket path, --watch"
table=$(in_host "$NATCTL" -p "$NATD_PID") || fail "natctl -p: status $?"
prom=$(in_host "$NATCTL" 127.0.0.1:33445 --prometheus) || fail "natctl over TCP: status $?"
while read -r re; do
  grep -Eq -- "$re" <<<"$table"$'\n'"$prom" || fail "no /$re/ in: $table"$'\n'"$prom"
done <<'RE'
^IP +MAC +DISCOVERY +QUEUED +VALID\(s\)$
^10\.254\.254\.10 +02:7D:33:00:00:10 +- +- +[0-9]+\.[0-9]{2}$
^[0-9]+ +10\.254\.254\.10:40000 +[0-9]+ +[0-9]+$
^TCP NAT table \(1\)  TCP segments sent to qlink: [1-9][0-9]*, TCP retransmissions: 0$
^[0-9]+ +10\.254\.254\.10:[0-9]+ +198\.51\.100\.2:7000 +ESTABLISHED$
^[0-9]+ +\*:\* +8080 +10\.254\.254\.10:80 +persistent$
^10\.254\.254\.10 +198\.51\.100\.2 +[0-9]+ +1 +[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]{2} [0-9:]{8} [0-9]{4}$
^natd_table_entries\{table="arp"\} 1$
^natd_tcp_segments_sent_total [1-9][0-9]*$
^natd_tcp_retransmissions_total 0$
RE
in_host "$NATCTL" -s "$CTL_SOCK" --json | python3 -c '
import json, sys
d = json.load(sys.stdin)
arp, = d["arp"]
assert arp["mac"] == "02:7D:33:00:00:10" and arp["discovery_attempt"] is None and arp["queued"] is False, arp
fwd, = d["tcp_accept"]
assert fwd["host_port"] == 8080 and fwd["conns_left"] is None and arp["valid_seconds"] > 0, fwd
assert d["tcp"][0]["state"] == "ESTABLISHED" and d["icmp"][0]["seq"] == 1, d
assert d["tcp_segments_sent"] > 0 and d["tcp_retransmissions"] == 0, d
' || fail "JSON"
[ "$(in_host "$NATCTL" -p "$NATD_PID" --watch 0.1 --count 3 | grep -c '^Every 0.1s: ')" -eq 3 ] || fail "--watch"
pass "tables, metrics, JSON and --watch"

FAKE="$SB_TMP/fake.sock"
python3 - "$FAKE" <<'PY' &
import socket, sys
replies = [
    b"270-FTP table\r\n271-ctl 10.254.254.10/1025\r\n279-1 entries\r\n220-ARP table\r\n"
    b"221-10.254.254.7 => ??:??:??:??:??:??, doing discovery, 2 attempt, queued packets\r\n229-1 entries\r\n200 OK\r\n",
    b"220-ARP table\r\n221-10.254.254.7 is somewhere\r\n229-1 entries\r\n200 OK\r\n",
    b"220-ARP table\r\n229-2 entries\r\n200 OK\r\n",
    b"220-ARP table\r\n221-10.254.254.7 => 02:7D:33:00:00:07\r\n200 OK\r\n",
    b"hello\r\n200 OK\r\n",
    b"502 Unknown command\r\n",
    b"220-ARP table\r\n",
]
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.bind(sys.argv[1]); s.listen(1)
for r in replies:
    c, _ = s.accept(); c.recv(100); c.sendall(r); c.close()
PY
until_ok test -S "$FAKE"
# fake: natctl's exit status and output against the fake server.
fake() { local out; out=$("$NATCTL" -s "$FAKE" 2>&1); echo "$? $out"; }
check "an unknown table shown line by line, the ARP table beside it" '^0 (.*
)?ctl 10\.254\.254\.10/1025
(.*
)?10\.254\.254\.7 +\?\?:\?\?:\?\?:\?\?:\?\?:\?\? +2 +yes +-$' fake
check "an entry that does not parse" \
  '^3 natctl: garbled reply, line 2 \(entry of ARP table does not parse\): 221-10\.254\.254\.7 is somewhere$' fake
check "a count that is wrong" '^3 .*line 2 \(count says 2, table has 0\)' fake
check "no count line" '^3 .*line 3 \(table ARP table has no count line\)' fake
check "not a numbered line" '^3 .*line 1 \(not a numbered continuation line\): hello' fake
check "a refusal" '^3 natctl: natd refused the command: 502 Unknown command$' fake
check "a cut reply" '^3 natctl: reply ended before its final line$' fake
check "no server" "^2 natctl: cannot connect to $FAKE: " fake
