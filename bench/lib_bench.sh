# shellcheck shell=bash
# Helpers shared by the benchmarks (source after tests/e2e/lib.sh).
#
# The end-to-end sandbox gives a host namespace (natd on its TAP device),
# guests on natd's subnet and an outside namespace on TEST-NET addresses.
# The benchmarks add two more guests that reach the same outside namespace
# through the same host namespace by other means:
#
#   bench_slirp_guest NAME HOSTNS     a guest namespace whose tap0 is served
#                                     by slirp4netns running in HOSTNS
#                                     (10.0.2.100/24, gateway 10.0.2.2)
#   bench_routed_guest NAME HOSTNS OUTNS
#                                     a guest namespace on a veth to HOSTNS,
#                                     192.0.2.2/30 routed by HOSTNS's kernel
#                                     (forwarding on; OUTNS gets the route
#                                     back): the ceiling
#   bench_iperf NS SERVER SECONDS [-R]
#                                     one iperf3 run from NS against SERVER;
#                                     prints the receiver's Mbit/s (the first
#                                     BENCH_IPERF_OMIT seconds, 1, not counted)
#   bench_profile PID SECONDS OUT     samples PID with perf (cpu-clock) or,
#                                     when perf cannot sample, says so
#   bench_syscalls PID SECONDS OUT    counts PID's system calls (all, and
#                                     the read/write/poll families) with
#                                     perf stat; OUT gets "name count" lines
#   bench_cleanup                     ends what these helpers started
# BENCH_SLIRP_PID is the slirp4netns process of the last slirp guest.
#
# Everything these helpers start is recorded and ended by bench_cleanup,
# which the caller runs from its own EXIT handling.

BENCH_PIDS=()
BENCH_NETNS=()

bench_need() {
  local t
  for t in "$@"; do
    command -v "$t" >/dev/null 2>&1 || { echo "bench: missing tool $t (run scripts/install-deps.sh)" >&2; exit 1; }
  done
}

bench_slirp_guest() {
  local name=$1 hostns=$2
  ip netns add "$name" || return 1
  BENCH_NETNS+=("$name")
  ip -n "$name" link set lo up
  ip netns exec "$hostns" slirp4netns --configure --mtu=1500 \
      --netns-type=path "/var/run/netns/$name" tap0 >"${BENCH_TMP:-/tmp}/slirp-$name.log" 2>&1 &
  BENCH_PIDS+=($!)
  # shellcheck disable=SC2034  # read by the benchmarks
  BENCH_SLIRP_PID=$!
  for _ in $(seq 50); do
    ip -n "$name" -4 addr show dev tap0 2>/dev/null | grep -q 'inet 10.0.2.100' && return 0
    sleep 0.1
  done
  echo "bench: slirp4netns did not configure tap0 in $name" >&2
  cat "${BENCH_TMP:-/tmp}/slirp-$name.log" >&2
  return 1
}

bench_routed_guest() {
  local name=$1 hostns=$2 outns=$3
  local hv="${name:0:10}h" gv="${name:0:10}g"
  ip netns add "$name" || return 1
  BENCH_NETNS+=("$name")
  ip -n "$name" link set lo up
  ip link add "$hv" netns "$hostns" type veth peer name "$gv" netns "$name" || return 1
  ip -n "$hostns" addr add 192.0.2.1/30 dev "$hv"
  ip -n "$hostns" link set "$hv" up
  ip -n "$name" addr add 192.0.2.2/30 dev "$gv"
  ip -n "$name" link set "$gv" up
  ip -n "$name" route add default via 192.0.2.1
  ip netns exec "$hostns" sysctl -qw net.ipv4.ip_forward=1
  ip -n "$outns" route replace 192.0.2.0/30 via 198.51.100.1
}

