#!/usr/bin/env bash
# End-to-end FTP through natd, both ways, with real servers and curl:
#  - guest as client of an FTP server in the outside namespace that
#    announces a wrong passive address: a download, an upload and a listing
#    in each of EPSV, PASV, PORT and EPRT;
#  - guest as server behind an [incomingtcp] forward, for an outside client
#    (EPSV, PASV, PORT) and one on the host's loopback (PASV, PORT, EPRT);
#  - natd's control port lists the data listener of a passive transfer
#    until the client uses it;
#  - activeftp = 0: PORT and EPRT get natd's own 500 replies although the
#    server never answers, and passive mode still works.
# The servers' debug logs show what the rewrites made of each command and
# reply; curl's shows what reached the client.
#
# Usage: bash test_ftp.sh /path/to/natd   (as root)
set -u
. "$(dirname "$0")/lib.sh"

PY=/usr/bin/python3  # the Debian interpreter, which has pyftpdlib
sandbox_init ftp
need_tools curl socat sha256sum "$PY"
printf '[tcp]\ntimeWaitTimeout = 1\n[incomingtcp]\n2121 = 10.254.254.10:21\n' >>"$NATD_CONF"
ns_host
add_guest g1 02:7D:33:00:00:10 10.254.254.10
add_outside

R=$SB_TMP/root  # served by both servers (one file system for every namespace)
mkdir -p "$R/up"
head -c 3145728 /dev/urandom >"$R/big.bin"
head -c 2097152 /dev/urandom >"$SB_TMP/up.bin"
sum_of() { sha256sum <"$1" | cut -d' ' -f1; }
SUMS="$(sum_of "$R/big.bin") $(sum_of "$SB_TMP/up.bin")"
# The outside server announces 192.0.2.99 in its 227 replies: passive mode
# works for the guest only through the rewrite. Logs: $SB_TMP/<port>.log.
bg_in "$NS_OUT" sh -c "exec $PY -m pyftpdlib -i 198.51.100.2 -p 21 -w -D -d $R -n 192.0.2.99 2>$SB_TMP/21.log"
bg_in "$GUEST_NS" sh -c "exec $PY -m pyftpdlib -i 10.254.254.10 -p 21 -w -D -d $R 2>$SB_TMP/2121.log"
for _ in $(seq 100); do [ "$(cat "$SB_TMP"/*.log | grep -c 'starting FTP')" = 2 ] && break; sleep 0.1; done

step "3 MiB down, 2 MiB up and a listing in every mode, guest as client and as server"
n=0
while IFS=';' read -r ns url opts shown served; do
  n=$((n + 1))
  ip netns exec "$ns" curl -sS -v --max-time 60 $opts -o "$SB_TMP/d$n" "ftp://$url/big.bin" 2>"$SB_TMP/v$n" &&
    ip netns exec "$ns" curl -sS --max-time 60 $opts -T "$SB_TMP/up.bin" "ftp://$url/up/$n" "ftp://$url/" >"$SB_TMP/l$n" ||
    fail "$ns $url $opts: $(tail -3 "$SB_TMP/v$n")"
  [ "$(sum_of "$SB_TMP/d$n") $(sum_of "$R/up/$n")" = "$SUMS" ] && grep -q ' big\.bin$' "$SB_TMP/l$n" ||
    fail "$ns $url $opts: file corrupted or not listed"
  grep -qE -e "$shown" "$SB_TMP/v$n" || fail "$ns $url $opts: curl did not see /$shown/"
  grep -qE -e "$served" "$SB_TMP/${url#*:}.log" || fail "$ns $url $opts: the server did not get /$served/"
  pass "${ns##*-} to $url ${opts:-(EPSV)}: files intact, directory listed"
