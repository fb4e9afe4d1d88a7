#!/usr/bin/env bash
# Round-trip time of ping from a guest to an outside host through natd,
# against a direct veth between the same two namespaces. Prints figures;
# asserts nothing.
#
# Usage: bash bench/ping_rtt.sh /path/to/natd [count]   (as root)
set -u
. "$(dirname "$0")/../tests/e2e/lib.sh"

COUNT=${2:-500}
need_tools ping awk
sandbox_init rtt
ns_host
add_guest g1 02:7D:33:00:00:10 10.254.254.10
add_outside

# A second, direct path between the guest and the outside namespace.
ip -n "$GUEST_NS" link add direct type veth peer name direct netns "$NS_OUT" || fail "direct veth"
ip -n "$GUEST_NS" addr add 192.0.2.129/30 dev direct
ip -n "$NS_OUT" addr add 192.0.2.130/30 dev direct
ip -n "$GUEST_NS" link set direct up
ip -n "$NS_OUT" link set direct up

# rtt min/avg/max/mdev in ms for COUNT pings of 56 bytes, 10 ms apart.
rtt() {
  in_guest ping -q -c "$COUNT" -i 0.01 -W 2 "$1" | awk -F'[/ =]+' '/^rtt/ {print $6, $7, $8, $9}'
}

in_guest ping -c 3 -i 0.2 -W 2 198.51.100.2 >/dev/null || fail "no path through natd"
in_guest ping -c 3 -i 0.2 -W 2 192.0.2.130 >/dev/null || fail "no direct path"

printf '%-24s %10s %10s %10s %10s   (ms, %d pings)\n' path min avg max mdev "$COUNT"
read -r a b c d < <(rtt 198.51.100.2)
printf '%-24s %10s %10s %10s %10s\n' "through natd" "$a" "$b" "$c" "$d"
read -r a b c d < <(rtt 192.0.2.130)
printf '%-24s %10s %10s %10s %10s\n' "direct veth" "$a" "$b" "$c" "$d"
