#!/usr/bin/env bash
# End-to-end TCP bulk transfers through natd's TCP engine: a guest fetches a
# page from a web server in the outside namespace, downloads and uploads
# 100 MiB (sha256 compared), then the same with small receive buffers so
# that flow control is what paces both directions: the guest's small
# window bounds what natd reads from the host socket, and a slow outside
# receiver makes natd's offered window shrink towards the guest.
#
# Usage: bash test_tcp_bulk.sh /path/to/natd   (as root)
set -u
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/tcp_lib.sh"

tcp_sandbox bulk
SIZE_MB=${TCP_BULK_MB:-100}

step "files: index page and $SIZE_MB MiB of random bytes"
mkdir -p "$TCP_TMP/www"
echo "natd e2e page $$" >"$TCP_TMP/www/index.html"
head -c "${SIZE_MB}M" /dev/urandom >"$TCP_TMP/www/big.bin" || fail "cannot write the test file"
WANT=$(sha256sum <"$TCP_TMP/www/big.bin" | cut -d' ' -f1)
tcp_http_server 8000 "$TCP_TMP/www"

step "curl fetches a page"
page=$(in_guest curl -sS --max-time 20 http://198.51.100.2:8000/index.html) || fail "curl failed"
[ "$page" = "natd e2e page $$" ] || fail "page content: got '$page'"
pass "page fetched through natd"

step "download $SIZE_MB MiB"
got=$(tcp_download 120 big.bin) || fail "download failed"
[ "$got" = "$WANT" ] || fail "download sha256: got $got, want $WANT"
pass "download intact"

step "upload $SIZE_MB MiB"
got=$(tcp_upload 120 9001 "$TCP_TMP/www/big.bin") || fail "upload failed"
[ "$got" = "$WANT" ] || fail "upload sha256: got $got, want $WANT"
pass "upload intact"

step "download with the guest's receive buffer clamped to 4096 bytes"
in_guest sysctl -qw net.ipv4.tcp_rmem="4096 4096 4096" || fail "cannot clamp tcp_rmem in the guest"
read -r sent0 rexmit0 < <(tcp_counters)
got=$(tcp_download 150 big.bin) || fail "clamped download failed"
[ "$got" = "$WANT" ] || fail "clamped download sha256: got $got, want $WANT"
read -r sent1 rexmit1 < <(tcp_counters)
# natd reads only what the guest's window allows, so the guest drops
# nothing and natd has (almost) nothing to resend.
sent=$((sent1 - sent0)); rexmit=$((rexmit1 - rexmit0))
[ "$sent" -gt 0 ] || fail "segment counter did not move ($sent0 -> $sent1)"
[ $((rexmit * 100)) -le "$sent" ] || fail "clamped window: $rexmit retransmissions for $sent segments (natd overran the window?)"
pass "clamped download intact, $sent segments, $rexmit retransmissions"
in_guest sysctl -qw net.ipv4.tcp_rmem="4096 131072 6291456"

step "upload to an outside receiver with a 4096-byte receive buffer"
in_outside sysctl -qw net.ipv4.tcp_rmem="4096 4096 4096" || fail "cannot clamp tcp_rmem outside"
got=$(tcp_upload 150 9002 "$TCP_TMP/www/big.bin") || fail "clamped upload failed"
[ "$got" = "$WANT" ] || fail "clamped upload sha256: got $got, want $WANT"
pass "clamped upload intact"

tcp_expect_no_conns
tcp_stop_natd
pass "test_tcp_bulk"
