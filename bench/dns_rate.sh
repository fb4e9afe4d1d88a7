#!/usr/bin/env bash
# DNS queries per second through natd, against dnsmasq asked directly and
# against slirp4netns's built-in DNS forwarder, in one sandbox and one run.
#
# dnsmasq in the outside namespace (198.51.100.2) answers web.test from its
# own records. The host namespace's resolver configuration
# (/etc/netns/<host namespace>/resolv.conf) names it, so natd's resolver
# children and slirp4netns, which both run there, forward to it:
#   natd            guest 10.254.254.10 asks 10.254.254.1: one child process
#                   per query, through the host's resolver library
#   dnsmasq-direct  the kernel-routed guest 192.0.2.2 asks 198.51.100.2
#   slirp4netns     guest 10.0.2.100 asks slirp4netns's forwarder 10.0.2.3
#
# dnsperf keeps BENCH_DNS_OUTSTANDING (default 20) queries outstanding for
# BENCH_SECONDS (default 5) per system; one line per system: queries per
# second, mean latency, queries lost (no answer within 2 s); natd's line
# also gives the ratio natd / slirp4netns.
#
# Prints figures; asserts nothing.
# Usage: bash bench/dns_rate.sh [/path/to/natd]   (as root)
set -u
. "$(dirname "$0")/bench_init.sh"

SECS=${BENCH_SECONDS:-5}
OUTSTANDING=${BENCH_DNS_OUTSTANDING:-20}
ETC_HOST=""

host_resolver() {
  ETC_HOST="/etc/netns/$NS_HOST"
  mkdir -p "$ETC_HOST" && echo "nameserver 198.51.100.2" >"$ETC_HOST/resolv.conf"
}
bench_need dnsperf dnsmasq
bench_sandbox dnsrate host_resolver
# shellcheck disable=SC2154
trap 'rc=$?; rm -rf "$ETC_HOST"; bench_cleanup; (exit $rc); sandbox_teardown' EXIT

bg_in "$NS_OUT" dnsmasq -k --no-resolv --no-hosts -z -a 198.51.100.2 -x "$SB_TMP/dnsmasq.pid" \
  --host-record=web.test,198.51.100.2
for _ in $(seq 50); do in_outside dig +short @198.51.100.2 web.test | grep -q . && break; sleep 0.1; done
echo "web.test A" >"$SB_TMP/queries"

declare -A SYS_NS=([natd]="$GUEST_NS" [dnsmasq-direct]="$SB-kern" [slirp4netns]="$SB-slirp")
declare -A SERVER=([natd]=10.254.254.1 [dnsmasq-direct]=198.51.100.2 [slirp4netns]=10.0.2.3)
SYSTEMS="natd dnsmasq-direct slirp4netns"

echo "DNS queries per second, dnsperf with $OUTSTANDING outstanding, ${SECS} s per system"
printf '%-15s %10s %14s %8s\n' system "queries/s" "mean ms" lost
declare -A QPS
for sys in $SYSTEMS; do
  # One short run first: ARP, slirp4netns's and natd's first children.
  ip netns exec "${SYS_NS[$sys]}" dnsperf -s "${SERVER[$sys]}" -d "$SB_TMP/queries" -l 1 >/dev/null 2>&1
  read -r qps mean lost < <(ip netns exec "${SYS_NS[$sys]}" timeout $((SECS + 30)) dnsperf \
    -s "${SERVER[$sys]}" -d "$SB_TMP/queries" -l "$SECS" -q "$OUTSTANDING" -t 2 2>/dev/null | awk '
      /Queries per second:/ { q = $4 }
      /Average Latency \(s\):/ { m = $4 * 1000 }
      /Queries lost:/ { l = $3 }
      END { if (q == "") print "failed - -"; else printf "%.0f %.2f %s\n", q, m, l }')
  QPS[$sys]=$qps
  printf '%-15s %10s %14s %8s\n' "$sys" "$qps" "$mean" "$lost"
done
if [[ "${QPS[natd]}" =~ ^[0-9]+$ && "${QPS[slirp4netns]}" =~ ^[0-9]+$ && "${QPS[slirp4netns]}" -gt 0 ]]; then
  echo "natd / slirp4netns queries per second: $(awk -v a="${QPS[natd]}" -v b="${QPS[slirp4netns]}" 'BEGIN { printf "%.2f", a / b }')"
fi
