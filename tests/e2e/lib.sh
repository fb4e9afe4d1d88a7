# End-to-end sandbox for natd: network namespaces made by the test, natd on
# a TAP device in a namespace of its own, real Linux guests in other
# namespaces, outside hosts on TEST-NET addresses. Nothing a guest sends can
# leave the machine: natd only lives in the host namespace, which has no
# default route and reaches nothing but the namespaces below.
#
# A test script sources this file and is run as `bash test_x.sh /path/natd`
# (as root). It prints what it checks and exits non-zero at the first
# failure; a missing tool or privilege is a failure, never a skip. Teardown
# always runs (trap on EXIT): natd and every process started in the
# sandbox's namespaces are killed by pid, the namespaces (with their veths,
# bridge and TAP) deleted, the temporary directory removed. A sanitizer
# report on natd's stderr turns the run into a failure.
#
#   . "$(dirname "$0")/lib.sh"
#   sandbox_init ping                # unique names from "ping" and $$
#   ns_host                          # natd on tap:$TAP in $NS_HOST
#   add_guest g1 02:7D:33:00:00:10 10.254.254.10
#   add_outside                      # 198.51.100.2 and 203.0.113.10
#   step "guest pings the gateway"
#   in_guest ping -c1 10.254.254.1 >/dev/null || fail "no reply"
#   pass "gateway answers"
#
# Topology and addresses:
#
#   guest ns(s) --TAP or bridge-- host ns (natd) --veth-- [router ns --veth--] outside ns
#
#   guests         10.254.254.0/24, default route via 10.254.254.1 (natd)
#   host ns        no default route; 198.51.100.1/24 on the veth to the
#                  outside (add_outside), or 192.0.2.1/30 to the router
#                  (add_router) with routes to 198.51.100.0/24 and
#                  203.0.113.0/24 via 192.0.2.2
#   router ns      192.0.2.2/30 (host side), 198.51.100.1/24 (outside side),
#                  IPv4 forwarding on, ICMP rate limit off
#   outside ns     198.51.100.2/24 on eth0 (default route back), and
#                  203.0.113.10/32 on lo; it does not forward, so other
#                  addresses routed to it answer nothing
#
# Functions (all fail the test on error):
#
#   sandbox_init NAME      checks root and tools, makes $SB_TMP and the host
#                          namespace $NS_HOST, installs the teardown trap.
#                          Sets NATD (from $1 of the script), TAP (the TAP
#                          interface name), NATD_CONF (config file; append
#                          to it before ns_host), NATD_MACFILE.
#   need_tools CMD...      fails when a command is missing.
#   use_bridge             call before add_guest for several guests: a bridge
#                          br0 in $NS_HOST joins the TAP and one veth per guest.
#                          Without it the first guest gets the TAP itself.
#   ns_host [ARGS...]      starts natd in $NS_HOST with $NATD_CONF, -m
#                          $NATD_MACFILE, extra ARGS and tap:$TAP, in a
#                          session of its own (its shutdown signals its whole
#                          process group); waits until its control socket
#                          exists. Sets NATD_PID, CTL_SOCK,
#                          GATEWAY_MAC (lower case). Output in $SB_TMP/natd.out
#                          and natd.err. (natd_start is the same function.)
#   add_guest NAME MAC IP  guest namespace ${SB}-NAME with eth0 = MAC, IP/24,
#                          default route via 10.254.254.1. The first guest is
#                          also the default of in_guest. Sets GUEST_NS (the
#                          namespace just added); SB_GUESTS lists them all.
#   add_outside            outside namespace $NS_OUT on a veth from the host.
#   add_router             router namespace $NS_ROUTER between the host and
#                          the outside namespace $NS_OUT (instead of
#                          add_outside).
#   in_host CMD...         run CMD in $NS_HOST (also in_outside, in_router).
#   in_guest CMD...        run CMD in the first guest.
#   in_guest_ns NAME CMD.. run CMD in guest NAME.
#   bg_in NS CMD...        start CMD in namespace NS in the background; its
#                          pid is in BG_PID and it is killed at teardown.
#   ctl_cmd TEXT           send one command line to natd's control socket and
#                          print the reply (up to "200 OK" or 5 s).
#   ctl_conns              ctl_cmd CONNS.
#   natd_alive             fails when natd has exited.
#   sniff_frames NS IF SECS CMD...
#                          capture every IPv4 frame received on IF in NS for
#                          SECS seconds while CMD runs in NS; prints one line
#                          per frame: "len src dst proto frag" (frag = the
#                          flags and offset field in hex).
#   step TEXT / pass TEXT / fail TEXT
#                          print what is checked / a success / a failure
#                          (and exit 1; inside $(...) only the subshell
#                          exits, so test the command's status there).

