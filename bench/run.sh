#!/usr/bin/env bash
# natd against slirp4netns and plain kernel routing, in one sandbox and one
# run: the whole comparison table, then natd's cost per segment at a few and
# at many open connections and flows, and its memory per idle connection and
# flow. Prints figures; asserts nothing about speed.
#
# Usage: bash bench/run.sh [--smoke] [--all] [/path/to/natd]   (as root)
#   --smoke  short runs and small counts (under a minute): shows that the
#            benchmark still works; exits non-zero when a figure is missing
#   --all    then runs the other benchmarks of this directory as well
#   --callgrind  only the cost rows, with natd under callgrind: instructions
#            of natd's own user space per segment, the same in every run
# Environment: BENCH_SECONDS (5) per measurement, BENCH_TCP_SCALE (10000)
# and BENCH_UDP_SCALE (5000) open connections and flows at the high end,
# BENCH_MEM_COUNT (5000) connections and flows the memory rows are taken over,
# BENCH_NATD_CONF more lines for natd's configuration ("[tcp]\ntimeWaitReuse = 1").
set -u
SMOKE=0 ALL=0 CALLGRIND=0
while [ $# -gt 0 ]; do
  case $1 in
    --smoke) SMOKE=1 ;;
    --all) ALL=1 ;;
    --callgrind) CALLGRIND=1 ;;
    *) break ;;
  esac
  shift
done
NATD_ARG=${1:-$(dirname "$0")/../build/natd}
set -- "$NATD_ARG"
. "$(dirname "$0")/bench_init.sh"

if [ "$SMOKE" = 1 ]; then
  SECS=1 PINGS=5 TCP_SCALE=60 UDP_SCALE=40 MEM_COUNT=30
  export BENCH_IPERF_OMIT=0
else
  SECS=${BENCH_SECONDS:-5} PINGS=200
  TCP_SCALE=${BENCH_TCP_SCALE:-10000} UDP_SCALE=${BENCH_UDP_SCALE:-5000} MEM_COUNT=${BENCH_MEM_COUNT:-5000}
fi
SYSTEMS="kernel-veth natd slirp4netns"
SERVER=198.51.100.2

bench_need ab nginx sockperf nstat perf python3
if [ "$CALLGRIND" = 1 ]; then
  bench_need valgrind callgrind_control
  CG_DIR=$(mktemp -d)
  printf '#!/bin/sh\nexec valgrind -q --tool=callgrind --instr-atstart=no --callgrind-out-file=%s/cg.%%p "%s" "$@"\n' \
    "$CG_DIR" "$NATD_BIN" >"$CG_DIR/natd"
  chmod +x "$CG_DIR/natd"
  NATD=$CG_DIR/natd NATD_COMM=callgrind-amd64
fi
udp_timeout() { printf '[udp]\ntimeout = 3\nclusterDiff = 1\n' >>"$NATD_CONF"; }
bench_sandbox run udp_timeout
declare -A SYS_NS=([natd]="$GUEST_NS" [slirp4netns]="$SB-slirp" [kernel-veth]="$SB-kern")

# Servers in the outside namespace: iperf3, nginx with a 1 KiB page (its
# worker runs as root: the sandbox's directory is private to root),
# sockperf for TCP (11112) and UDP (11111), the holder of idle connections
# and flows (7000).
mkdir -p "$SB_TMP/www"
head -c 1024 /dev/zero | tr '\0' x >"$SB_TMP/www/1k"
cat >"$SB_TMP/nginx.conf" <<EOF
user root;
worker_processes 1;
daemon off;
pid $SB_TMP/nginx.pid;
events { worker_connections 4096; }
http {
  access_log off;
  client_body_temp_path $SB_TMP/nginx-body;
  server { listen $SERVER:80 backlog=4096; root $SB_TMP/www; }
}
EOF
bg_in "$NS_OUT" iperf3 -s -B $SERVER >"$SB_TMP/iperf3.log" 2>&1
bg_in "$NS_OUT" nginx -c "$SB_TMP/nginx.conf" -p "$SB_TMP" -e "$SB_TMP/nginx.err" >/dev/null 2>&1
bg_in "$NS_OUT" sockperf server -i $SERVER -p 11111 >/dev/null 2>&1
bg_in "$NS_OUT" sockperf server --tcp -i $SERVER -p 11112 >/dev/null 2>&1
bg_in "$NS_OUT" python3 "$HERE/hold.py" serve $SERVER 7000 >/dev/null 2>&1
wait_listen "$NS_OUT" 5201 80 11111 11112 7000

