#!/usr/bin/env bash
# End-to-end PPTP gateway: the PPTP client of a guest (pptp) calls a pptpd in
# the outside namespace through natd. This kernel has no PPP, so on both
# sides the PPP daemon is pptp_tools.py speaking framed PPP on the terminal
# it is given: the server's echoes every frame, the client's sends frames
# and counts the echoes. GRE is captured on the guests' and the outside
# host's interfaces. A second guest makes a call of its own with a scripted
# control connection (pptp picks its Call IDs at random, and this call must
# reuse the first guest's), then with pptp while `activatepptp` is 0.
#
# Usage: bash test_pptp.sh /path/to/natd   (as root)
set -u
. "$(dirname "$0")/lib.sh"

need_tools pptp pptpd socat ss
TOOLS="/usr/bin/python3 $(cd "$(dirname "$0")" && pwd)/pptp_tools.py"

# until_ok CMD...: until CMD succeeds (10 s at most).
until_ok() {
  local i
  for i in $(seq 100); do "$@" && return 0; sleep 0.1; done
  return 1
}
relays() { in_host ss -Hwn | grep -c ':47 *198.51.100.2:'; }
# gre VERSION CALLID TEXT: an enhanced GRE header (key present) and TEXT.
gre() { printf '20%02x880b%04x%04x%s' "$1" "${#3}" "$2" "$(printf %s "$3" | od -An -tx1 | tr -d ' \n')"; }
# call_id CAPTURE DIRECTION: the Call ID of the first GRE packet there.
call_id() { printf %d "0x$(awk -v d="$2" '$1 == d { print substr($2, 53, 4); exit }' "$1")"; }
# pptp_call GUEST FRAMES: pptp in GUEST, its own call-manager directory.
pptp_call() {
  bg_in "$SB-$1" sh -c "mkdir -p /var/run/pptp && mount -t tmpfs none /var/run/pptp &&
    exec socat EXEC:'pptp 198.51.100.2 --nolaunchpppd --nohostroute',pty,raw,echo=0 \
      EXEC:'$TOOLS send $2 $SB_TMP/$1.got'"
}
got() { [ "$(cat "$SB_TMP/$1.got" 2>/dev/null)" = "$2" ]; }
calls() { [ "$(wc -l <"$SB_TMP/calls" 2>/dev/null)" = "$1" ]; }
seen() { grep -q "^$2 .*$(printf %s "$3" | od -An -tx1 | tr -d ' \n')" "$SB_TMP/$1.cap"; }

sandbox_init pptp
ns_host
use_bridge
add_guest g1 02:7D:33:00:00:10 10.254.254.10
add_guest g2 02:7D:33:00:00:11 10.254.254.11
add_outside
printf 'ppp %s/ppp\nlocalip 192.0.2.1\nremoteip 192.0.2.2-9\npidfile %s/pptpd.pid\n' "$SB_TMP" "$SB_TMP" \
  >"$SB_TMP/pptpd.conf"
printf '#!/bin/sh\necho call >>%s/calls\nexec %s echo 2>/dev/null\n' "$SB_TMP" "$TOOLS" >"$SB_TMP/ppp"
chmod +x "$SB_TMP/ppp"
bg_in "$NS_OUT" pptpd -f -c "$SB_TMP/pptpd.conf"
for n in "$SB-g1 g1" "$SB-g2 g2" "$NS_OUT out"; do
  set -- $n
  bg_in "$1" $TOOLS sniff eth0 "$SB_TMP/$2.cap"
  until_ok test -e "$SB_TMP/$2.cap" || fail "no capture on $1"
done
until_ok in_outside ss -Hltn 'sport = :1723' | grep -q . || fail "pptpd does not listen"

step "GRE before the call exists, then a call through natd"
in_guest $TOOLS inject 10.254.254.10 198.51.100.2 "$(gre 1 0 DROP)"
pptp_call g1 20
G1_PID=$BG_PID
until_ok got g1 20 || fail "g1: $(cat "$SB_TMP/g1.got" 2>/dev/null) of 20 frames came back"
[ "$(relays)" = 1 ] || fail "natd has $(relays) GRE relays, want 1"
G1_CALL=$(call_id "$SB_TMP/out.cap" o)
SRV_CALL=$(call_id "$SB_TMP/out.cap" i)
[ "$SRV_CALL" = 0 ] || fail "pptpd's first Call ID is $SRV_CALL: the GRE sent before the call used 0"
pass "20 PPP frames echoed through the relay (Call IDs: guest $G1_CALL, server $SRV_CALL)"

step "only GRE of the call passes, unchanged but for the guest's source address"
# sender namespace, source, destination, GRE version, Call ID, payload
while read -r ns src dst ver id text; do
  ip netns exec "$ns" $TOOLS inject "$src" "$dst" "$(gre "$ver" "$id" "$text")"
done <<EOF
$SB-g1 10.254.254.10 198.51.100.2 0 $SRV_CALL DROP
$SB-g1 10.254.254.10 198.51.100.2 1 $((SRV_CALL + 1)) DROP
$SB-g1 10.254.254.10 198.51.100.2 1 $SRV_CALL PASS
$NS_OUT 198.51.100.2 198.51.100.1 1 $((G1_CALL ^ 1)) DROP
$NS_OUT 203.0.113.10 198.51.100.1 1 $G1_CALL DROP
$NS_OUT 198.51.100.2 198.51.100.1 1 $G1_CALL PASS
EOF
until_ok seen out i PASS && until_ok seen g1 i PASS || fail "the call's own GRE was not relayed"
$TOOLS same "$SB_TMP/g1.cap" o "$SB_TMP/out.cap" i 1 198.51.100.1 198.51.100.2 || fail "guest to server"
$TOOLS same "$SB_TMP/out.cap" o "$SB_TMP/g1.cap" i 0 198.51.100.2 10.254.254.10 || fail "server to guest"
pass "GRE version 0, unknown Call IDs and another server address dropped"

step "a second guest's call with the same Call ID to the same server"
out=$(in_guest_ns g2 $TOOLS call 198.51.100.2 "$G1_CALL")
[ "$out" = reset ] || fail "second guest's control connection: '$out', want reset"
until_ok calls 2 || fail "pptpd did not take the second call"
[ "$(relays)" = 1 ] || fail "natd has $(relays) GRE relays, want 1"
pass "its control connection was reset, the first call's relay stays alone"

step "activatepptp = 0: the control connection works, GRE is dropped"
printf '[host]\nactivatepptp = 0\n' >>"$NATD_CONF"
pptp_call g2 5
G2_PID=$BG_PID
until_ok calls 3 || fail "the call was not set up"
until_ok seen g2 o '' || fail "g2 sent no GRE"
in_guest $TOOLS inject 10.254.254.10 198.51.100.2 "$(gre 1 "$SRV_CALL" PASS2)"
until_ok seen out i PASS2 || fail "g1's relay stopped"
grep -qFf <(awk '$1 == "o" { print substr($2, 41) }' "$SB_TMP/g2.cap") "$SB_TMP/out.cap" &&
  fail "GRE of g2 reached the server"
! grep -q '^i' "$SB_TMP/g2.cap" || fail "GRE reached g2"
[ "$(relays)" = 1 ] || fail "natd has $(relays) GRE relays, want 1"
kill "$G2_PID"
sed -i '/activatepptp/d' "$NATD_CONF"
pass "call set up, none of g2's GRE relayed either way"

step "closing the control connection ends the relay"
kill "$G1_PID"
until_ok test "$(relays)" = 0 || fail "natd still has $(relays) GRE relays"
natd_alive
pass "test_pptp"