set -u

NATD=${1:-}
SB_OK=0

step() { echo "== $*"; }
pass() { echo "PASS: $*"; }
fail() {
  echo "FAIL: $*" >&2
  if [ -n "${SB_TMP:-}" ] && [ -s "$SB_TMP/natd.err" ]; then
    echo "--- natd stderr:" >&2
    tail -n 20 "$SB_TMP/natd.err" >&2
  fi
  exit 1
}

need_tools() {
  local t
  for t in "$@"; do
    command -v "$t" >/dev/null 2>&1 || fail "required tool missing: $t (scripts/install-deps.sh)"
  done
}

sandbox_init() {
  local name=${1:?sandbox_init NAME}
  [ "$(id -u)" -eq 0 ] || fail "must run as root (namespaces, TAP, raw sockets)"
  [ -n "$NATD" ] && [ -x "$NATD" ] || fail "natd binary not given or not executable: '$NATD'"
  need_tools ip python3 ping sysctl
  [ -c /dev/net/tun ] || fail "/dev/net/tun missing"
  SB="ne2e-${name}-$$"
  SB_TMP=$(mktemp -d "/tmp/natd-e2e.${name}.XXXXXX") || fail "mktemp"
  SB_NAMESPACES=()
  SB_BG_PIDS=()
  SB_GUESTS=()
  SB_BRIDGE=0
  NATD_PID=""
  TAP="nt$(printf '%x' $(($$ % 65536)))"
  NATD_CONF="$SB_TMP/nat.conf"
  NATD_MACFILE="$SB_TMP/natd.mac"
  printf '[host]\nip = 10.254.254.1/24\n' >"$NATD_CONF"
  printf '02:4E:A1:00:%02X:%02X\n' $((($$ >> 8) & 0x3F)) $(($$ & 0xFF)) >"$NATD_MACFILE"
  SB_OK=1
  trap sandbox_teardown EXIT
  trap 'exit 130' INT TERM
  NS_HOST="$SB-host"
  sb_netns_add "$NS_HOST"
}

sb_netns_add() {
  ip netns add "$1" || fail "cannot create namespace $1"
  SB_NAMESPACES+=("$1")
  ip -n "$1" link set lo up || fail "lo up in $1"
  ip netns exec "$1" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1 \
    >/dev/null 2>&1 || true
}

sandbox_teardown() {
  local rc=$? pid ns
  trap - EXIT
  [ "$SB_OK" = 1 ] || exit $rc
  for pid in "${SB_BG_PIDS[@]}"; do kill "$pid" 2>/dev/null; done
  if [ -n "$NATD_PID" ] && kill -0 "$NATD_PID" 2>/dev/null; then
    kill -TERM "$NATD_PID" 2>/dev/null
    for _ in $(seq 1 30); do kill -0 "$NATD_PID" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$NATD_PID" 2>/dev/null
  fi
  [ -n "$NATD_PID" ] && rm -f "/var/run/qlnat.$NATD_PID"
  # A sanitizer build reports memory errors and leaks on natd's stderr.
  if [ -s "$SB_TMP/natd.err" ] && grep -qE 'Sanitizer|runtime error:' "$SB_TMP/natd.err"; then
    echo "FAIL: natd reported memory or undefined-behaviour errors:" >&2
    grep -E -A12 'Sanitizer|runtime error:' "$SB_TMP/natd.err" | head -n 60 >&2
    [ "$rc" -ne 0 ] || rc=1
  fi
  for ns in "${SB_NAMESPACES[@]}"; do
    for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null; done
  done
  for ns in "${SB_NAMESPACES[@]}"; do ip netns del "$ns" 2>/dev/null; done
  rm -rf "$SB_TMP"
  exit $rc
}

