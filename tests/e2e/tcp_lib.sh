# shellcheck shell=bash
# Helpers of the end-to-end TCP tests (test_tcp_*.sh), on top of lib.sh.
#
#   tcp_sandbox NAME [CONF]   sandbox with natd (TIME_WAIT cut to 1 s so that
#                             closed connections leave the table quickly; CONF
#                             is appended to the configuration file), guest
#                             g1 = 10.254.254.10 and the outside namespace.
#                             TCP_TMP is the sandbox's scratch directory;
#                             `tcp_peer` (tcp_peer.py) is on PATH.
#   in_guest_bg / in_outside_bg / in_host_bg CMD...
#                             background CMD in that namespace (BG_PID);
#                             the *_bg_to FILE CMD... forms send its output
#                             to FILE.
#   tcp_wait_listen WHERE PORT
#                             wait until something listens on PORT in
#                             guest / outside / host.
#   tcp_http_server PORT DIR  web server on 198.51.100.2:PORT serving DIR.
#   tcp_host_loopback_server PORT DIR
#                             web server on the host namespace's 127.0.0.1.
#   tcp_download SECS FILE    guest curl of http://198.51.100.2:8000/FILE;
#                             prints the sha256 of what arrived.
#   tcp_upload SECS PORT FILE guest socat of FILE to an outside socat on
#                             PORT; prints the sha256 of what arrived.
#   tcp_counters              prints natd's "segments retransmissions".
#   tcp_count_conns RE...     number of TCP table lines matching every RE.
#   tcp_wait_conns RE SECS / tcp_wait_conns_gone RE SECS
#                             wait until a TCP table line matches RE / none.
#   tcp_expect_no_conns       the TCP table empties within 10 s.
#   tcp_expect_natd_alive     natd still runs.
#   tcp_stop_natd             SIGTERM: natd must exit with status 0 and
#                             without a sanitizer report on its stderr.
#   tcp_guest_iface           the first guest's interface towards natd.
#   tcp_keepalive_ms SSLINE   milliseconds left on the keepalive timer of an
#                             `ss -o` line; empty when it has none.
#   tcp_restart_natd CONF     stops natd, rewrites its configuration with
#                             CONF, starts it again and gives its new TAP
#                             to the first guest (address and route as
#                             before; the guest's processes keep running).

TCP_LIB_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
TCP_GUEST_MAC=02:7D:33:00:00:10
TCP_GUEST_IP=10.254.254.10

tcp_sandbox() {
  local name=$1 conf=${2:-}
  sandbox_init "tcp-$name"
  need_tools curl socat nft ss sha256sum timeout
  TCP_TMP=$SB_TMP
  mkdir -p "$TCP_TMP/bin"
  printf '#!/bin/sh\nexec python3 %s "$@"\n' "$TCP_LIB_DIR/tcp_peer.py" >"$TCP_TMP/bin/tcp_peer"
  chmod +x "$TCP_TMP/bin/tcp_peer"
  PATH="$TCP_TMP/bin:$PATH"
  printf '[tcp]\ntimeWaitTimeout = 1\n%s' "$conf" >>"$NATD_CONF"
  ns_host
  add_guest g1 "$TCP_GUEST_MAC" "$TCP_GUEST_IP"
  add_outside
  in_guest ping -c1 -W2 10.254.254.1 >/dev/null || fail "guest cannot reach the gateway"
}

in_guest_bg() { bg_in "${SB_GUESTS[0]}" "$@"; }
in_outside_bg() { bg_in "$NS_OUT" "$@"; }
in_host_bg() { bg_in "$NS_HOST" "$@"; }
in_guest_bg_to() { local f=$1; shift; bg_in "${SB_GUESTS[0]}" "$@" >"$f" 2>&1; }
in_outside_bg_to() { local f=$1; shift; bg_in "$NS_OUT" "$@" >"$f" 2>&1; }

tcp_ns_of() {
  case $1 in
    guest) echo "${SB_GUESTS[0]}" ;;
    outside) echo "$NS_OUT" ;;
    host) echo "$NS_HOST" ;;
    *) fail "tcp_ns_of: unknown place $1" ;;
  esac
}

tcp_wait_listen() {
  local ns
  ns=$(tcp_ns_of "$1")
  for _ in $(seq 100); do
    [ -n "$(ip netns exec "$ns" ss -Htln "( sport = :$2 )")" ] && return 0
    sleep 0.05
  done
  fail "nothing listens on port $2 in the $1 namespace"
}

tcp_http_server() {
  bg_in "$NS_OUT" tcp_peer http-server "$2" --bind 198.51.100.2 --port "$1" --timeout 600 \
    >"$TCP_TMP/http.$1.log" 2>&1
  tcp_wait_listen outside "$1"
}