bench_iperf() {
  local ns=$1 server=$2 secs=$3 rev=${4:-}
  ip netns exec "$ns" timeout $((secs + 20)) iperf3 -c "$server" -t "$secs" -O "${BENCH_IPERF_OMIT:-1}" $rev -J 2>/dev/null |
    python3 -c '
import json, sys
try:
    d = json.load(sys.stdin)
    print("%.1f" % (d["end"]["sum_received"]["bits_per_second"] / 1e6))
except Exception:
    print("failed")'
}

bench_profile() {
  local pid=$1 secs=$2 out=$3
  local t0 t1
  t0=$(awk '{ print $14 + $15 }' "/proc/$pid/stat" 2>/dev/null)
  if perf record -e cpu-clock -g -o "$out.data" -p "$pid" -- sleep "$secs" >/dev/null 2>&1; then
    t1=$(awk '{ print $14 + $15 }' "/proc/$pid/stat" 2>/dev/null)
    {
      echo "CPU used by the process: $(( (t1 - t0) * 100 / ($(getconf CLK_TCK) * secs) ))% of one core"
      echo "-- time including callees (top 20):"
      perf report -i "$out.data" --stdio --children --sort symbol 2>/dev/null |
        grep -E '^ +[0-9.]+%' | head -20 | awk '{ printf "  %7s %7s  %s %s\n", $1, $2, $3, $4 }'
      echo "-- self time in the process's own code (top 10):"
      perf report -i "$out.data" --stdio --no-children --sort dso,symbol 2>/dev/null |
        grep -E '^ +[0-9.]+%' | grep -v -E '\[kernel|libc' | head -10 | awk '{ printf "  %7s  %s %s\n", $1, $2, $4 }'
    } >"$out"
  else
    echo "perf could not sample pid $pid" >"$out"
  fi
}

bench_syscalls() {
  local pid=$1 secs=$2 out=$3 e
  local args=(-e raw_syscalls:sys_enter)
  for e in read write readv writev recvfrom sendto recvmsg sendmsg poll ppoll epoll_wait; do
    args+=(-e "syscalls:sys_enter_$e")
  done
  if perf stat -x, "${args[@]}" -p "$pid" -- sleep "$secs" 2>"$out.raw" >/dev/null; then
    # "count,,event,..." -> "event count", zero counts left out
    awk -F, '$1 ~ /^[0-9]+$/ && $1 > 0 { sub(/^.*sys_enter_?/, "", $3); print ($3 == "" ? "all" : $3), $1 }' \
      "$out.raw" >"$out"
  else
    : >"$out"
  fi
}

bench_cleanup() {
  local p n
  for p in "${BENCH_PIDS[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${BENCH_PIDS[@]}"; do wait "$p" 2>/dev/null; done
  BENCH_PIDS=()
  for n in "${BENCH_NETNS[@]}"; do ip netns del "$n" 2>/dev/null; done
  BENCH_NETNS=()
}

# The sandbox every benchmark measures in: natd's guest g1 (10.254.254.10),
# a slirp4netns guest and a kernel-routed guest, all reaching the outside
# namespace through the host namespace. Sets BENCH_TMP and the EXIT trap.
# HOOK, when given, runs after the namespaces' names are known and before
# natd and slirp4netns start (files for /etc/netns, say).
bench_sandbox() {  # name [hook]
  sandbox_init "$1"
  need_tools iperf3 slirp4netns
  BENCH_TMP=$SB_TMP
  # shellcheck disable=SC2154
  trap 'rc=$?; bench_cleanup; (exit $rc); sandbox_teardown' EXIT
  [ -z "${2:-}" ] || "$2"
  printf '%b\n' "${BENCH_NATD_CONF:-}" >>"$NATD_CONF"  # more lines, e.g. "[host]\ntapOffload = 1"
  ns_host
  add_guest g1 02:7D:33:00:00:10 10.254.254.10
  add_outside
  bench_slirp_guest "$SB-slirp" "$NS_HOST" || fail "slirp4netns guest"
  bench_routed_guest "$SB-kern" "$NS_HOST" "$NS_OUT" || fail "routed guest"
}
