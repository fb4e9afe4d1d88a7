#!/usr/bin/env bash
# UDP request/response rate through natd, through slirp4netns and through
# plain kernel routing over a veth (the ceiling), in one sandbox and one run;
# then the loss of an iperf3 -u stream at a fixed rate through each.
#
# Three guests reach the same UDP echo server in the outside namespace
# (198.51.100.2) through the same host namespace:
#   natd         guest 10.254.254.10 on natd's TAP; natd runs in the host
#                namespace and relays through its own host sockets
#   slirp4netns  guest 10.0.2.100 on a tap0 served by slirp4netns, which runs
#                in the host namespace and relays through its host sockets
#   kernel-veth  guest 192.0.2.2 on a veth, routed by the host namespace's
#                kernel (forwarding on)
#
# Request/response: one datagram of 64 bytes outstanding at a time, the
# next sent when the echo of the previous one is back (a lost datagram
# counts after 500 ms). One line per system: transactions per second, mean,
# median and 99th percentile round trip in microseconds, losses; natd's line
# also gives the ratio natd / slirp4netns.
# Stream: iperf3 -u from each guest at BENCH_UDP_RATE (default 100M) for
# BENCH_SECONDS; one line per system with the loss the receiver counted.
#
# Prints figures; asserts nothing.
# Usage: bash bench/udp_rate.sh [/path/to/natd]   (as root)
# Environment: BENCH_SECONDS (default 5) per run, BENCH_UDP_RATE.
set -u
. "$(dirname "$0")/bench_init.sh"

SECS=${BENCH_SECONDS:-5}
RATE=${BENCH_UDP_RATE:-100M}

bench_sandbox udprate

cat >"$SB_TMP/echo.py" <<'EOF'
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((sys.argv[1], int(sys.argv[2])))
while True:
    data, peer = s.recvfrom(65536)
    s.sendto(data, peer)
EOF
cat >"$SB_TMP/rr.py" <<'EOF'
import socket, sys, time
host, port, secs = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.connect((host, port))
s.settimeout(0.5)
pad = b"x" * 60
def one(seq):
    t0 = time.perf_counter()
    s.send(seq.to_bytes(4, "big") + pad)
    while True:
        d = s.recv(2048)
        if d[:4] == seq.to_bytes(4, "big"):
            return time.perf_counter() - t0
seq, lost, lat = 0, 0, []
for _ in range(200):  # warm-up: flows, ARP, caches
    seq += 1
    try:
        one(seq)
    except (socket.timeout, ConnectionRefusedError):
        pass
start = time.perf_counter()
end = start + secs
while time.perf_counter() < end:
    seq += 1
    try:
        lat.append(one(seq))
    except (socket.timeout, ConnectionRefusedError):
        lost += 1
elapsed = time.perf_counter() - start
if not lat:
    print("failed")
    sys.exit(0)
lat.sort()
us = lambda x: x * 1e6
print("%.0f %.1f %.1f %.1f %d" % (len(lat) / elapsed, us(sum(lat) / len(lat)),
      us(lat[len(lat) // 2]), us(lat[min(len(lat) - 1, len(lat) * 99 // 100)]), lost))
EOF

bg_in "$NS_OUT" python3 "$SB_TMP/echo.py" 198.51.100.2 7000
bg_in "$NS_OUT" iperf3 -s -B 198.51.100.2 >"$SB_TMP/iperf3-server.log" 2>&1
sleep 0.5

declare -A SYS_NS=([natd]="$GUEST_NS" [slirp4netns]="$SB-slirp" [kernel-veth]="$SB-kern")
SYSTEMS="natd slirp4netns kernel-veth"

echo "UDP request/response, 64-byte datagrams, one outstanding, ${SECS} s per system"
printf '%-12s %12s %10s %10s %10s %6s\n' system "trans/s" "mean us" "p50 us" "p99 us" lost
declare -A RR
for sys in $SYSTEMS; do
  read -r rate mean p50 p99 lost < <(ip netns exec "${SYS_NS[$sys]}" timeout $((SECS + 30)) \
    python3 "$SB_TMP/rr.py" 198.51.100.2 7000 "$SECS" 2>/dev/null || echo failed)
  RR[$sys]=$rate
  printf '%-12s %12s %10s %10s %10s %6s\n' "$sys" "$rate" "${mean:--}" "${p50:--}" "${p99:--}" "${lost:--}"
done
if [[ "${RR[natd]}" =~ ^[0-9]+$ && "${RR[slirp4netns]}" =~ ^[0-9]+$ && "${RR[slirp4netns]}" -gt 0 ]]; then
  echo "natd / slirp4netns request/response rate: $(awk -v a="${RR[natd]}" -v b="${RR[slirp4netns]}" 'BEGIN {printf "%.2f", a / b}')"
fi

echo
echo "UDP stream, iperf3 -u -b $RATE -l 1400, ${SECS} s, guest -> outside"
printf '%-12s %10s %10s %10s %12s\n' system sent lost "loss %" "Mbit/s rx"
for sys in $SYSTEMS; do
  ip netns exec "${SYS_NS[$sys]}" timeout $((SECS + 30)) iperf3 -c 198.51.100.2 -u -b "$RATE" -l 1400 \
    -t "$SECS" -J >"$SB_TMP/iperf-$sys.json" 2>/dev/null
  read -r sent lost pct mbps < <(python3 - "$SB_TMP/iperf-$sys.json" <<'EOF'
import json, sys
try:
    s = json.load(open(sys.argv[1]))["end"]["sum"]
    print(s["packets"], s["lost_packets"], "%.2f" % s["lost_percent"],
          "%.1f" % (s["bits_per_second"] * (1 - s["lost_percent"] / 100) / 1e6))
except Exception:
    print("failed - - -")
EOF
)
  printf '%-12s %10s %10s %10s %12s\n' "$sys" "$sent" "$lost" "$pct" "$mbps"
done