MISSING=0
num() { [[ "$1" =~ ^[0-9]+([.][0-9]+)?$ ]] || MISSING=$((MISSING + 1)); }
in_sys() { ip netns exec "${SYS_NS[$1]}" "${@:2}"; }
# Absolute value of one kernel counter in a system's guest namespace.
counter() { in_sys "$1" nstat -asz "$2" | awk -v n="$2" '$1 == n { print $2 }'; }

# Connections per second fetching the 1 KiB page, concurrency $2.
conn_rate() {
  in_sys "$1" timeout $((SECS + 30)) ab -q -t "$SECS" -n 10000000 -c "$2" "http://$SERVER/1k" 2>/dev/null |
    awk '/^Requests per second:/ { printf "%.0f\n", $4; f = 1 } END { if (!f) print "failed" }'
}
# Mean latency (half the round trip) of sockperf ping-pong, in microseconds.
rr_latency() {
  in_sys "$1" timeout $((SECS + 30)) sockperf ping-pong -i "${RR_SERVER:-$SERVER}" -p "$2" -t "$SECS" -m 64 "${@:3}" 2>/dev/null |
    awk '{ for (i = 1; i <= NF; i++) if ($i ~ /^avg-(latency|rtt)=/) { sub(/^[^=]*=/, "", $i); v = $i } }
         END { print (v == "" ? "failed" : v) }'
}
ping_rtt() {
  in_sys "$1" ping -q -c "$PINGS" -i 0.01 -W 2 $SERVER 2>/dev/null |
    awk -F'[/ =]+' '/^rtt/ { print $7; f = 1 } END { if (!f) print "failed" }'
}

