# End-to-end sandbox for natd: network namespaces made by the test, natd on
# a TAP device in a namespace of its own, real Linux guests in other
# namespaces, outside hosts on TEST-NET addresses. Nothing a guest sends can
# leave the machine: natd lives in the host namespace, which has no default
# route and reaches nothing but the namespaces below.
#
# A test script sources this file and runs as `bash test_x.sh /path/natd`
# (as root); it exits non-zero at the first failure. A missing tool or
# privilege is a failure, never a skip. Teardown always runs (trap on EXIT):
# natd must still be running and must exit with status 0 on SIGTERM without
# a sanitizer report on its stderr (else the test fails); every process in
# the sandbox's namespaces is killed, the namespaces and the temporary
# directory removed.
#
#   guest ns(s) --TAP or bridge-- host ns (natd) --veth-- [router ns --veth--] outside ns
#
#   guests      10.254.254.0/24, default route via 10.254.254.1 (natd)
#   host ns     198.51.100.1/24 towards the outside (add_outside), or
#               192.0.2.1/30 towards the router (add_router)
#   router ns   192.0.2.2/30 and 198.51.100.1/24, forwarding
#   outside ns  198.51.100.2/24 on eth0, 203.0.113.10/32 on lo; it does not
#               forward, so other 203.0.113.0/24 addresses answer nothing
#
# sandbox_init NAME      root and tool checks, $SB_TMP, namespace $NS_HOST,
#                        $NATD_CONF (append to it before ns_host), teardown
# need_tools CMD...      fails when a command is missing
# ns_host [ARGS...]      natd (under setsid: its shutdown signals its own
#                        process group) in $NS_HOST on tap:$TAP with
#                        $NATD_CONF and a MAC file holding $GATEWAY_MAC;
#                        sets NATD_PID, CTL_SOCK, GATEWAY_MAC (lower case)
# use_bridge             (after ns_host, before add_guest) bridge br0 in
#                        $NS_HOST joins the TAP and one veth per guest;
#                        without it the only guest gets the TAP itself
# add_guest NAME MAC IP  guest namespace $SB-NAME (also $GUEST_NS), eth0 = MAC, IP/24
# add_outside / add_router   the outside namespace $NS_OUT (and $NS_ROUTER)
# in_host / in_outside / in_guest (first guest) CMD...
# in_guest_ns NAME CMD...
# bg_in NS CMD...        CMD in the background in NS, pid in BG_PID (the
#                        caller's redirections apply, standard input too)
# ctl_cmd TEXT           one control command; prints its reply ("\r" removed)
# natd_alive             fails when natd has exited
# step / pass / fail TEXT
# check WHAT WANT CMD... one table row: CMD's output (stdout and stderr)
#                        must match the extended regex WANT, or must not
#                        match it when WANT starts with "!"
# wait_listen NS PORT...  until each PORT has a TCP or UDP socket bound in NS
# conns_valid            the CONNS reply on stdin is well formed: every
#                        table once and in order, each count line equal to
#                        the entries listed

set -u
NATD=${1:-}
SB_OK=0

step() { echo "== $*"; }
pass() { echo "PASS: $*"; }
fail() {
  echo "FAIL: $*" >&2
  [ -s "${SB_TMP:-/nonexistent}/natd.err" ] && tail -n 20 "$SB_TMP/natd.err" >&2
  exit 1
}
need_tools() {
  local t
  for t; do command -v "$t" >/dev/null || fail "required tool missing: $t (scripts/install-deps.sh)"; done
}

sandbox_init() {
  [ "$(id -u)" = 0 ] || fail "must run as root (namespaces, TAP, raw sockets)"
  [ -n "$NATD" ] && [ -x "$NATD" ] || fail "natd binary not given or not executable: '$NATD'"
  [ -c /dev/net/tun ] || fail "/dev/net/tun missing"
  need_tools ip setsid socat sysctl timeout
  SB="ne2e-$1-$$" TAP=natd0 NATD_PID="" SB_NS=() SB_GUESTS=() SB_BRIDGE=0
  SB_TMP=$(mktemp -d "/tmp/natd-e2e.$1.XXXXXX") || fail "mktemp"
  NATD_CONF=$SB_TMP/nat.conf
  printf '[host]\nip = 10.254.254.1/24\n' >"$NATD_CONF"
  SB_OK=1
  trap sandbox_teardown EXIT
  trap 'exit 130' INT TERM
  NS_HOST=$SB-host
  sb_ns "$NS_HOST"
}

