#!/usr/bin/env bash
# End-to-end PPTP gateway: a guest's PPTP client (pptp) calls a pptpd in the
# outside namespace through natd twice: the call "off" while
# `activatepptp = 0`, the call "on" with the gateway on; then "on" ends.
#
# This kernel has no PPP, so this script stands in for the PPP daemon of
# both programs, speaking framed PPP on the terminal it is given. For pptpd
# (arguments that begin with "local") it gives the lone flag pptpd waits for
# before it reads GRE, then echoes every byte, keeping a copy in server.in.
# For pptp it runs as "client NAME": it sends three frames of 1400 bytes
# (with bytes that need escaping; pptp does not check their frame check
# sequences) and keeps what comes back in NAME.got.
#
# Usage: bash test_pptp.sh /path/to/natd   (as root)
set -u
X=$(head -c 1400 /dev/zero | tr '\0' x)'}^}]'
if [ "${1:-}" = local ]; then
  stty raw -echo && printf '\176' && exec tee -a "$SB_TMP/server.in" 2>/dev/null
elif [ "${1:-}" = client ]; then
  for n in 1 2 3; do printf '\176\377}#} !%s%s%szz\176' "$2" $n "$X"; done
  exec cat >"$SB_TMP/$2.got"
fi
. "$(dirname "$0")/lib.sh"
need_tools pptp pptpd socat ss
SELF=$(realpath "$0")

# relays: natd's raw GRE sockets towards the server; passed: the frames of each call that reached the server.
relays() { in_host ss -Hwn | grep -c ':47 *198.51.100.2:'; }
passed() { for c in off on; do echo "$c $(grep -aoF "$c" "$SB_TMP/server.in" | wc -l)"; done; }
echoed() { [ "$(grep -aoF "$X" "$SB_TMP/$1.got" 2>/dev/null | wc -l)" = 3 ]; }
pptp_call() { bg_in "$GUEST_NS" sh -c "mount -t tmpfs none /run && exec socat \
  EXEC:'pptp 198.51.100.2 --nolaunchpppd --nohostroute',pty,raw,echo=0 EXEC:'$SELF client $1'"; }

sandbox_init pptp
export SB_TMP
printf '[tcp]\ntimeWaitTimeout = 1\n[host]\nactivatepptp = 0\n' >>"$NATD_CONF"  # a closed call is released at once
ns_host
add_guest g1 02:7D:33:00:00:10 10.254.254.10
add_outside
printf 'ppp %s\npidfile %s/pptpd.pid\n' "$SELF" "$SB_TMP" >"$SB_TMP/pptpd.conf"
bg_in "$NS_OUT" pptpd -f -c "$SB_TMP/pptpd.conf"
wait_listen "$NS_OUT" 1723

pptp_call off
until_ok test -e "$SB_TMP/server.in" && sleep 2  # the call is up and its frames went out
check "activatepptp = 0: the call is set up, no relay, its GRE dropped" '^0 off 0' eval 'echo $(relays; passed)'
sed -i '/activatepptp/d' "$NATD_CONF"
pptp_call on
check "the gateway on: a relay for the call, its frames echoed intact" '^1 off 0 on 3' eval 'until_ok echoed on && echo $(relays; passed)'
kill "$BG_PID"
check "the relay ends with the call" '^0$' eval 'sleep 2; relays'