# Scale and memory first, while natd's heap holds nothing freed that new
# records could re-use: natd only. Idle connections and flows from one guest
# process to the holder; sockperf's ping-pong is the measured work. The
# descriptor limit (natd holds one socket per connection and flow) bounds
# connections plus flows below it. Then the holder ends and the table waits
# until natd has released its connections and (after the short UDP time-out
# of this natd's configuration) its flows.
rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$NATD_PID/status"; }
mkfifo "$SB_TMP/hold.in" "$SB_TMP/hold.out"
in_sys natd python3 "$HERE/hold.py" open $SERVER 7000 <"$SB_TMP/hold.in" >"$SB_TMP/hold.out" 2>/dev/null &
exec {HOLD_IN}>"$SB_TMP/hold.in" {HOLD_OUT}<"$SB_TMP/hold.out"
hold() { local n=""; echo "$1 $2" >&$HOLD_IN && read -r -t 300 n <&$HOLD_OUT; echo "${n:-0}"; }
# CPU cost of natd per guest segment during a ping-pong of kind tcp or udp:
# instructions (perf stat) when the machine counts them, else natd's CPU time
# (user and system, from /proc) in nanoseconds.
COST_UNIT=instructions
perf stat -e instructions -x, true 2>&1 | grep -q '^[0-9]' || COST_UNIT="ns of CPU"
[ "$CALLGRIND" = 0 ] || COST_UNIT="user-space instructions (callgrind)"
# Instructions natd ran between callgrind's zeroing and its dump.
cg() { callgrind_control "$@" "$NATD_PID" >/dev/null 2>&1; }
cg_total() { awk '$1 == "totals:" || $1 == "summary:" { print $2; exit }' "$(ls -t "$CG_DIR"/cg.* | head -1)"; }
cpu_ns() { awk -v hz="$(getconf CLK_TCK)" '{ printf "%.0f\n", ($14 + $15) * 1e9 / hz }' "/proc/$NATD_PID/stat"; }
seg_cost() {
  local kind=$1 args=() a b sa sb c0 c1 p
  if [ "$kind" = tcp ]; then args=(11112 --tcp) sa=TcpInSegs sb=TcpOutSegs; else args=(11111) sa=UdpInDatagrams sb=UdpOutDatagrams; fi
  a=$(($(counter natd $sa) + $(counter natd $sb)))
  if [ "$COST_UNIT" = instructions ]; then
    perf stat -e instructions -x, -p "$NATD_PID" -o "$SB_TMP/stat.$kind" -- sleep "$((SECS + 1))" &
    p=$!
  fi
  [ "$CALLGRIND" = 0 ] || { cg -i on; cg -z; }
  c0=$(cpu_ns)
  rr_latency natd "${args[@]}" >/dev/null
  c1=$(cpu_ns)
  [ "$CALLGRIND" = 0 ] || { cg -d; cg -i off; c0=0 c1=$(cg_total); }
  b=$(($(counter natd $sa) + $(counter natd $sb)))
  if [ "$COST_UNIT" = instructions ]; then
    wait $p
    c0=0 c1=$(awk -F, '$3 ~ /instructions/ && $1 ~ /^[0-9]+$/ { print $1 }' "$SB_TMP/stat.$kind")
  fi
  awk -v n=$((b - a)) -v c="$((c1 - c0))" 'BEGIN { if (n > 0) printf "%.0f", c / n; else printf "failed" }'
}
declare -A S
S[lo,tcp_n]=$(hold tcp 10) S[lo,udp_n]=$(hold udp 10)
S[lo,tcp]=$(seg_cost tcp) S[lo,udp]=$(seg_cost udp)
r0=$(rss_kib); S[mem,tcp_n]=$(hold tcp $((10 + MEM_COUNT))); r1=$(rss_kib)
S[mem,udp_n]=$(hold udp $((10 + MEM_COUNT))); r2=$(rss_kib)
S[mem,tcp]=$(awk -v a="$r0" -v b="$r1" -v n=$((S[mem,tcp_n] - 10)) 'BEGIN { if (n > 0) printf "%.0f", (b - a) * 1024 / n; else print "failed" }')
S[mem,udp]=$(awk -v a="$r1" -v b="$r2" -v n=$((S[mem,udp_n] - 10)) 'BEGIN { if (n > 0) printf "%.0f", (b - a) * 1024 / n; else print "failed" }')
S[hi,tcp_n]=$(hold tcp "$TCP_SCALE") S[hi,udp_n]=$(hold udp "$UDP_SCALE")
S[hi,tcp]=$(seg_cost tcp) S[hi,udp]=$(seg_cost udp)
print_cost() {
  echo "natd's cost per guest segment during sockperf ping-pong ($COST_UNIT per segment)"
  printf '%-10s %10s %10s %12s %12s\n' "" "open TCP" "open UDP" "TCP RR" "UDP RR"
  printf '%-10s %10s %10s %12s %12s\n' few "${S[lo,tcp_n]}" "${S[lo,udp_n]}" "${S[lo,tcp]}" "${S[lo,udp]}"
  printf '%-10s %10s %10s %12s %12s\n' many "${S[hi,tcp_n]}" "${S[hi,udp_n]}" "${S[hi,tcp]}" "${S[hi,udp]}"
}
if [ "$CALLGRIND" = 1 ]; then
  print_cost
  for v in "${S[lo,tcp]}" "${S[lo,udp]}" "${S[hi,tcp]}" "${S[hi,udp]}"; do [[ "$v" =~ ^[0-9]+$ ]] || exit 1; done
  exit 0
fi
exec {HOLD_IN}>&- {HOLD_OUT}<&-
[ "$SMOKE" = 1 ] || for _ in $(seq 120); do
  ctl_cmd CONNS | awk -F'[- ]' '/^(239|259)-/ { n += $2 } END { exit !(n < 50) }' && break
  sleep 1
done

for sys in $SYSTEMS; do
  in_sys "$sys" ping -c1 -W2 $SERVER >/dev/null 2>&1 || echo "note: $sys guest does not answer ping" >&2
done

declare -A R
for sys in $SYSTEMS; do
  R[$sys,up]=$(bench_iperf "${SYS_NS[$sys]}" $SERVER "$SECS")
  R[$sys,down]=$(bench_iperf "${SYS_NS[$sys]}" $SERVER "$SECS" -R)
  rto0=$(counter "$sys" TcpExtTCPTimeouts)
  R[$sys,c1]=$(conn_rate "$sys" 1)
  R[$sys,c16]=$(conn_rate "$sys" 16)
  R[$sys,rto]=$(($(counter "$sys" TcpExtTCPTimeouts) - ${rto0:-0}))
  R[$sys,tcprr]=$(rr_latency "$sys" 11112 --tcp)
  R[$sys,udprr]=$(rr_latency "$sys" 11111)
  R[$sys,ping]=$(ping_rtt "$sys")
  [ "$sys" = natd ] && NATD_CONNS=$(ctl_cmd CONNS | awk '/^251-/ { n++; if ($NF == 6) tw++ } END { printf "%d records, %d in state 6", n, tw }')
