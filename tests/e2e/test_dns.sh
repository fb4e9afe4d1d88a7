#!/usr/bin/env bash
# DNS forwarding: a guest asks natd (10.254.254.1) with dig, a raw client
# and its own libc resolver; natd's children ask the host's resolver, which
# /etc/netns gives as an authoritative dnsmasq in the outside namespace, so
# answers carry answer, authority (NS) and additional (OPT) records.
. "$(dirname "$0")/lib.sh"
sandbox_init dns
need_tools dnsmasq dig curl socat busybox
ETC=("/etc/netns/$NS_HOST" "/etc/netns/$SB-g1")
trap 'rc=$?; rm -rf "${ETC[@]}"; (exit $rc); sandbox_teardown' EXIT
resolver() { echo "nameserver $1" >"${ETC[0]}/resolv.conf"; }  # same file: natd's next child reads it
mkdir -p "${ETC[@]}" && echo "nameserver 10.254.254.1" >"${ETC[1]}/resolv.conf" && resolver 198.51.100.2
add_outside
bg_in "$NS_OUT" dnsmasq -k --no-resolv --no-hosts -x "$SB_TMP/dnsmasq.pid" -z -a 198.51.100.2 \
  --auth-server=ns.test,198.51.100.2 --auth-zone=test --auth-zone=localdomain --mx-host=test,mail.test \
  --host-record=web.test,198.51.100.2,2001:db8::2 --txt-record=web.test,"hi natd" --host-record=localdomain,198.51.100.5
# A server that reads the whole request: one that closes with the request unread resets the connection.
mkdir "$SB_TMP/www" && echo hi >"$SB_TMP/www/index.html" && bg_in "$NS_OUT" busybox httpd -f -p 198.51.100.2:8080 -h "$SB_TMP/www"
ns_host  # after dnsmasq: it is up by the first query
add_guest g1 02:7D:33:00:00:10 10.254.254.10

step "dig: A, AAAA, MX, TXT; every record of each section with TTL 5 (OPT's too); localdomain as it came; curl"
while read -r name type want; do
  out=$(in_guest dig +tries=2 +time=3 @10.254.254.1 +noall +answer +authority +additional +comments "$name" "$type")
  # two records (answer, NS), each with TTL 5; OPT's TTL field 5 (dig's MBZ); the answer wanted
  [ "$(awk -v w="$want" '!/^;/ && NF { n += $2 == 5 ? 1 : 9 } /MBZ: 0x0005/ { o = 1 } index($0, w) { f = 1 }
    END { print n o f }' <<<"$out")" = 211 ] || fail "$name $type: want $want, two records and OPT with TTL 5: $out"
done <<'EOF'
web.test A 198.51.100.2
web.test AAAA 2001:db8::2
test MX mail.test.
web.test TXT "hi natd"
localdomain A 198.51.100.5
EOF
wait_listen "$NS_OUT" 8080
[ "$(in_guest curl -4 -s -m 10 http://web.test:8080/)" = hi ] || fail "curl by host name through the guest's resolver"

# raw ADDR QUERY N: N sockets each send QUERY (hex) to ADDR:53 at once; one
# line per socket: the reply in hex, "none", or the errno of an ICMP error.
# The queries: identifier 7, one question, web.test (.localdomain) A IN;
# opcode 2 (status): .localdomain is kept, the refused query draws ICMP.
raw() { in_guest python3 -c 'import socket, select, sys, time
ss, t = [socket.socket(2, 2) for _ in range(int(sys.argv[3]))], time.time() + 20
for s in ss: s.setsockopt(1, 6, 1); s.connect((sys.argv[1], 53)); s.send(bytes.fromhex(sys.argv[2]))
for s in ss:
    try: print(s.recv(4096).hex() if select.select([s], [], [], max(0, t - time.time()))[0] else "none")
    except OSError as e: print(e.errno)' "$@"; }
step "web.test.localdomain as web.test with the query's identifier; broadcast; 200 at once; resolver down"
while read -r server addr query n want; do
  resolver "$server"
  [ "$(raw "$addr" "$query" "$n" | grep -c "$want")" = "$n" ] || fail "$addr $query x$n: want $want"
done <<EOF
198.51.100.2 10.254.254.1 0007010000010000000000000377656204746573740b6c6f63616c646f6d61696e0000010001 1 ^0007.*c6336402
198.51.100.1 10.254.254.1 0007110000010000000000000377656204746573740b6c6f63616c646f6d61696e0000010001 1 ^111$
198.51.100.2 10.254.254.255 0007010000010000000000000377656204746573740000010001 1 ^0007.*c6336402
198.51.100.2 10.254.254.1 0007010000010000000000000377656204746573740000010001 200 ^0007.*c6336402
198.51.100.1 10.254.254.1 0007010000010000000000000377656204746573740000010001 1 ^111$
EOF

! ls -l "/proc/$NATD_PID/fd" | grep -q '^lr-x.*pipe:' || fail "natd keeps the pipes of answered queries"

step "20 queries in flight: no natd descriptor in the children; SIGTERM: exit 0 at once, no child left"
resolver $'203.0.113.99\noptions timeout:30'
(raw 10.254.254.1 "0007010000010000000000000377656204746573740000010001" 20 >/dev/null 2>&1 &)
for _ in $(seq 50); do kids=$(pgrep -P "$NATD_PID" | xargs) && [ "$(wc -w <<<"$kids")" = 20 ] && break; sleep 0.1; done
# A child keeps the standard streams, its pipe and its resolver's socket, none of natd's descriptors.
[ "$(wc -w <<<"$kids")" -eq 20 ] && [ "$(ls "/proc/${kids%% *}/fd" | wc -l)" -le 5 ] || fail "children: $kids"
kill -TERM "$NATD_PID"; timeout 20 tail --pid="$NATD_PID" -f /dev/null && wait "$NATD_PID" || fail "status $? (124: still running)"
# natd ended and was checked here: the teardown has nothing left to stop.
! ps -p "${kids// /,}" >/dev/null && NATD_PID="" || fail "children left: $(ps -p "${kids// /,}")"
