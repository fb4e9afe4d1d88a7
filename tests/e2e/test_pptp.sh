#!/usr/bin/env bash
# End-to-end PPTP gateway: a guest's PPTP client (pptp) calls a pptpd in the
# outside namespace through natd, first with `activatepptp = 0`, then with
# the gateway on.
#
# This kernel has no PPP, so this script stands in for the PPP daemon of
# both programs, speaking framed PPP on the terminal it is given. pptpd
# runs it with arguments that begin with "local" for each call: it starts
# with a lone flag (pptpd reads no GRE before its PPP daemon has said
# something), then echoes every byte and keeps a copy in server.in. For
# pptp it runs as "client NAME": it waits for the file "go", sends three
# frames of 1400 bytes (with bytes that need escaping; pptp does not check
# their frame check sequences) and keeps what comes back in NAME.got. Both
# calls send their frames once the second one's relay exists.
#
# Usage: bash test_pptp.sh /path/to/natd   (as root)
set -u
X=$(head -c 1400 /dev/zero | tr '\0' x)'}^}]'
if [ "${1:-}" = local ]; then stty raw -echo && printf '\176' && exec tee -a "$SB_TMP/server.in" 2>/dev/null; fi
if [ "${1:-}" = client ]; then until [ -e "$SB_TMP/go" ]; do sleep 0.1; done; for n in 1 2 3; do printf '\176\377}#} !%s%s%szz\176' "$2" $n "$X"; done; exec cat >"$SB_TMP/$2.got"; fi
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
printf '[tcp]\ntimeWaitTimeout = 1\n' >>"$NATD_CONF"
ns_host
add_guest g1 02:7D:33:00:00:10 10.254.254.10
add_outside
printf 'ppp %s\npidfile %s/pptpd.pid\n' "$SELF" "$SB_TMP" >"$SB_TMP/pptpd.conf"
bg_in "$NS_OUT" pptpd -f -c "$SB_TMP/pptpd.conf"
until_ok in_outside sh -c "ss -Hltn 'sport = :1723' | grep -q ." || fail "pptpd does not listen"

step "activatepptp = 0: a call is set up, no GRE relay"
printf '[host]\nactivatepptp = 0\n' >>"$NATD_CONF"
pptp_call off
until_ok test -e "$SB_TMP/server.in" && relays 0 || fail "no call, or a relay"
sed -i '/activatepptp/d' "$NATD_CONF"

step "a second call with the gateway on: only its frames come back; its relay ends with its control connection"
pptp_call on
until_ok relays 1 || fail "natd made no relay"
touch "$SB_TMP/go"
until_ok echoed on || fail "the frames did not come back"
! grep -aq off "$SB_TMP/server.in" || fail "GRE of the call made with activatepptp = 0 reached pptpd"
kill "$BG_PID"
until_ok relays 0 || fail "the relay stays"
natd_alive
pass "test_pptp"
