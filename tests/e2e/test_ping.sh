#!/usr/bin/env bash
# End-to-end ping through natd with one real Linux guest (the TAP interface
# itself is the guest's eth0) and an outside namespace: ARP for the
# gateway, echo to the gateway and the subnet broadcast, echo NAT to outside
# hosts, large pings fragmented by the guest and answered in 1500-byte
# frames, TTL 1, and an echo entry for a host that never answers, listed on
# the control port until it expires.
#
# Usage: bash test_ping.sh /path/to/natd   (as root)
set -u
. "$(dirname "$0")/lib.sh"

need_tools ping
sandbox_init ping
ns_host
add_guest g1 02:7D:33:00:00:10 10.254.254.10
add_outside

# ping's summary line: "N packets transmitted, M received, ..."
received() { sed -n 's/.* \([0-9]*\) received.*/\1/p'; }

step "the guest resolves the gateway by ARP"
in_guest ping -c 1 -W 2 10.254.254.1 >/dev/null || fail "no reply from the gateway"
mac=$(in_guest ip neigh show 10.254.254.1 dev eth0 | awk '{print $3}')
[ "$mac" = "$GATEWAY_MAC" ] || fail "gateway MAC in the guest's neighbour table: got '$mac', want '$GATEWAY_MAC'"
pass "10.254.254.1 is at $mac"

step "ping of the gateway: identifier, sequence and payload intact"
out=$(in_guest ping -c 4 -i 0.2 -W 2 -s 200 -p a5c3e1 10.254.254.1) || fail "ping of the gateway failed: $out"
[ "$(echo "$out" | received)" = 4 ] || fail "ping of the gateway: $out"
echo "$out" | grep -qiE 'wrong data|DUP|corrupted' && fail "bad replies: $out"
pass "4 of 4 answered with the pattern intact"

step "ping of the subnet broadcast is answered by the gateway"
out=$(in_guest ping -b -c 2 -i 0.2 -W 2 10.254.254.255 2>&1) || fail "broadcast ping failed: $out"
echo "$out" | grep -q 'from 10.254.254.1:' || fail "no reply from 10.254.254.1: $out"
[ "$(echo "$out" | received)" = 2 ] || fail "broadcast ping: $out"
pass "broadcast answered by 10.254.254.1"

step "ping of outside hosts through echo NAT"
for dst in 198.51.100.2 203.0.113.10; do
  out=$(in_guest ping -c 3 -i 0.2 -W 2 -p 5a "$dst") || fail "ping $dst failed: $out"
  [ "$(echo "$out" | received)" = 3 ] || fail "ping $dst: $out"
  echo "$out" | grep -qiE 'wrong data|DUP' && fail "bad replies from $dst: $out"
done
pass "198.51.100.2 and 203.0.113.10 answer through natd"

step "large pings: the guest fragments, natd reassembles and answers in 1500-byte frames"
for size in 4000 20000; do
  for dst in 10.254.254.1 203.0.113.10; do
    frames=$(sniff_frames "$GUEST_NS" eth0 4 ping -c 1 -W 3 -s "$size" -p c7 "$dst")
    replies=$(echo "$frames" | awk -v d="$dst" '$2 == d && $4 == 1' )
    n=$(echo "$replies" | grep -c .)
    want=$(((size + 8 + 1479) / 1480))
    [ "$n" = "$want" ] || fail "-s $size to $dst: $n reply frames, want $want:
$frames"
    big=$(echo "$replies" | awk '$1 > 1514' | head -n1)
    [ -z "$big" ] || fail "-s $size to $dst: frame larger than 1514 bytes: $big"
    last=$(echo "$replies" | awk '{print $5}' | grep -c '^0')
    [ "$last" = 1 ] || fail "-s $size to $dst: want exactly one last fragment:
$replies"
    out=$(in_guest ping -c 2 -i 0.3 -W 3 -s "$size" -p c7 "$dst") || fail "ping -s $size $dst: $out"
    echo "$out" | grep -qiE 'wrong data|DUP' && fail "bad replies: $out"
  done
done
pass "4000 and 20000 bytes answered in 3 and 14 fragments"

step "ping -t 1 to an outside host gets time exceeded from the gateway"
out=$(in_guest ping -c 1 -W 2 -t 1 198.51.100.2 2>&1)
echo "$out" | grep -q 'From 10.254.254.1 icmp_seq=1 Time to live exceeded' || fail "no time exceeded: $out"
pass "Time to live exceeded from 10.254.254.1"

step "a ping to an outside address that answers nothing leaves an echo entry for 20 s"
out=$(in_guest ping -c 1 -W 1 203.0.113.99 2>&1)
[ "$(echo "$out" | received)" = 0 ] || fail "203.0.113.99 answered: $out"
t0=$(date +%s)
table=$(ctl_conns)
echo "$table" | grep -E '^241-from 10\.254\.254\.10 to 203\.0\.113\.99, id=[0-9]+, seq=1, expires at [A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]{2} [0-9:]{8} [0-9]{4} GMT$' \
  || fail "echo entry not listed:
$table"
echo "$table" | grep -qE '^221-10\.254\.254\.10 => 02:7D:33:00:00:10, [0-9]+\.[0-9]{2} sec valid$' \
  || fail "guest not in the ARP table:
$table"
echo "$table" | sed -n '/^220-/,/^249-/p'
while echo "$table" | grep -q '203\.0\.113\.99'; do
  [ $(($(date +%s) - t0)) -le 25 ] || fail "echo entry still listed after 25 s"
  sleep 1
  table=$(ctl_conns)
done
gone=$(($(date +%s) - t0))
[ "$gone" -ge 18 ] || fail "echo entry gone after only $gone s"
echo "$table" | grep -q '^249-0 entries$' || fail "echo table not empty: $table"
pass "entry listed, gone after about $gone s"

natd_alive
pass "test_ping"
