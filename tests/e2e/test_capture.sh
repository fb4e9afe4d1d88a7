#!/usr/bin/env bash
# Packet capture (natd's own addition): natd started with -w FILE writes
# every frame on its device, both directions, to FILE; tcpdump reads it
# back, while natd still runs, and finds the guest's ARP exchange with the
# gateway, its echo to an outside host with the reply, and an HTTP fetch
# with the page's bytes. natd runs with [host] tapOffload = 1 (natd's own
# addition): a 4 MiB download reaches the guest intact, and the capture
# holds frames larger than the MTU that the TAP cut into segments.
#
# Usage: bash test_capture.sh /path/to/natd   (as root)
set -u
. "$(dirname "$0")/lib.sh"

sandbox_init capture
need_tools tcpdump curl
CAP="$SB_TMP/dev.pcap"
echo 'tapOffload = 1' >>"$NATD_CONF"
ns_host -w "$CAP"
add_guest g1 02:7D:33:00:00:10 10.254.254.10
add_outside

mkdir -p "$SB_TMP/www" && echo "captured-page-$$" >"$SB_TMP/www/page.txt"
head -c 4M /dev/urandom >"$SB_TMP/www/big"
bg_in "$NS_OUT" python3 -m http.server 8000 --bind 198.51.100.2 --directory "$SB_TMP/www"
wait_listen "$NS_OUT" 8000
in_guest ping -c2 -W2 198.51.100.2 >/dev/null || fail "no echo reply"
in_guest curl -sS --max-time 10 http://198.51.100.2:8000/page.txt >/dev/null || fail "fetch failed"
check "a 4 MiB download through the offloading TAP arrives intact" "^$(sha256sum <"$SB_TMP/www/big")\$" \
  eval 'in_guest curl -sS --max-time 20 http://198.51.100.2:8000/big | sha256sum'

step "tcpdump reads the capture back"
dump=$(tcpdump -r "$CAP" -nn -e -A 2>"$SB_TMP/tcpdump.err") || fail "tcpdump: $(cat "$SB_TMP/tcpdump.err")"
g=02:7d:33:00:00:10 gw=$GATEWAY_MAC
while read -r re; do grep -Eq -- "$re" <<<"$dump" || fail "no /$re/ in: $(head -n 40 <<<"$dump")"; done <<RE
 $g > ff:ff:ff:ff:ff:ff, .*Request who-has 10\.254\.254\.1 tell 10\.254\.254\.10
 $gw > $g, .*Reply 10\.254\.254\.1 is-at $gw
$g > $gw, .*10\.254\.254\.10 > 198\.51\.100\.2: ICMP echo request
$gw > $g, .*198\.51\.100\.2 > 10\.254\.254\.10: ICMP echo reply
198\.51\.100\.2\.8000 > 10\.254\.254\.10\.[0-9]+: Flags \[S\.\]
captured-page-$$
$gw > $g, ethertype IPv4 \(0x0800\), length ([2-9][0-9]{3}|[0-9]{5}): 198\.51\.100\.2\.8000 >
RE
pass "$(grep -c ' > ' <<<"$dump") frames, both directions"
