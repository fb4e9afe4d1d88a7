#!/usr/bin/env bash
# End-to-end FTP through natd, both ways, with real servers and clients:
#  - guest as client (curl) of an FTP server in the outside namespace that
#    announces a wrong passive address: download and upload in EPSV, PASV,
#    PORT and EPRT, a listing in active mode;
#  - guest as server behind an [incomingtcp] forward: an outside client and
#    a client on the host's loopback, passive and active; natd's control
#    port lists the data listener of a passive transfer until it is used;
#  - activeftp = 0: PORT and EPRT answered by natd's own 500 replies even
#    though the server never answers, passive still works.
#
# Usage: bash test_ftp.sh /path/to/natd   (as root)
set -u
. "$(dirname "$0")/lib.sh"

PY=/usr/bin/python3  # the Debian interpreter, which has pyftpdlib
sandbox_init ftp
need_tools curl socat sha256sum "$PY"
"$PY" -c 'import pyftpdlib' 2>/dev/null || fail "python3-pyftpdlib missing (scripts/install-deps.sh)"
printf '[tcp]\ntimeWaitTimeout = 1\n[incomingtcp]\n2121 = 10.254.254.10:21\n' >>"$NATD_CONF"
ns_host
add_guest g1 02:7D:33:00:00:10 10.254.254.10
add_outside

# ftpd.py ROOT ADDR LOG [MASQUERADE]: anonymous read-write server on ADDR:21.
cat >"$SB_TMP/ftpd.py" <<'EOF'
import logging, sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
logging.basicConfig(filename=sys.argv[3], level=logging.DEBUG)
auth = DummyAuthorizer()
auth.add_anonymous(sys.argv[1], perm="elradfmw")
FTPHandler.authorizer = auth
if len(sys.argv) > 4:
    FTPHandler.masquerade_address = sys.argv[4]
FTPServer((sys.argv[2], 21), FTPHandler).serve_forever()
EOF
# listener.py HOST PORT CTL: one passive RETR of big.bin, with natd's accept
# table read while the data connection is announced but not yet made.
cat >"$SB_TMP/listener.py" <<'EOF'
import ftplib, hashlib, socket, sys
host, port, ctl = sys.argv[1], int(sys.argv[2]), sys.argv[3]
def accept_table():
    s = socket.socket(socket.AF_UNIX); s.connect(ctl); s.sendall(b"CONNS\r\n")
    data = b""
    while not data.endswith(b"200 OK\r\n"):
        chunk = s.recv(65536)
        if not chunk: break
        data += chunk
    return [l for l in data.decode().split("\r\n") if l.startswith("261-")]
ftp = ftplib.FTP(); ftp.connect(host, port, timeout=20); ftp.login(); ftp.voidcmd("TYPE I")
reply = ftp.sendcmd("PASV"); print(reply)
for line in accept_table(): print("during:", line)
data_conn = socket.create_connection(ftplib.parse227(reply), timeout=20); ftp.sendcmd("RETR big.bin")
h = hashlib.sha256()
while chunk := data_conn.recv(65536): h.update(chunk)
data_conn.close(); ftp.voidresp(); ftp.quit()
for line in accept_table(): print("after:", line)
print("sha", h.hexdigest())
EOF

mkdir -p "$SB_TMP/out/up" "$SB_TMP/guest/up"
head -c 3145728 /dev/urandom >"$SB_TMP/out/big.bin"
cp "$SB_TMP/out/big.bin" "$SB_TMP/guest/big.bin"
head -c 2097152 /dev/urandom >"$SB_TMP/up.bin"
SUM=$(sha256sum <"$SB_TMP/out/big.bin" | cut -d' ' -f1)
UPSUM=$(sha256sum <"$SB_TMP/up.bin" | cut -d' ' -f1)
sum_of() { sha256sum <"$1" | cut -d' ' -f1; }

# The outside server announces 192.0.2.99 in its 227 replies: only the
# gateway's rewrite makes passive mode work for the guest.
bg_in "$NS_OUT" "$PY" -W ignore "$SB_TMP/ftpd.py" "$SB_TMP/out" 198.51.100.2 "$SB_TMP/out.log" 192.0.2.99
bg_in "${SB_GUESTS[0]}" "$PY" -W ignore "$SB_TMP/ftpd.py" "$SB_TMP/guest" 10.254.254.10 "$SB_TMP/guest.log"
for _ in $(seq 100); do
  grep -q 'starting FTP server' "$SB_TMP/out.log" "$SB_TMP/guest.log" 2>/dev/null &&
    [ "$(grep -l 'starting FTP server' "$SB_TMP/out.log" "$SB_TMP/guest.log" | wc -l)" -eq 2 ] && break
  sleep 0.1
done

step "guest as client: download and upload in each mode"
# mode; curl options; what curl shows of the reply (rewritten); what the server got
while IFS=';' read -r mode opts shown served; do
  v="$SB_TMP/v.$mode"
  in_guest curl -sS -v --max-time 60 $opts -o "$SB_TMP/down.$mode" ftp://198.51.100.2/big.bin 2>"$v" ||
    fail "$mode download: $(tail -3 "$v")"
  [ "$(sum_of "$SB_TMP/down.$mode")" = "$SUM" ] || fail "$mode download corrupted"
  in_guest curl -sS --max-time 60 $opts -T "$SB_TMP/up.bin" "ftp://198.51.100.2/up/$mode.bin" ||
    fail "$mode upload"
  [ "$(sum_of "$SB_TMP/out/up/$mode.bin")" = "$UPSUM" ] || fail "$mode upload corrupted"
  grep -qE -e "$shown" "$v" || fail "$mode: curl did not see /$shown/"
  grep -qE -e "$served" "$SB_TMP/out.log" || fail "$mode: the server did not get /$served/"
  pass "$mode: 3 MiB down, 2 MiB up intact"
