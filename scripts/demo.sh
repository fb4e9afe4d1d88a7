#!/usr/bin/env bash
# natd's main job, live: a guest network in scratch network namespaces.
#
# Installs what is missing (scripts/install-deps.sh), builds natd into
# build/ when needed, then, in a sandbox of namespaces that is removed at the
# end (nothing leaves the machine: the "outside world" is a namespace on
# TEST-NET addresses):
#   - starts natd on a TAP device in a host namespace and shows its banner;
#   - a guest namespace gets its address from natd's DHCP server (busybox
#     udhcpc), or a static one if that fails (said so);
#   - the guest pings the gateway and an outside host;
#   - the guest sends a UDP datagram to an outside echo server;
#   - the guest fetches a page with curl from a web server outside;
#   - an outside client reaches a service in the guest through an
#     [incomingtcp] forward of natd's host port 8080;
#   - natd's control port lists its tables (CONNS) while connections are
#     open;
#   - natd is stopped with SIGTERM and must exit with status 0.
# Each step prints what it does and OK or FAILED; the exit status is
# non-zero when any step failed.
#
# Usage: bash scripts/demo.sh   (as root; NATD_BUILD_DIR picks another
# build directory than build/)
set -u
ROOT=$(cd "$(dirname "$0")/.." && pwd)

if [ "$(id -u)" -ne 0 ]; then
  echo "demo: run as root (it creates network namespaces and a TAP device)" >&2
  exit 1
fi

echo "== installing missing packages (scripts/install-deps.sh)"
bash "$ROOT/scripts/install-deps.sh" || { echo "demo: package installation FAILED" >&2; exit 1; }
BUILD=${NATD_BUILD_DIR:-$ROOT/build}
echo "== building natd into $BUILD"
if [ ! -f "$BUILD/build.ninja" ]; then
  cmake -S "$ROOT" -B "$BUILD" -G Ninja >/tmp/natd-demo-build.log 2>&1 ||
    { cat /tmp/natd-demo-build.log; echo "demo: cmake FAILED" >&2; exit 1; }
fi
ninja -C "$BUILD" -j2 natd >/tmp/natd-demo-build.log 2>&1 ||
  { tail -n 30 /tmp/natd-demo-build.log; echo "demo: build FAILED" >&2; exit 1; }
rm -f /tmp/natd-demo-build.log

set -- "$BUILD/natd"
. "$ROOT/tests/e2e/lib.sh"

FAILED=0
ok() { echo "   OK: $*"; }
bad() { echo "   FAILED: $*"; FAILED=$((FAILED + 1)); }

GUEST_MAC=02:7D:33:00:00:10
GUEST_IP=10.254.254.128   # the first address natd's DHCP server hands out

sandbox_init demo
need_tools busybox curl socat
cat >>"$NATD_CONF" <<EOF
enableNatDhcp = 1

[incomingtcp]
8080 = $GUEST_IP:80
EOF

step "starting natd on tap:$TAP in namespace $NS_HOST"
ns_host
sed 's/^/   | /' "$SB_TMP/natd.out"
add_outside
echo "   outside namespace $NS_OUT: 198.51.100.2 (web, UDP echo) and 203.0.113.10"

step "guest namespace on natd's TAP, address by DHCP (busybox udhcpc)"
G="$SB-guest"
sb_ns "$G"
ip -n "$NS_HOST" link set "$TAP" netns "$G" || fail "cannot move the TAP into the guest"
ip -n "$G" link set "$TAP" name eth0
ip -n "$G" link set eth0 address "$GUEST_MAC" up || fail "guest interface"
SB_GUESTS+=("$G")
cat >"$SB_TMP/udhcpc.sh" <<'EOF'
#!/bin/sh
case "$1" in
  bound|renew)
    ip addr flush dev "$interface"
    ip addr add "$ip/${mask:-24}" dev "$interface"
    [ -n "${router:-}" ] && ip route replace default via "${router%% *}" dev "$interface"
    echo "udhcpc: $interface got $ip, router ${router:-none}, host name ${hostname:-none}"
    ;;
esac
exit 0
EOF
chmod +x "$SB_TMP/udhcpc.sh"
if in_guest timeout 20 busybox udhcpc -i eth0 -n -q -t 4 -T 2 -s "$SB_TMP/udhcpc.sh" 2>&1 |
    grep 'udhcpc: ' | sed 's/^/   | /' &&
    in_guest ip -4 addr show dev eth0 | grep -q "inet $GUEST_IP/"; then
  ok "guest got $GUEST_IP by DHCP"