done <<EOF
$GUEST_NS;198.51.100.2:21;;< 229 Entering extended passive mode \(\|\|\|[0-9]+\|\);<- EPSV
$GUEST_NS;198.51.100.2:21;--disable-epsv;< 227 Entering passive mode \(198,51,100,2,[0-9]+,[0-9]+\);-> 227 .*\(192,0,2,99,
$GUEST_NS;198.51.100.2:21;--ftp-port - --disable-eprt;> PORT 10,254,254,10,;<- PORT 198,51,100,1,[0-9]+,[0-9]+$
$GUEST_NS;198.51.100.2:21;--ftp-port -;> EPRT \|1\|10\.254\.254\.10\|;<- EPRT \|1\|198\.51\.100\.1\|[0-9]+\|$
$NS_OUT;198.51.100.1:2121;;< 229 Entering extended passive mode \(\|\|\|[0-9]+\|\)\.;<- EPSV
$NS_OUT;198.51.100.1:2121;--disable-epsv;< 227 Entering passive mode \(198,51,100,1,[0-9]+,[0-9]+\)\.;-> 227 .*\(10,254,254,10,
$NS_OUT;198.51.100.1:2121;--ftp-port - --disable-eprt;> PORT 198,51,100,2,;<- PORT 198,51,100,2,
$NS_HOST;127.0.0.1:2121;--disable-epsv;< 227 Entering passive mode \(127,0,0,1,[0-9]+,[0-9]+\)\.;-> 227
$NS_HOST;127.0.0.1:2121;--ftp-port - --disable-eprt;> PORT 127,0,0,1,;<- PORT 10,254,254,1,[0-9]+,[0-9]+$
$NS_HOST;127.0.0.1:2121;--ftp-port -;> EPRT \|1\|127\.0\.0\.1\|;<- EPRT \|1\|10\.254\.254\.1\|[0-9]+\|$
EOF

step "the control port lists a passive data listener until it is used"
out=$(in_outside "$PY" - "$CTL_SOCK" "$(sum_of "$R/big.bin")" <<'EOF'
import ftplib, hashlib, socket, sys
def listeners():
    s = socket.socket(socket.AF_UNIX); s.connect(sys.argv[1]); s.sendall(b"CONNS\r\n"); s.shutdown(1)
    return [l for l in s.makefile().read().splitlines() if "conns left" in l]
ftp = ftplib.FTP(timeout=20); ftp.connect("198.51.100.1", 2121); ftp.login(); ftp.voidcmd("TYPE I")
addr = ftplib.parse227(ftp.sendcmd("PASV")); print(addr, listeners())
data = socket.create_connection(addr, timeout=20); ftp.sendcmd("RETR big.bin")
print(hashlib.sha256(data.makefile("rb").read()).hexdigest() == sys.argv[2], listeners())
EOF
) || fail "passive client: $out"
[[ $out =~ ^\(\'198\.51\.100\.1\',\ ([0-9]+)\)\ \[\'261-fd\ [0-9]+,\ from\ 198\.51\.100\.2:\*\ via\ port\ ([0-9]+)\ to\ 10\.254\.254\.10:[0-9]+\ \(1\ conns\ left\)\'\].True\ \[\]$ ]] &&
  [ "${BASH_REMATCH[1]}" = "${BASH_REMATCH[2]}" ] || fail "listener not listed, or not only while unused: $out"
pass "$out"

step "activeftp = 0: natd refuses PORT and EPRT itself, passive still works"
printf '[host]\nactiveftp = 0\n' >>"$NATD_CONF"
bg_in "$NS_OUT" socat -u TCP-LISTEN:21,bind=203.0.113.10,reuseaddr OPEN:"$SB_TMP/silent",creat
sleep 0.3
out=$(printf 'PORT 10,254,254,10,4,1\r\nEPRT |1|10.254.254.10|1025|\r\nNOOP\r\n' | in_guest socat -t 2 - TCP:203.0.113.10:21)
[ "$out" = $'500 Use PASV instead of PORT, incoming connections are disabled\r\n500 Use EPSV instead of EPRT, incoming connections are disabled\r' ] && [ "$(cat "$SB_TMP/silent")" = $'NOOP\r' ] || fail "got: $out; the server got: $(cat "$SB_TMP/silent")"
in_guest curl -sS --max-time 60 --disable-epsv -o "$SB_TMP/d0" ftp://198.51.100.2/big.bin &&
  [ "$(sum_of "$SB_TMP/d0")" = "${SUMS% *}" ] || fail "passive download with activeftp = 0"
pass "both 500 texts, only NOOP reached the server; passive download intact"
