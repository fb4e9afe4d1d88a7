#!/usr/bin/env bash
# End-to-end DHCP: two guests without addresses on natd's virtual switch ask
# natd's DHCP server, one with busybox udhcpc and one with ISC dhclient. The
# first gets 10.254.254.128 with netmask, router, DNS server, host name
# vh0AFEFE80 and the domain, the second .129; the first asking again gets
# .128 back; with the lease applied the guest reaches an outside UDP echo
# service. With enableNatDhcp 0 nothing answers.
#
# Usage: bash test_dhcp.sh /path/to/natd   (as root)
set -u
. "$(dirname "$0")/lib.sh"

need_tools busybox dhclient socat ss

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

# A guest namespace on the bridge with no IPv4 address and no route.
dhcp_guest() {
  add_guest "$1" "$2" "$3"
  in_guest_ns "$1" ip addr flush dev eth0 || fail "flush $1"
}

# udhcpc hook: applies the lease and records what it was given.
write_udhcpc_script() {
  cat >"$SB_TMP/udhcpc.sh" <<'EOF'
#!/bin/sh
case "$1" in
  deconfig) ip addr flush dev "$interface" ;;
  bound|renew)
    ip addr flush dev "$interface"
    ip addr add "$ip/$mask" dev "$interface"
    ip route replace default via "$router"
    env | grep -E '^(ip|mask|subnet|router|dns|hostname|domain|broadcast|serverid)=' | sort >"$UDHCPC_OUT" ;;
esac
exit 0
EOF
  chmod +x "$SB_TMP/udhcpc.sh"
}

# dhclient hook: records what the server offered (dhclient hands its script
# a clean environment, so the output path is written into the script).
write_dhclient_script() {
  {
    echo '#!/bin/sh'
    echo "out='$SB_TMP/d2.lease'"
    cat <<'EOF'
case "$reason" in
  BOUND|RENEW|REBOOT)
    ip addr add "$new_ip_address/$new_subnet_mask" dev "$interface"
    env | grep -E '^new_(ip_address|subnet_mask|routers|domain_name_servers|host_name|domain_name|broadcast_address|dhcp_server_identifier)=' | sort >"$out" ;;
esac
exit 0
EOF
  } >"$SB_TMP/dhclient.sh"
  chmod +x "$SB_TMP/dhclient.sh"
  # natd sends no lease time, and dhclient refuses a lease without one
  # unless its configuration supplies a default.
  printf 'timeout 15;\nretry 1;\ndefault dhcp-lease-time 3600;\n' >"$SB_TMP/dhclient.conf"
}

# udhcpc NAME TRIES: one lease in guest NAME; the recorded values go to
# $SB_TMP/NAME.lease.
udhcpc_run() {
  local name=$1 tries=$2
  rm -f "$SB_TMP/$name.lease"
  in_guest_ns "$name" env UDHCPC_OUT="$SB_TMP/$name.lease" timeout 30 \
    busybox udhcpc -i eth0 -f -q -n -t "$tries" -T 2 -s "$SB_TMP/udhcpc.sh" >"$SB_TMP/$name.udhcpc.log" 2>&1
}

lease_value() { sed -n "s/^$2=//p" "$SB_TMP/$1.lease"; }

sandbox_init dhcp
printf 'enableNatDhcp = 1\n' >>"$NATD_CONF"
ns_host
use_bridge
dhcp_guest d1 02:7D:33:00:00:31 10.254.254.31
dhcp_guest d2 02:7D:33:00:00:32 10.254.254.32
add_outside
write_udhcpc_script
write_dhclient_script

step "udhcpc in the first guest gets 10.254.254.128 and the whole configuration"
udhcpc_run d1 3 || fail "udhcpc got no lease: $(cat "$SB_TMP/d1.udhcpc.log")"
cat "$SB_TMP/d1.lease"
while read -r key want; do
  got=$(lease_value d1 "$key")
  [ "$got" = "$want" ] || fail "udhcpc $key: got '$got', want '$want'"
done <<'EOF'
ip 10.254.254.128
mask 24
subnet 255.255.255.0
router 10.254.254.1
dns 10.254.254.1
hostname vh0AFEFE80
domain virtual.localhost
broadcast 10.254.254.255
serverid 10.254.254.1
EOF
pass "10.254.254.128/24, router and DNS 10.254.254.1, vh0AFEFE80.virtual.localhost"

step "dhclient in the second guest gets 10.254.254.129"
in_guest_ns d2 timeout 40 dhclient -1 -v -cf "$SB_TMP/dhclient.conf" \
  -sf "$SB_TMP/dhclient.sh" -lf "$SB_TMP/d2.leases" -pf "$SB_TMP/d2.pid" eth0 >"$SB_TMP/d2.log" 2>&1 ||
  fail "dhclient got no lease: $(cat "$SB_TMP/d2.log")"
cat "$SB_TMP/d2.log" "$SB_TMP/d2.lease"
while read -r key want; do
  got=$(lease_value d2 "$key")
  [ "$got" = "$want" ] || fail "dhclient $key: got '$got', want '$want'"
done <<'EOF'
new_ip_address 10.254.254.129
new_subnet_mask 255.255.255.0
new_routers 10.254.254.1
new_domain_name_servers 10.254.254.1
new_host_name vh0AFEFE81
new_dhcp_server_identifier 10.254.254.1
EOF
in_guest_ns d2 dhclient -x -pf "$SB_TMP/d2.pid" >/dev/null 2>&1
pass "10.254.254.129 with host name vh0AFEFE81"

step "the first guest asking again gets 10.254.254.128 back"
udhcpc_run d1 3 || fail "second udhcpc got no lease: $(cat "$SB_TMP/d1.udhcpc.log")"
[ "$(lease_value d1 ip)" = 10.254.254.128 ] || fail "second lease: $(lease_value d1 ip)"
pass "same address again"

step "with its lease the guest reaches an outside UDP echo service"
bg_in "$NS_OUT" socat UDP4-RECVFROM:7777,bind=198.51.100.2,fork PIPE
wait_listening "$NS_OUT" u 7777
got=$(echo "after dhcp" | in_guest_ns d1 timeout 10 socat -t 3 - UDP4:198.51.100.2:7777) || fail "socat failed"
[ "$got" = "after dhcp" ] || fail "echo: got '$got'"
table=$(ctl_conns)
echo "$table" | grep -q "^221-10.254.254.128 => 02:7D:33:00:00:31" || fail "ARP table lacks the lease: $table"
pass "echo through natd from 10.254.254.128"

natd_alive
pass "test_dhcp"