done

# The floor of any user-space relay on this machine: socat in the host
# namespace between the kernel-routed guest and the same servers, so each
# round trip wakes a relay process twice, as it wakes natd.
bg_in "$NS_HOST" socat TCP-LISTEN:11112,bind=192.0.2.1,reuseaddr,nodelay TCP:$SERVER:11112,nodelay
bg_in "$NS_HOST" socat UDP-LISTEN:11111,bind=192.0.2.1 UDP:$SERVER:11111
wait_listen "$NS_HOST" 11112
R[relay,tcprr]=$(RR_SERVER=192.0.2.1 rr_latency kernel-veth 11112 --tcp)
R[relay,udprr]=$(RR_SERVER=192.0.2.1 rr_latency kernel-veth 11111)
num "${R[relay,tcprr]}"; num "${R[relay,udprr]}"

COLS="up down c1 c16 tcprr udprr ping rto"
echo "natd, slirp4netns and kernel routing: iperf3 ${SECS} s, ab -c 1 and -c 16 for ${SECS} s fetching 1 KiB"
echo "from nginx, sockperf ping-pong 64 bytes ${SECS} s (mean half round trip), ping x$PINGS, MTU 1500"
printf '%-12s %10s %10s %8s %8s %8s %8s %8s %6s\n' "" "g->o" "o->g" "conn/s" "conn/s" "TCP RR" "UDP RR" "ping" "RTOs"
printf '%-12s %10s %10s %8s %8s %8s %8s %8s %6s\n' "" "Mbit/s" "Mbit/s" "c=1" "c=16" "us" "us" "ms" "(ab)"
for sys in $SYSTEMS; do
  row=()
  for c in $COLS; do row+=("${R[$sys,$c]}"); [ "$c" = rto ] || num "${R[$sys,$c]}"; done
  printf '%-12s %10s %10s %8s %8s %8s %8s %8s %6s\n' "$sys" "${row[@]}"
done
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a + 0 > 0 && b + 0 > 0) printf "%.2f", a / b; else printf "-" }'; }
for ref in slirp4netns kernel-veth; do
  row=()
  for c in $COLS; do row+=("$(ratio "${R[natd,$c]}" "${R[$ref,$c]}")"); done
  printf '%-12s %10s %10s %8s %8s %8s %8s %8s %6s\n' "natd/${ref%-veth}" "${row[@]}"
done
echo "RTOs: retransmission time-outs the guest's kernel counted during both ab runs"
echo "user-space relay floor (socat on the kernel-routed path): TCP RR ${R[relay,tcprr]} us, UDP RR ${R[relay,udprr]} us;" \
  "natd/relay $(ratio "${R[natd,tcprr]}" "${R[relay,tcprr]}"), $(ratio "${R[natd,udprr]}" "${R[relay,udprr]}")"
echo "natd's TCP table after ab: $NATD_CONNS"

echo
print_cost
echo "natd's memory (RSS delta): $(printf '%s bytes per idle TCP connection over %s, %s bytes per UDP flow over %s' \
  "${S[mem,tcp]}" $((S[mem,tcp_n] - 10)) "${S[mem,udp]}" $((S[mem,udp_n] - 10)))"
for v in "${S[lo,tcp]}" "${S[lo,udp]}" "${S[hi,tcp]}" "${S[hi,udp]}" "${S[mem,tcp]}" "${S[mem,udp]}"; do
  [[ "$v" =~ ^-?[0-9]+$ ]] || MISSING=$((MISSING + 1))
done
[ "${S[hi,tcp_n]}" = "$TCP_SCALE" ] && [ "${S[hi,udp_n]}" = "$UDP_SCALE" ] || MISSING=$((MISSING + 1))

status=0
if [ "$SMOKE" = 1 ] && [ "$MISSING" -gt 0 ]; then
  echo "bench smoke: $MISSING figures missing" >&2
  status=1
fi
if [ "$ALL" = 1 ]; then
  for bench in "$HERE"/*.sh; do
    case $(basename "$bench") in run.sh | lib_*.sh | bench_init.sh) continue ;; esac
    echo
    echo "######## $(basename "$bench" .sh)"
    bash "$bench" "$NATD_BIN" || { echo "######## $(basename "$bench" .sh) could not run" >&2; status=1; }
  done
fi
exit $status
