#!/usr/bin/env bash
# End-to-end TCP transfers through natd with 1% of the guest's TCP packets
# dropped in both directions (an nftables rule in the guest namespace):
# segments natd sends that the guest never sees must be resent by natd's
# retransmission timer, and the guest's own losses recovered by its stack;
# a 100 MiB download and upload still arrive intact (sha256 compared).
#
# Usage: bash test_tcp_loss.sh /path/to/natd   (as root)
set -u
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/tcp_lib.sh"

tcp_sandbox loss
SIZE_MB=${TCP_LOSS_MB:-100}

step "files: $SIZE_MB MiB of random bytes"
mkdir -p "$TCP_TMP/www"
head -c "${SIZE_MB}M" /dev/urandom >"$TCP_TMP/www/big.bin" || fail "cannot write the test file"
WANT=$(sha256sum <"$TCP_TMP/www/big.bin" | cut -d' ' -f1)
tcp_http_server 8000 "$TCP_TMP/www"

step "drop 1% of the guest's TCP packets, in and out"
in_guest nft -f - <<'EOF' || fail "nft rule not accepted"
table inet natd_loss {
  chain in {
    type filter hook input priority 0;
    meta l4proto tcp numgen random mod 100 < 1 counter drop
  }
  chain out {
    type filter hook output priority 0;
    meta l4proto tcp numgen random mod 100 < 1 counter drop
  }
}
EOF

dropped() {  # packets the rule of chain $1 dropped so far
  in_guest nft list chain inet natd_loss "$1" | sed -n 's/.*counter packets \([0-9]*\).*/\1/p'
}

step "download $SIZE_MB MiB with loss"
read -r _ rexmit0 < <(tcp_counters)
in0=$(dropped in)
got=$(tcp_download 170 big.bin) || fail "download with loss failed"
[ "$got" = "$WANT" ] || fail "download sha256: got $got, want $WANT"
read -r _ rexmit1 < <(tcp_counters)
in1=$(dropped in)
[ $((in1 - in0)) -gt 0 ] || fail "the loss rule dropped nothing on the way in"
# Every segment the guest lost had to come again from natd's timer.
[ $((rexmit1 - rexmit0)) -gt 0 ] || fail "guest lost $((in1 - in0)) packets but natd retransmitted nothing"
pass "download intact; guest dropped $((in1 - in0)) packets, natd retransmitted $((rexmit1 - rexmit0)) times"

step "upload $SIZE_MB MiB with loss"
out0=$(dropped out)
got=$(tcp_upload 170 9001 "$TCP_TMP/www/big.bin") || fail "upload with loss failed"
[ "$got" = "$WANT" ] || fail "upload sha256: got $got, want $WANT"
out1=$(dropped out)
[ $((out1 - out0)) -gt 0 ] || fail "the loss rule dropped nothing on the way out"
pass "upload intact; guest dropped $((out1 - out0)) of its own packets"

in_guest nft delete table inet natd_loss
tcp_expect_no_conns
tcp_stop_natd
pass "test_tcp_loss"