done <<'EOF'
EPSV;;< 229 Entering extended passive mode \(\|\|\|[0-9]+\|\);<- EPSV
PASV;--disable-epsv;< 227 Entering passive mode \(198,51,100,2,[0-9]+,[0-9]+\);-> 227 .*\(192,0,2,99,
PORT;--ftp-port - --disable-eprt;> PORT 10,254,254,10,;<- PORT 198,51,100,1,[0-9]+,[0-9]+$
EPRT;--ftp-port -;> EPRT \|1\|10\.254\.254\.10\|;<- EPRT \|1\|198\.51\.100\.1\|[0-9]+\|$
EOF
list=$(in_guest curl -sS --max-time 30 --ftp-port - ftp://198.51.100.2/) || fail "active listing"
[[ $list == *big.bin* && $list == *up* ]] || fail "active listing: $list"
pass "directory listing in active mode"

step "guest as server through the forward: outside and loopback clients"
# client; address; curl options; what curl shows of the reply; what the guest server got
while IFS=';' read -r who addr opts shown served; do
  v="$SB_TMP/v.srv"
  ns=$NS_OUT
  [ "$who" = loopback ] && ns=$NS_HOST
  ip netns exec "$ns" curl -sS -v --max-time 60 $opts -o "$SB_TMP/srv.bin" "ftp://$addr:2121/big.bin" 2>"$v" ||
    fail "$who $opts: $(tail -3 "$v")"
  [ "$(sum_of "$SB_TMP/srv.bin")" = "$SUM" ] || fail "$who $opts: file corrupted"
  grep -qE -e "$shown" "$v" || fail "$who $opts: curl did not see /$shown/"
  grep -qE -e "$served" "$SB_TMP/guest.log" || fail "$who $opts: the guest server did not get /$served/"
  pass "$who ${opts:-EPSV}: file intact"
done <<'EOF'
outside;198.51.100.1;;< 229 Entering extended passive mode \(\|\|\|[0-9]+\|\)\.;<- EPSV
outside;198.51.100.1;--disable-epsv;< 227 Entering passive mode \(198,51,100,1,[0-9]+,[0-9]+\)\.;-> 227 .*\(10,254,254,10,
outside;198.51.100.1;--ftp-port - --disable-eprt;> PORT 198,51,100,2,;<- PORT 198,51,100,2,
outside;198.51.100.1;--ftp-port -;> EPRT \|1\|198\.51\.100\.2\|;<- EPRT \|1\|198\.51\.100\.2\|
loopback;127.0.0.1;;< 229 Entering extended passive mode;<- EPSV
loopback;127.0.0.1;--disable-epsv;< 227 Entering passive mode \(127,0,0,1,[0-9]+,[0-9]+\)\.;-> 227
loopback;127.0.0.1;--ftp-port - --disable-eprt;> PORT 127,0,0,1,;<- PORT 10,254,254,1,[0-9]+,[0-9]+$
loopback;127.0.0.1;--ftp-port -;> EPRT \|1\|127\.0\.0\.1\|;<- EPRT \|1\|10\.254\.254\.1\|[0-9]+\|$
EOF
out=$(in_outside "$PY" "$SB_TMP/listener.py" 198.51.100.1 2121 "$CTL_SOCK") || fail "listener.py: $out"
grep -qE '^227 Entering passive mode \(198,51,100,1,[0-9]+,[0-9]+\)\.$' <<<"$out" || fail "227: $out"
grep -qE '^during: 261-fd [0-9]+, from 198\.51\.100\.2:\* via port [0-9]+ to 10\.254\.254\.10:[0-9]+ \(1 conns left\)$' \
  <<<"$out" || fail "no passive data listener listed: $out"
! grep -q '^after:.*conns left' <<<"$out" || fail "the one-shot listener outlived its transfer: $out"
grep -q "^sha $SUM$" <<<"$out" || fail "passive transfer corrupted: $out"
pass "$(grep '^during:.*conns left' <<<"$out")"

step "activeftp = 0: natd refuses PORT and EPRT itself, passive still works"
printf '[host]\nactiveftp = 0\n' >>"$NATD_CONF"
bg_in "$NS_OUT" socat -u TCP-LISTEN:21,bind=203.0.113.10,reuseaddr OPEN:"$SB_TMP/silent.log",creat
sleep 0.3
replies=$(printf 'PORT 10,254,254,10,4,1\r\nEPRT |1|10.254.254.10|1025|\r\nNOOP\r\n' |
  in_guest socat -t 2 - TCP:203.0.113.10:21)
want=$'500 Use PASV instead of PORT, incoming connections are disabled\r\n500 Use EPSV instead of EPRT, incoming connections are disabled\r'
[ "$replies" = "$want" ] || fail "replies from a silent server: $(printf %q "$replies")"
[ "$(cat "$SB_TMP/silent.log")" = $'NOOP\r' ] || fail "the server got: $(printf %q "$(cat "$SB_TMP/silent.log")")"
pass "both 500 texts, only NOOP reached the server"
in_guest curl -sS --max-time 60 --disable-epsv -o "$SB_TMP/down.off" ftp://198.51.100.2/big.bin ||
  fail "passive download with activeftp = 0"
[ "$(sum_of "$SB_TMP/down.off")" = "$SUM" ] || fail "passive download corrupted with activeftp = 0"
pass "passive download intact"

natd_alive
pass "test_ftp"
