#!/usr/bin/env bash
# End-to-end under attack: two guests on one bridge; "evil" floods natd in
# turn with ARP requests from random senders, fragments at the largest
# offset, UDP from thousands of source ports, SYNs to thousands of ports and
# one-byte segments that never come in order, and natd's descriptors are
# made to run out under waiting forward clients. Throughout, "good" pings
# the gateway and downloads from an outside host. natd runs with the
# [limits] block the README recommends for shared gateways and its seccomp
# filter: after each flood its descriptors and memory (from /proc) are
# within the bounds those limits give, it is idle again once the flood has
# ended (no spinning: its CPU time in /proc/PID/stat), and LIMITS counts
# each limit reached. Real tools: hping3 (SYN, UDP), ping, socat, prlimit;
# python3 (hostile_frames.py beside this script) builds the frames no tool
# sends.
#
# Usage: bash test_hostile.sh /path/to/natd   (as root)
set -u
. "$(dirname "$0")/lib.sh"

need_tools ping hping3 python3 nft prlimit sha256sum
GEN="python3 $(cd "$(dirname "$0")" && pwd)/hostile_frames.py"
sandbox_init hostile
# The block the README recommends (dist/limits-shared.conf), keys and values.
LIMITS=$(grep -E '^[a-zA-Z]+ = ' "$(dirname "$0")/../../dist/limits-shared.conf")
printf '[incomingtcp]\n8080 = 10.254.254.10:80\n[security]\nseccomp = 1\n[limits]\n%s\n' "$LIMITS" >>"$NATD_CONF"
limit() { awk -v k="$1" '$1 == k { print $3 }' <<<"$LIMITS"; }
# Descriptors: every UDP flow and TCP connection holds one; RSS: the
# reassembly bytes and the records, far below what the floods would take
# without limits. An address-checking build keeps freed memory in
# quarantine (256 MiB) and does without the seccomp filter.
FD_BOUND=$(($(limit udpFlows) + $(limit tcpConnections) + 64))
RSS_BOUND=64 SECCOMP=2
ldd "$NATD" | grep -q libasan && RSS_BOUND=1024 SECCOMP=0
ulimit -Sn 1024 # natd raises it to the hard limit
hostile_sandbox

MID=$SB_TMP/mid
head -c 2M /dev/urandom >"$MID" || fail "test file"
MID_SUM=$(sha256sum <"$MID")
bg_in "$NS_OUT" socat TCP-LISTEN:9000,fork,reuseaddr SYSTEM:"cat $MID"
bg_in "$NS_OUT" socat TCP-LISTEN:7000,fork,reuseaddr PIPE
bg_in "$NS_OUT" socat UDP4-RECVFROM:7777,bind=198.51.100.2,fork PIPE
bg_in "$SB-good" socat TCP-LISTEN:80,fork,reuseaddr SYSTEM:'echo served'
wait_listen "$NS_OUT" 9000 7000 7777
wait_listen "$SB-good" 80

download() { in_guest_ns good socat -T5 -u TCP:198.51.100.2:9000 STDOUT | sha256sum; }
ticks() { awk '{ print $14 + $15 }' "/proc/$NATD_PID/stat"; }
# verdict NAME VALUE BOUND [UNIT]: "NAME ok (VALUE <= BOUND)" or "NAME over
# (...)", also on the script's output (fd 3), where passing rows show it.
verdict() {
  local v="$1 over ($2 > $3${4:-}) "
  [ "$2" -le "$3" ] && v="$1 ok ($2 <= $3${4:-}) "
  echo -n "$v" && echo -n "  $v" >&3
}
# Percent of one core natd uses over the next 3 s.
idle_cpu() {
  local t0
  t0=$(ticks) && sleep 3 && echo $(((($(ticks) - t0) * 100) / (3 * $(getconf CLK_TCK))))
}