sb_ns() {
  ip netns add "$1" || fail "cannot create namespace $1"
  SB_NS+=("$1")
  ip -n "$1" link set lo up
  ip netns exec "$1" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv4.icmp_ratelimit=0
}

sandbox_teardown() {
  local rc=$? ns pid st
  trap - EXIT
  [ "$SB_OK" = 1 ] || exit $rc
  if [ -n "$NATD_PID" ]; then
    (natd_alive) || rc=1
    kill -TERM "$NATD_PID" 2>/dev/null
    (sleep 5 && kill -KILL "$NATD_PID") >/dev/null 2>&1 &
    wait "$NATD_PID"
    st=$?
    kill $! 2>/dev/null
    [ "$st" = 0 ] || { echo "FAIL: natd's exit status at SIGTERM: $st (137: killed after 5 s)" >&2 && rc=1; }
    rm -f "$CTL_SOCK"
  fi
  if grep -E -A12 'Sanitizer|runtime error' "$SB_TMP/natd.err" >"$SB_TMP/report" 2>/dev/null; then
    echo "FAIL: natd's sanitizer report:" >&2 && head -n 60 "$SB_TMP/report" >&2 && rc=1
  fi
  exec 2>/dev/null # no job notices for the servers killed below
  for ns in "${SB_NS[@]}"; do
    for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null; done
    ip netns del "$ns" 2>/dev/null
  done
  rm -rf "$SB_TMP"
  exit $rc
}

in_host() { ip netns exec "$NS_HOST" "$@"; }
in_outside() { ip netns exec "$NS_OUT" "$@"; }
in_guest() { ip netns exec "${SB_GUESTS[0]}" "$@"; }
in_guest_ns() { ip netns exec "$SB-$1" "${@:2}"; }
bg_in() {
  ip netns exec "$@" <&0 &
  BG_PID=$!
}

ns_host() {
  # A lower-case MAC with an "f": natd must read it back from its MAC file.
  GATEWAY_MAC=02:4e:a1:0f:ab:cd
  echo "$GATEWAY_MAC" >"$SB_TMP/natd.mac"
  local dev=${NATD_DEV:-tap:$TAP}  # NATD_DEV: another device (unix:PATH)
  ip netns exec "$NS_HOST" setsid "$NATD" -c "$NATD_CONF" -m "$SB_TMP/natd.mac" "$@" "$dev" \
    >"$SB_TMP/natd.out" 2>"$SB_TMP/natd.err" &
  NATD_PID=$! CTL_SOCK=/var/run/qlnat.$!
  for _ in $(seq 200); do
    [ -S "$CTL_SOCK" ] && { [ "$dev" != "tap:$TAP" ] || ip -n "$NS_HOST" link show "$TAP" >/dev/null 2>&1; } && break
    natd_running || { wait "$NATD_PID"; local st=$?; NATD_PID="" && fail "natd exited at start-up, status $st"; }
    sleep 0.05
  done
  [ -S "$CTL_SOCK" ] || fail "natd's control socket $CTL_SOCK did not appear"
  [ "$(cat "/proc/$NATD_PID/comm")" = "${NATD_COMM:-natd}" ] || fail "natd is not process $NATD_PID (setsid forked?)"
}
natd_running() {
  local state
  read -r _ _ state _ 2>/dev/null <"/proc/$NATD_PID/stat" && [ "$state" != Z ]
}
natd_alive() { natd_running || fail "natd is not running any more"; }
# until_ok CMD...: runs CMD every 0.1 s until it succeeds; fails after 10 s.
until_ok() { for _ in $(seq 100); do "$@" && return 0; sleep 0.1; done; return 1; }

use_bridge() {
  ip -n "$NS_HOST" link add br0 type bridge forward_delay 0 stp_state 0 || fail "bridge"
  ip -n "$NS_HOST" link set "$TAP" master br0 up && ip -n "$NS_HOST" link set br0 up || fail "bridge up"
  SB_BRIDGE=1
}