tcp_host_loopback_server() {
  bg_in "$NS_HOST" tcp_peer http-server "$2" --bind 127.0.0.1 --port "$1" --timeout 600 \
    >"$TCP_TMP/http.$1.log" 2>&1
  tcp_wait_listen host "$1"
}

tcp_download() {
  local secs=$1 file=$2 sum
  set -o pipefail
  sum=$(in_guest curl -sS --max-time "$secs" "http://198.51.100.2:8000/$file" | sha256sum) || {
    set +o pipefail
    return 1
  }
  set +o pipefail
  echo "${sum%% *}"
}

tcp_upload() {
  local secs=$1 port=$2 file=$3 recv
  bg_in "$NS_OUT" bash -c "timeout $secs socat -u TCP-LISTEN:$port,reuseaddr STDOUT | sha256sum >'$TCP_TMP/up.$port'"
  recv=$BG_PID
  tcp_wait_listen outside "$port"
  in_guest timeout "$secs" socat -u "FILE:$file" "TCP:198.51.100.2:$port" || return 1
  wait "$recv" || return 1
  cut -d' ' -f1 <"$TCP_TMP/up.$port"
}

tcp_counters() {
  ctl_conns | awk -F': ' '/^252-/ { s = $2 } /^253-/ { r = $2 } END { print s + 0, r + 0 }'
}

tcp_count_conns() {
  local lines re
  lines=$(ctl_conns | grep '^251-')
  for re in "$@"; do lines=$(grep -E -- "$re" <<<"$lines"); done
  [ -n "$lines" ] && wc -l <<<"$lines" || echo 0
}

tcp_wait_conns() {
  local re=$1 secs=$2
  for _ in $(seq $((secs * 5))); do
    [ "$(tcp_count_conns "$re")" -gt 0 ] && return 0
    sleep 0.2
  done
  return 1
}

tcp_wait_conns_gone() {
  local re=$1 secs=$2
  for _ in $(seq $((secs * 5))); do
    [ "$(tcp_count_conns "$re")" -eq 0 ] && return 0
    sleep 0.2
  done
  return 1
}

tcp_expect_no_conns() {
  tcp_wait_conns_gone '.' 10 || fail "TCP table not empty at the end: $(ctl_conns | grep '^251-' | head -5)"
  pass "TCP table empty"
}

tcp_expect_natd_alive() { natd_alive; }

tcp_stop_natd() {
  local rc
  natd_alive
  kill -TERM "$NATD_PID"
  for _ in $(seq 100); do kill -0 "$NATD_PID" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$NATD_PID" 2>/dev/null && fail "natd still runs 10 s after SIGTERM"
  wait "$NATD_PID"
  rc=$?
  NATD_PID=""
  if grep -q -E 'Sanitizer|runtime error' "$SB_TMP/natd.err"; then
    sed -n '1,40p' "$SB_TMP/natd.err" >&2
    fail "natd's sanitizer report above"
  fi
  [ "$rc" -eq 0 ] || fail "natd exited with status $rc on SIGTERM"
  pass "natd stopped by SIGTERM with status 0, no sanitizer report"
}

tcp_guest_iface() { echo eth0; }

tcp_keepalive_ms() {
  python3 - "$1" <<'EOF'
import re, sys
m = re.search(r"timer:\(keepalive,([^,]*),", sys.argv[1])
if m:
    t = re.fullmatch(r"(?:(\d+)min)?(?:(\d+)(?:sec|\.))?(?:(\d+)ms)?", m.group(1))
    if t:
        mins, secs, ms = (int(x) if x else 0 for x in t.groups())
        print(mins * 60000 + secs * 1000 + ms)
EOF
}

tcp_restart_natd() {
  local ns=${SB_GUESTS[0]}
  tcp_stop_natd
  # The TAP goes away with natd's descriptor.
  for _ in $(seq 50); do ip -n "$ns" link show eth0 >/dev/null 2>&1 || break; sleep 0.1; done
  printf '[host]\nip = 10.254.254.1/24\n[tcp]\ntimeWaitTimeout = 1\n%s' "$1" >"$NATD_CONF"
  ns_host
  ip -n "$NS_HOST" link set "$TAP" netns "$ns" || fail "cannot move the new TAP into $ns"
  ip -n "$ns" link set "$TAP" name eth0 || fail "rename TAP"
  ip -n "$ns" link set eth0 address "$TCP_GUEST_MAC" up || fail "guest eth0"
  ip -n "$ns" addr add "$TCP_GUEST_IP/24" dev eth0 || fail "guest address"
  ip -n "$ns" route add default via 10.254.254.1 || fail "guest route"
  in_guest ping -c1 -W2 10.254.254.1 >/dev/null || fail "guest cannot reach the restarted natd"
}