# flood CMD...: CMD in the evil guest; meanwhile the good guest pings the
# gateway every 0.2 s and downloads 2 MiB again and again, until 2 s after
# the flood. Then natd's descriptors, memory and CPU once it is over.
flood() {
  local run=$SB_TMP/run ping_pid tcp_pid got sent
  touch "$run" && rm -f "$SB_TMP/tcp.out"
  ip netns exec "$SB-good" ping -i 0.2 -W 2 10.254.254.1 >"$SB_TMP/ping.out" 2>&1 &
  ping_pid=$!
  while [ -e "$run" ]; do download >>"$SB_TMP/tcp.out"; done &
  tcp_pid=$!
  sleep 0.5
  timeout 120 ip netns exec "$SB-evil" "$@" >"$SB_TMP/flood.out" 2>&1
  sleep 2
  rm -f "$run"
  wait "$tcp_pid"
  kill -INT "$ping_pid" && wait "$ping_pid"
  read -r got sent < <(awk '/ received/ { print $4, $1 }' "$SB_TMP/ping.out")
  natd_alive
  verdict ping-loss $((100 - 100 * ${got:-0} / ${sent:-1})) 10 %
  verdict tcp-failures "$(grep -cvxF "$MID_SUM" "$SB_TMP/tcp.out")" 0 " of $(wc -l <"$SB_TMP/tcp.out")"
  # UDP: the flows' bound beside the good guest's TCP connections (TIME_WAIT keeps their sockets)
  [ "$FD_BOUND" = udp ] && FD_BOUND=$(($(limit udpFlows) + 64 + $(ctl_cmd CONNS | grep -c '^251-')))
  verdict fds "$(ls "/proc/$NATD_PID/fd" | wc -l)" "$FD_BOUND"
  verdict rss "$(awk '/^VmRSS/ { print int($2 / 1024) }' "/proc/$NATD_PID/status")" "$RSS_BOUND" " MiB"
  verdict cpu "$(idle_cpu)" 20 "% once it ended"
  echo && echo >&3
}

# Forward clients wait while natd has no descriptor left for accept: the
# listener pauses instead of spinning, and serves them once there are.
starved_accept() {
  local n=0 soft c
  soft=$(prlimit --pid "$NATD_PID" --nofile --noheadings --output SOFT)
  while [ -e "/proc/$NATD_PID/fd/$n" ]; do n=$((n + 1)); done # the lowest free descriptor
  prlimit --pid "$NATD_PID" --nofile="$n:" || return
  for c in 1 2 3 4 5; do
    ip netns exec "$NS_OUT" socat -T10 -u TCP:198.51.100.1:8080 STDOUT >>"$SB_TMP/clients" 2>&1 &
  done
  verdict starved-cpu "$(idle_cpu)" 20 "% while starved"
  prlimit --pid "$NATD_PID" --nofile="$soft:"
  wait # for the clients, the only jobs of this subshell
  verdict unserved $((5 - $(grep -cx served "$SB_TMP/clients"))) 0 " of 5"
  echo && echo >&3
}

check "natd runs under its seccomp filter (none in an address-checking build)" "^Seccomp:\s+$SECCOMP\$" \
  grep '^Seccomp:' "/proc/$NATD_PID/status"
check "natd raised its descriptor limit to the hard one" '^raised$' \
  awk '/^Max open files/ { print $4 == $5 ? "raised" : "soft " $4 ", hard " $5 }' "/proc/$NATD_PID/limits"
check "natd kept only the capabilities it uses" '^CapEff:\s+000000000000342e$' grep '^CapEff:' "/proc/$NATD_PID/status"

exec 3>&1 # the figures of passing rows too
ROW='^ping-loss ok .* tcp-failures ok .* fds ok .* rss ok .* cpu ok '
check "spoofed ARP senders (20000)" "$ROW" flood $GEN arp 20000 "$GATEWAY_MAC"
check "fragments at the largest offset (5000)" "$ROW" flood $GEN frag 5000 "$GATEWAY_MAC" 198.51.100.2
FD_BOUND=udp check "UDP from 5000 source ports" "$ROW" flood hping3 -q --udp -p 7777 -s 20000 -c 5000 -i u100 198.51.100.2
check "SYNs to 6000 ports of a silent host" "$ROW" flood hping3 -q -S -p ++1 -s 30000 -c 6000 -i u100 203.0.113.99
check "one-byte segments, never in order (2000)" "$ROW" flood $GEN ooo 2000 "$GATEWAY_MAC" 198.51.100.2 7000
check "forward clients while descriptors are out" '^starved-cpu ok .* unserved ok ' starved_accept

# LIMITS lists every key with its configured value and counts the floods.
LIMITS_REPLY=$(ctl_cmd LIMITS)
while read -r key _ value; do
  check "LIMITS: $key = $value" "271-$key $value [0-9]+" echo "$LIMITS_REPLY"
done <<<"$LIMITS"
for key in arpSubnetOnly reassemblyBytes udpFlows tcpConnections tcpReorderSegments descriptors; do
  check "LIMITS: $key was reached and counted" "271-$key [0-9]+ [1-9][0-9]*" echo "$LIMITS_REPLY"
done
