#!/usr/bin/env bash
# TCP throughput through natd, through slirp4netns and through plain kernel
# routing over a veth (the ceiling), in one sandbox and one run.
#
# Three guests reach the same iperf3 server in the outside namespace
# (198.51.100.2) through the same host namespace:
#   natd         guest 10.254.254.10 on natd's TAP; natd runs in the host
#                namespace and relays through its own host sockets
#   slirp4netns  guest 10.0.2.100 on a tap0 served by slirp4netns, which runs
#                in the host namespace and relays through its host sockets
#   kernel-veth  guest 192.0.2.2 on a veth, routed by the host namespace's
#                kernel (forwarding on)
# guest->outside is iperf3 sending from the guest; outside->guest is
# iperf3 -R from the guest (the server sends on a guest-initiated
# connection), the same for every system.
#
# Prints one line per system and direction with Mbit/s, and on natd's lines
# the ratio natd / slirp4netns. Where natd reaches less than 1.5 times
# slirp4netns, the run of that direction is repeated with natd sampled by
# perf (cpu-clock) and the hottest symbols are printed.
#
# Usage: bash bench/tcp_throughput.sh [/path/to/natd]   (as root)
# Environment: BENCH_SECONDS (default 5) per run, BENCH_PROFILE=0 to skip
# profiling.
set -u
. "$(dirname "$0")/bench_init.sh"

SECS=${BENCH_SECONDS:-5}
PROFILE=${BENCH_PROFILE:-1}

bench_sandbox bench

bg_in "$NS_OUT" iperf3 -s -B 198.51.100.2 >"$SB_TMP/iperf3-server.log" 2>&1
for _ in $(seq 50); do
  [ -n "$(in_outside ss -Htln '( sport = :5201 )')" ] && break
  sleep 0.1
done

declare -A SYS_NS=([natd]="$GUEST_NS" [slirp4netns]="$SB-slirp" [kernel-veth]="$SB-kern")
declare -A RESULT
for sys in natd slirp4netns kernel-veth; do
  ip netns exec "${SYS_NS[$sys]}" ping -c1 -W2 198.51.100.2 >/dev/null 2>&1 ||
    echo "note: $sys guest does not answer ping to 198.51.100.2 (TCP may still work)" >&2
done

DIRS=("guest->outside" "outside->guest")
declare -A FLAG=([guest->outside]="" [outside->guest]="-R")
for dir in "${DIRS[@]}"; do
  for sys in natd slirp4netns kernel-veth; do
    RESULT[$sys,$dir]=$(bench_iperf "${SYS_NS[$sys]}" 198.51.100.2 "$SECS" "${FLAG[$dir]}")
  done
done

ratio() {
  python3 -c 'import sys
try: print("%.2f" % (float(sys.argv[1]) / float(sys.argv[2])))
except Exception: print("-")' "$1" "$2"
}

echo
echo "TCP throughput, iperf3 ${SECS} s per run; outside->guest is iperf3 -R from the guest"
printf '%-12s %-15s %10s  %s\n' system direction Mbit/s natd/slirp4netns
SHORT=()
for dir in "${DIRS[@]}"; do
  r=$(ratio "${RESULT[natd,$dir]}" "${RESULT[slirp4netns,$dir]}")
  for sys in natd slirp4netns kernel-veth; do
    printf '%-12s %-15s %10s  %s\n' "$sys" "$dir" "${RESULT[$sys,$dir]}" "$([ $sys = natd ] && echo "$r" || echo -)"
  done
  python3 -c 'import sys; sys.exit(0 if sys.argv[1] != "-" and float(sys.argv[1]) >= 1.5 else 1)' "$r" ||
    SHORT+=("$dir")
done

if [ "$PROFILE" = 1 ] && [ "${#SHORT[@]}" -gt 0 ]; then
  for dir in "${SHORT[@]}"; do
    echo
    echo "natd below 1.5x slirp4netns $dir: where natd's time goes (perf, cpu-clock, ${SECS} s)"
    bench_profile "$NATD_PID" "$SECS" "$SB_TMP/profile.txt" &
    prof=$!
    sleep 0.5
    mbit=$(bench_iperf "${SYS_NS[natd]}" 198.51.100.2 "$SECS" "${FLAG[$dir]}")
    wait "$prof"
    echo "(natd $mbit Mbit/s while sampled)"
    cat "$SB_TMP/profile.txt"
    echo "-- system calls per MiB moved, $dir:"
    for sys in natd slirp4netns; do
      pid=$([ $sys = natd ] && echo "$NATD_PID" || echo "$BENCH_SLIRP_PID")
      bench_syscalls "$pid" "$SECS" "$SB_TMP/sys.$sys" &
      prof=$!
      sleep 0.5
      mbit=$(bench_iperf "${SYS_NS[$sys]}" 198.51.100.2 "$SECS" "${FLAG[$dir]}")
      wait "$prof"
      python3 - "$sys" "$mbit" "$SECS" "$SB_TMP/sys.$sys" <<'EOF'
import sys
name, mbit, secs, path = sys.argv[1], sys.argv[2], float(sys.argv[3]), sys.argv[4]
counts = dict(line.split() for line in open(path) if line.strip())
try:
    mib = float(mbit) * 1e6 * secs / 8 / 1048576
except ValueError:
    mib = 0
if not counts or mib <= 0:
    print("  %-12s no figures (perf stat or iperf3 failed)" % name)
else:
    parts = ", ".join("%s %.0f" % (k, int(v) / mib)
                      for k, v in sorted(counts.items(), key=lambda kv: -int(kv[1])))
    print("  %-12s %7s Mbit/s: %s" % (name, mbit, parts))
EOF
    done
  done
fi
