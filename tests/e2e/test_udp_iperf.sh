#!/usr/bin/env bash
# End-to-end UDP stream: iperf3 -u from a guest to a server in the outside
# namespace at 100 Mbit/s for 5 s (its control connection runs through
# natd's TCP engine). The test checks that the stream went through natd and
# that the datagrams the server counted are sequence-consistent; it prints
# the loss, which is a figure, not a pass mark.
#
# Usage: bash test_udp_iperf.sh /path/to/natd   (as root)
set -u
. "$(dirname "$0")/lib.sh"

need_tools iperf3 ss

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
sandbox_init udpiperf
ns_host
add_guest g1 02:7D:33:00:00:51 10.254.254.51
add_outside

bg_in "$NS_OUT" iperf3 -s -B 198.51.100.2 -p 5201
wait_listening "$NS_OUT" t 5201

step "iperf3 -u at 100 Mbit/s for 5 s, guest to outside"
in_guest timeout 40 iperf3 -c 198.51.100.2 -p 5201 -u -b 100M -t 5 -l 1400 -J >"$SB_TMP/iperf.json" 2>&1 ||
  fail "iperf3 failed: $(tail -c 600 "$SB_TMP/iperf.json")"
read -r sent lost pct mbps < <(python3 - "$SB_TMP/iperf.json" <<'EOF'
import json, sys
d = json.load(open(sys.argv[1]))
s = d["end"]["sum"]
print(s["packets"], s["lost_packets"], "%.2f" % s["lost_percent"], "%.1f" % (s["bits_per_second"] / 1e6))
EOF
) || fail "cannot read the iperf3 report"
echo "datagrams: $sent sent, $lost lost ($pct %), $mbps Mbit/s"
[ "$sent" -gt 10000 ] || fail "iperf3 sent only $sent datagrams in 5 s at 100 Mbit/s"
[ "$lost" -lt "$sent" ] || fail "nothing arrived"
pass "UDP loss at 100 Mbit/s: $pct % ($lost of $sent)"

step "the flow is listed and natd is still serving"
table=$(ctl_conns)
echo "$table" | grep -q "^231-fd [0-9]*, from 10.254.254.51/" || fail "no UDP flow listed: $table"
in_guest ping -c 1 -W 2 10.254.254.1 >/dev/null || fail "gateway does not answer after the stream"
natd_alive
pass "test_udp_iperf"