else
  bad "no DHCP lease; falling back to the static address $GUEST_IP"
  in_guest ip addr replace "$GUEST_IP/24" dev eth0
  in_guest ip route replace default via 10.254.254.1
fi

step "guest pings the gateway 10.254.254.1 and the outside host 203.0.113.10"
if out=$(in_guest ping -c 2 -i 0.2 -W 2 10.254.254.1); then
  ok "gateway: $(echo "$out" | grep -o '[0-9]* received')"
else
  bad "no reply from the gateway"
fi
if out=$(in_guest ping -c 2 -i 0.2 -W 2 203.0.113.10); then
  ok "outside host: $(echo "$out" | grep -o '[0-9]* received')"
else
  bad "no reply from 203.0.113.10"
fi

step "guest sends a UDP datagram to an echo server at 198.51.100.2:9007"
bg_in "$NS_OUT" timeout 60 socat UDP4-RECVFROM:9007,bind=198.51.100.2,fork PIPE
sleep 0.3
reply=$(echo "hello over UDP from the guest" | in_guest timeout 5 socat -T 2 - UDP4:198.51.100.2:9007)
if [ "$reply" = "hello over UDP from the guest" ]; then
  ok "echo came back: '$reply'"
else
  bad "UDP echo: got '$reply'"
fi

step "guest fetches a page with curl from http://198.51.100.2:8000/"
mkdir -p "$SB_TMP/www"
echo "Hello from the outside namespace, served to a guest behind natd." >"$SB_TMP/www/index.html"
bg_in "$NS_OUT" busybox httpd -f -p 198.51.100.2:8000 -h "$SB_TMP/www"
sleep 0.5
if page=$(in_guest curl -sS --max-time 10 --retry 10 --retry-connrefused --retry-delay 1 http://198.51.100.2:8000/index.html) &&
    [ "$page" = "Hello from the outside namespace, served to a guest behind natd." ]; then
  ok "page: '$page'"
else
  bad "curl got '${page:-}'"
fi

step "an outside client reaches the guest's service on port 80 through natd's port 8080"
# The guest's service greets with the peer it sees, then sends 100000 bytes.
bg_in "$G" timeout 60 socat TCP4-LISTEN:80,reuseaddr \
  SYSTEM:'echo "seen as $SOCAT_PEERADDR:$SOCAT_PEERPORT"; sleep 1.5; head -c 100000 /dev/zero'
sleep 0.5
in_outside timeout 20 socat -u TCP4:198.51.100.1:8080 - >"$SB_TMP/forward.raw" 2>&1 &
client=$!
sleep 0.7
step "natd's tables on its control port (CONNS), with the forwarded connection open"
ctl_conns | sed 's/^/   | /'
wait "$client"
head -n1 "$SB_TMP/forward.raw" >"$SB_TMP/forward.out"
echo "received $(($(wc -c <"$SB_TMP/forward.raw") - $(wc -c <"$SB_TMP/forward.out"))) bytes" >>"$SB_TMP/forward.out"
if grep -q '^seen as 198\.51\.100\.2:' "$SB_TMP/forward.out" && grep -q '^received 100000 bytes' "$SB_TMP/forward.out"; then
  ok "outside client: $(cat "$SB_TMP/forward.out")"
else
  bad "forward: $(cat "$SB_TMP/forward.out")"
fi

step "stopping natd with SIGTERM"
kill -TERM "$NATD_PID"
for _ in $(seq 50); do kill -0 "$NATD_PID" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$NATD_PID" 2>/dev/null; then
  bad "natd still running 5 s after SIGTERM"
else
  wait "$NATD_PID"
  rc=$?
  if [ "$rc" -eq 0 ] && [ ! -e "$CTL_SOCK" ]; then
    ok "natd exited with status 0 and removed its control socket"
  else
    bad "natd exit status $rc, control socket $( [ -e "$CTL_SOCK" ] && echo left behind || echo removed)"
  fi
fi
NATD_PID=""

echo
if [ "$FAILED" -eq 0 ]; then
  echo "demo: every step OK"
else
  echo "demo: $FAILED step(s) FAILED"
fi
exit $((FAILED > 0))
