#!/usr/bin/env bash
# End-to-end PPTP gateway: a guest's PPTP client (pptp) calls a pptpd in the
# outside namespace through natd twice: the call "off" is made while
# `activatepptp = 0`, the call "on" with the gateway on; then "on" ends.
#
# This kernel has no PPP, so this script stands in for the PPP daemon of
# both programs, speaking framed PPP on the terminal it is given. Both sides
# wait for the file "go" (touched once the second call's relay exists), so
# that the two calls' GRE meets that relay. pptpd runs the script with
# arguments that begin with "local": it gives pptpd the lone flag it waits
# for before it reads GRE, then on "go" sends one LCP frame and echoes
# every byte, keeping a copy in server.in. For pptp it runs as "client
# NAME": on "go" it sends three frames of 1400 bytes (with bytes that need
# escaping; pptp does not check their frame check sequences) and keeps what
# comes back in NAME.got. Nothing of the call "off" may pass natd, either
# way: not its frames, nor the LCP frame, which the "on" relay receives
# from the server with another Call ID.
#
# Usage: bash test_pptp.sh /path/to/natd   (as root)
set -u
X=$(head -c 1400 /dev/zero | tr '\0' x)'}^}]'
go() { until [ -e "$SB_TMP/go" ]; do sleep 0.1; done; }
if [ "${1:-}" = local ]; then
  stty raw -echo && printf '\176' && touch "$SB_TMP/server.in" && go && printf '\377}#\300!}!}!} }$\321\265\176'
  exec tee -a "$SB_TMP/server.in" 2>/dev/null
elif [ "${1:-}" = client ]; then
  go && for n in 1 2 3; do printf '\176\377}#} !%s%s%szz\176' "$2" $n "$X"; done
  exec cat >"$SB_TMP/$2.got"
fi
. "$(dirname "$0")/lib.sh"
need_tools pptp pptpd socat ss
SELF=$(realpath "$0")

until_ok() { for _ in $(seq 100); do "$@" && return 0; sleep 0.1; done; return 1; }
echoed() { [ "$(grep -aoF "$X" "$SB_TMP/$1.got" 2>/dev/null | wc -l)" = 3 ]; }
relays() { [ "$(in_host ss -Hwn | grep -c ':47 *198.51.100.2:')" = "$1" ]; }
# pptp_call NAME: pptp in the guest (a call-manager directory of its own)
pptp_call() { bg_in "$GUEST_NS" sh -c "mount -t tmpfs none /run && exec socat \
  EXEC:'pptp 198.51.100.2 --nolaunchpppd --nohostroute',pty,raw,echo=0 EXEC:'$SELF client $1'"; }

sandbox_init pptp
export SB_TMP
printf '[tcp]\ntimeWaitTimeout = 1\n' >>"$NATD_CONF"  # a closed control connection is released at once
ns_host
add_guest g1 02:7D:33:00:00:10 10.254.254.10
add_outside
printf 'ppp %s\npidfile %s/pptpd.pid\n' "$SELF" "$SB_TMP" >"$SB_TMP/pptpd.conf"
bg_in "$NS_OUT" pptpd -f -c "$SB_TMP/pptpd.conf"
until_ok in_outside sh -c "ss -Hltn 'sport = :1723' | grep -q ." || fail "pptpd does not listen"

step "activatepptp = 0: a call is set up without a relay"
printf '[host]\nactivatepptp = 0\n' >>"$NATD_CONF"
pptp_call off
until_ok test -e "$SB_TMP/server.in" && relays 0 || fail "no call, or a relay"
sed -i '/activatepptp/d' "$NATD_CONF"

step "the gateway on: a relay for the call, the frames echoed; the relay ends with the call"
pptp_call on
until_ok relays 1 || fail "natd made no relay"
touch "$SB_TMP/go"
until_ok echoed on || fail "the frames did not come back"
[ ! -s "$SB_TMP/off.got" ] && ! grep -aq off "$SB_TMP/server.in" || fail "GRE of the call 'off' passed"
kill "$BG_PID"
until_ok relays 0 || fail "the relay stays"
natd_alive
pass "test_pptp"