add_guest() {
  local ns=$SB-$1 n=${#SB_GUESTS[@]}
  sb_ns "$ns"
  if [ "$SB_BRIDGE" = 1 ]; then
    ip -n "$NS_HOST" link add "vg$n" type veth peer name eth0 netns "$ns" &&
      ip -n "$NS_HOST" link set "vg$n" master br0 up || fail "veth for guest $1"
  else
    [ "$n" = 0 ] || fail "several guests need use_bridge"
    ip -n "$NS_HOST" link set "$TAP" netns "$ns" && ip -n "$ns" link set "$TAP" name eth0 || fail "TAP to $1"
  fi
  ip -n "$ns" link set eth0 address "$2" up && ip -n "$ns" addr add "$3/24" dev eth0 &&
    ip -n "$ns" route add default via 10.254.254.1 || fail "guest $1 addresses"
  SB_GUESTS+=("$ns") GUEST_NS=$ns
}

# hostile_sandbox: natd, a bridge with the guests "good" and "evil", and the
# outside namespace. The evil guest's own stack sends no resets: they would
# end the connections its raw frames make.
hostile_sandbox() {
  ns_host
  use_bridge
  add_guest good 02:7D:33:00:00:10 10.254.254.10
  add_guest evil 02:7D:33:00:00:66 10.254.254.66
  add_outside
  echo 'table inet quiet { chain out { type filter hook output priority 0; tcp flags rst drop; }; }' |
    in_guest_ns evil nft -f - || fail "nft"
}

# sb_link NS1 IF1 ADDR1 NS2 ADDR2: a veth from NS1 (IF1) to NS2 (eth0).
sb_link() {
  ip -n "$1" link add "$2" type veth peer name eth0 netns "$4" &&
    ip -n "$1" addr add "$3" dev "$2" && ip -n "$1" link set "$2" up &&
    ip -n "$4" addr add "$5" dev eth0 && ip -n "$4" link set eth0 up || fail "veth $1 - $4"
}

# sb_outside NS IF: the outside namespace behind NS's interface IF (198.51.100.1).
sb_outside() {
  NS_OUT=$SB-out
  sb_ns "$NS_OUT"
  sb_link "$1" "$2" 198.51.100.1/24 "$NS_OUT" 198.51.100.2/24
  in_outside ip addr add 203.0.113.10/32 dev lo && in_outside ip route add default via 198.51.100.1 &&
    ip -n "$1" route add 203.0.113.0/24 via 198.51.100.2 || fail "outside routes"
}
add_outside() { sb_outside "$NS_HOST" vout; }
add_router() {
  NS_ROUTER=$SB-rtr
  sb_ns "$NS_ROUTER"
  sb_link "$NS_HOST" vrt 192.0.2.1/30 "$NS_ROUTER" 192.0.2.2/30
  sb_outside "$NS_ROUTER" eth1
  ip netns exec "$NS_ROUTER" sysctl -qw net.ipv4.ip_forward=1 && in_host ip route add 198.51.100.0/24 via 192.0.2.2 &&
    in_host ip route add 203.0.113.0/24 via 192.0.2.2 || fail "router routes"
}

# The reply ends where natd closes the connection after QUIT; QUIT's own
# "200 OK" is cut off.
ctl_cmd() {
  printf '%s\r\nQUIT\r\n' "$1" | timeout 10 socat -t 5 - "UNIX-CONNECT:$CTL_SOCK" | tr -d '\r' | sed '$d'
}

check() {
  local what=$1 want=$2 out t0=$SECONDS
  shift 2
  step "$what"
  out=$("$@" 2>&1)
  if [[ $want == '!'* ]]; then [[ ! $out =~ ${want#!} ]]; else [[ $out =~ $want ]]; fi ||
    fail "$what: output does not fit /$want/:
$out"
  pass "$what ($((SECONDS - t0)) s)"
}

conns_valid() {
  awk '/^[0-9][0-9]0-/ { s = substr($0, 1, 2); seen = seen s; n = 0; next }
    substr($0, 1, 3) == s "1" { n++; next }
    substr($0, 1, 3) == s "9" { seen = seen "."; if ($0 != s "9-" n " entries") bad = bad "\n" $0 ", " n " listed"; next }
    !/^25[23]-[^-]+: [0-9]+$/ && !/^200 OK$/ { bad = bad "\nstray: " $0 }
    END { if (seen != "21.22.23.24.25.26.") bad = bad "\ntables " seen; print bad ? "bad" bad : "valid" }'
}

listening() { [ -n "$(ip netns exec "$1" ss -Hlntu "sport = :$2")" ]; }
wait_listen() {
  local p
  for p in "${@:2}"; do until_ok listening "$1" "$p" || fail "nothing listens on $p in $1"; done
}