in_host() { ip netns exec "$NS_HOST" "$@"; }
in_outside() { ip netns exec "$NS_OUT" "$@"; }
in_router() { ip netns exec "$NS_ROUTER" "$@"; }
in_guest() { ip netns exec "${SB_GUESTS[0]}" "$@"; }
in_guest_ns() {
  local name=$1
  shift
  ip netns exec "$SB-$name" "$@"
}

bg_in() {
  local ns=$1
  shift
  ip netns exec "$ns" "$@" &
  BG_PID=$!
  SB_BG_PIDS+=("$BG_PID")
}

ns_host() {
  [ -z "$NATD_PID" ] || fail "natd already started"
  # A process group of its own: natd's shutdown signals its whole group.
  ip netns exec "$NS_HOST" setsid "$NATD" -c "$NATD_CONF" -m "$NATD_MACFILE" "$@" "tap:$TAP" \
    >"$SB_TMP/natd.out" 2>"$SB_TMP/natd.err" &
  NATD_PID=$!
  CTL_SOCK="/var/run/qlnat.$NATD_PID"
  local i
  for i in $(seq 1 100); do
    [ -S "$CTL_SOCK" ] && ip -n "$NS_HOST" link show "$TAP" >/dev/null 2>&1 && break
    kill -0 "$NATD_PID" 2>/dev/null || fail "natd exited at start-up (status: $(wait "$NATD_PID"; echo $?))"
    sleep 0.05
  done
  [ -S "$CTL_SOCK" ] || fail "natd's control socket $CTL_SOCK did not appear"
  GATEWAY_MAC=$(tr 'A-F' 'a-f' <"$NATD_MACFILE" | head -n1)
  echo "natd pid $NATD_PID on tap:$TAP in $NS_HOST, gateway MAC $GATEWAY_MAC"
}
natd_start() { ns_host "$@"; }

natd_alive() {
  kill -0 "$NATD_PID" 2>/dev/null || fail "natd is not running any more"
}

use_bridge() {
  [ "${#SB_GUESTS[@]}" -eq 0 ] || fail "use_bridge must come before add_guest"
  [ -n "$NATD_PID" ] || fail "use_bridge needs natd started (ns_host) first"
  ip -n "$NS_HOST" link add br0 type bridge forward_delay 0 stp_state 0 || fail "bridge"
  ip -n "$NS_HOST" link set "$TAP" master br0 || fail "TAP into the bridge"
  ip -n "$NS_HOST" link set "$TAP" up
  ip -n "$NS_HOST" link set br0 up || fail "bridge up"
  SB_BRIDGE=1
}

