#!/usr/bin/env bash
# Soak: MINUTES of churn through natd with the recommended [limits] block
# (dist/limits-shared.conf): a guest opens short TCP connections (downloads,
# refused ports), sends UDP from ever new source ports and pings the
# gateway, while a second guest sends hostile frames (random ARP senders,
# fragments at the largest offset, SYNs to closed ports, one-byte segments
# out of order). Every 10 s one line: natd's RSS, descriptors and CPU over
# the interval (from /proc). Once the load stops and natd's flows and
# connections have expired, its descriptors must be back near where they
# started, and its RSS must not have grown past the tolerance since the
# end of the warm-up (the first third): 16 MiB plus 25 %.
#
# Usage: bash bench/soak.sh [MINUTES] [/path/to/natd]   (as root; default 10)
# Exit status 0 when natd stayed flat, 1 otherwise. CTest runs two minutes
# of it (label soak).
set -u
MINUTES=${1:-10}
shift || true
. "$(dirname "$0")/bench_init.sh"

GEN="python3 $HERE/../tests/e2e/hostile_frames.py"
# An address-checking build holds freed memory in quarantine (256 MiB by
# default), which would read as growth: keep it small.
ldd "$NATD_BIN" | grep -q libasan && export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}quarantine_size_mb=16
need_tools hping3 python3 nft socat ping
sandbox_init soak
printf '[tcp]\ntimeWaitTimeout = 1\n[udp]\ntimeout = 5\n' >>"$NATD_CONF"
cat "$HERE/../dist/limits-shared.conf" >>"$NATD_CONF" || fail "dist/limits-shared.conf"
hostile_sandbox
head -c 256K /dev/urandom >"$SB_TMP/small"
bg_in "$NS_OUT" socat TCP-LISTEN:9000,fork,reuseaddr SYSTEM:"cat $SB_TMP/small"
bg_in "$NS_OUT" socat TCP-LISTEN:7000,fork,reuseaddr PIPE
bg_in "$NS_OUT" socat UDP4-RECVFROM:7777,bind=198.51.100.2,fork PIPE
wait_listen "$NS_OUT" 9000 7000 7777

STOP=$SB_TMP/stop LOADS=()
# load NS CMD...: CMD again and again in NS until the soak stops.
load() {
  (while [ ! -e "$STOP" ]; do ip netns exec "$@" >/dev/null 2>&1 || sleep 0.2; done) &
  LOADS+=($!)
}
load "$SB-good" socat -T5 -u TCP:198.51.100.2:9000 /dev/null
load "$SB-good" socat -T5 -u TCP:198.51.100.2:9999 /dev/null
load "$SB-good" sh -c 'hping3 -q --udp -p 7777 -s $((RANDOM + 1024)) -c 200 -i u5000 198.51.100.2'
load "$SB-good" ping -q -c 50 -i 0.2 10.254.254.1
load "$SB-evil" $GEN arp 2000 "$GATEWAY_MAC"
load "$SB-evil" $GEN frag 300 "$GATEWAY_MAC" 198.51.100.2
load "$SB-evil" hping3 -q -S -p ++1000 -c 300 -i u2000 198.51.100.2
load "$SB-evil" $GEN ooo 300 "$GATEWAY_MAC" 198.51.100.2 7000

ticks() { awk '{ print $14 + $15 }' "/proc/$NATD_PID/stat"; }
fds() { ls "/proc/$NATD_PID/fd" | wc -l; }
rss() { awk '/^VmRSS/ { print int($2 / 1024) }' "/proc/$NATD_PID/status"; }
HZ=$(getconf CLK_TCK)
START_FDS=$(fds)
end=$((SECONDS + 60 * MINUTES)) warm_end=$((SECONDS + 20 * MINUTES)) warm_rss="" t0=$(ticks)
echo "soak: $MINUTES min; natd $NATD_PID: $(rss) MiB, $START_FDS descriptors at the start"
while [ $SECONDS -lt $end ]; do
  sleep 10
  natd_alive
  t1=$(ticks)
  printf 't=%4ds rss=%4d MiB fds=%5d cpu=%3d%%\n' $((SECONDS - end + 60 * MINUTES)) "$(rss)" "$(fds)" \
    $(((t1 - t0) * 10 / HZ))
  t0=$t1
  [ -z "$warm_rss" ] && [ $SECONDS -ge $warm_end ] && warm_rss=$(rss)
done
touch "$STOP"
wait "${LOADS[@]}"
sleep 8 # UDP flows (5 s), TIME_WAIT (1 s) and refused connections end
rss_end=$(rss) fds_end=$(fds)
rss_bound=$((${warm_rss:-$rss_end} * 5 / 4 + 16)) fds_bound=$((START_FDS + 16))
echo "after the load: rss=$rss_end MiB (at most $rss_bound), fds=$fds_end (at most $fds_bound)"
ctl_cmd LIMITS | grep '^271-'
[ "$rss_end" -le "$rss_bound" ] && [ "$fds_end" -le "$fds_bound" ] || fail "natd grew during the soak"
pass "natd stayed flat"