add_guest() {
  local name=${1:?NAME} mac=${2:?MAC} addr=${3:?IP}
  local ns="$SB-$name" n=${#SB_GUESTS[@]}
  [ -n "$NATD_PID" ] || fail "add_guest needs natd started (ns_host) first"
  sb_netns_add "$ns"
  if [ "$SB_BRIDGE" = 1 ]; then
    ip -n "$NS_HOST" link add "vg$n" type veth peer name eth0 netns "$ns" || fail "veth for guest $name"
    ip -n "$NS_HOST" link set "vg$n" master br0 up || fail "veth into the bridge"
  else
    [ "$n" -eq 0 ] || fail "several guests need use_bridge before the first add_guest"
    ip -n "$NS_HOST" link set "$TAP" netns "$ns" || fail "cannot move the TAP into $ns"
    ip -n "$ns" link set "$TAP" name eth0 || fail "rename TAP"
  fi
  ip -n "$ns" link set eth0 address "$mac" || fail "guest MAC $mac"
  ip -n "$ns" link set eth0 up || fail "guest eth0 up"
  ip -n "$ns" addr add "$addr/24" dev eth0 || fail "guest address $addr"
  ip -n "$ns" route add default via 10.254.254.1 || fail "guest default route"
  SB_GUESTS+=("$ns")
  GUEST_NS=$ns
}

add_outside() {
  NS_OUT="$SB-out"
  sb_netns_add "$NS_OUT"
  ip -n "$NS_HOST" link add vout type veth peer name eth0 netns "$NS_OUT" || fail "veth to outside"
  ip -n "$NS_HOST" addr add 198.51.100.1/24 dev vout
  ip -n "$NS_HOST" link set vout up
  ip -n "$NS_OUT" addr add 198.51.100.2/24 dev eth0
  ip -n "$NS_OUT" link set eth0 up
  ip -n "$NS_OUT" addr add 203.0.113.10/32 dev lo
  ip -n "$NS_OUT" route add default via 198.51.100.1 || fail "outside route"
  ip -n "$NS_HOST" route add 203.0.113.0/24 via 198.51.100.2 || fail "host route to 203.0.113.0/24"
}

add_router() {
  NS_ROUTER="$SB-rtr"
  NS_OUT="$SB-out"
  sb_netns_add "$NS_ROUTER"
  sb_netns_add "$NS_OUT"
  ip -n "$NS_HOST" link add vrt type veth peer name eth0 netns "$NS_ROUTER" || fail "veth host-router"
  ip -n "$NS_ROUTER" link add eth1 type veth peer name eth0 netns "$NS_OUT" || fail "veth router-outside"
  ip -n "$NS_HOST" addr add 192.0.2.1/30 dev vrt
  ip -n "$NS_HOST" link set vrt up
  ip -n "$NS_ROUTER" addr add 192.0.2.2/30 dev eth0
  ip -n "$NS_ROUTER" addr add 198.51.100.1/24 dev eth1
  ip -n "$NS_ROUTER" link set eth0 up
  ip -n "$NS_ROUTER" link set eth1 up
  ip netns exec "$NS_ROUTER" sysctl -qw net.ipv4.ip_forward=1 net.ipv4.icmp_ratelimit=0 || fail "router sysctl"
  ip -n "$NS_ROUTER" route add 203.0.113.0/24 via 198.51.100.2 || fail "router route"
  ip -n "$NS_OUT" addr add 198.51.100.2/24 dev eth0
  ip -n "$NS_OUT" link set eth0 up
  ip -n "$NS_OUT" addr add 203.0.113.10/32 dev lo
  ip -n "$NS_OUT" route add default via 198.51.100.1 || fail "outside route"
  ip -n "$NS_HOST" route add 198.51.100.0/24 via 192.0.2.2 || fail "host route"
  ip -n "$NS_HOST" route add 203.0.113.0/24 via 192.0.2.2 || fail "host route"
}

ctl_cmd() {
  [ -S "${CTL_SOCK:-}" ] || fail "no control socket"
  python3 - "$CTL_SOCK" "$1" <<'EOF'
import socket, sys, time
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.settimeout(5)
s.connect(sys.argv[1])
s.sendall(sys.argv[2].encode() + b"\r\n")
data = b""
deadline = time.time() + 5
while time.time() < deadline:
    try:
        chunk = s.recv(65536)
    except socket.timeout:
        break
    if not chunk:
        break
    data += chunk
    if data.endswith(b"200 OK\r\n") or data.startswith(b"50"):
        break
s.close()
sys.stdout.write(data.decode(errors="replace").replace("\r\n", "\n"))
EOF
}
ctl_conns() { ctl_cmd CONNS; }

sniff_frames() {
  local ns=$1 ifname=$2 secs=$3
  shift 3
  local out="$SB_TMP/sniff.$$.$RANDOM"
  ip netns exec "$ns" python3 - "$ifname" "$secs" >"$out" <<'EOF' &
import socket, struct, sys, time
s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x0800))
s.bind((sys.argv[1], 0))
s.settimeout(0.2)
end = time.time() + float(sys.argv[2])
sys.stdout.write("ready\n"); sys.stdout.flush()
while time.time() < end:
    try:
        frame, addr = s.recvfrom(70000)
    except socket.timeout:
        continue
    if addr[2] == socket.PACKET_OUTGOING or len(frame) < 34:
        continue
    ip = frame[14:]
    frag = struct.unpack("!H", ip[6:8])[0]
    print(len(frame), socket.inet_ntoa(ip[12:16]), socket.inet_ntoa(ip[16:20]), ip[9], "%04x" % frag)
    sys.stdout.flush()
EOF
  local spid=$!
  local i
  for i in $(seq 1 50); do grep -q ready "$out" 2>/dev/null && break; sleep 0.05; done
  ip netns exec "$ns" "$@" >/dev/null 2>&1
  wait "$spid"
  grep -v ready "$out"
  rm -f "$out"
}
