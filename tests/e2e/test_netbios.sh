#!/usr/bin/env bash
# End-to-end NetBIOS gateway. A guest's nmblookup asks the gateway address
# and is answered by a real WINS server (nmbd) in the outside namespace,
# named in natd's Samba file; the guest's own registration is held there
# under the host's address while the guest sees its own in the answer. Then
# the server is silenced (nftables): the request fails at the end of the
# list, which reads the list again and finds `winsServer` (the same nmbd on
# its other address), and the next request fails over to it. Last, a direct
# datagram to an outside host leaves with the host's address in SOURCE_IP
# and the answer to port 138 of the host reaches the guest's port 138.
#
# Usage: bash test_netbios.sh /path/to/natd   (as root)
. "$(dirname "$0")/lib.sh"

need_tools nmbd nmblookup nft socat od
sandbox_init netbios
# `ip netns exec` mounts /etc/netns/NS/samba over /etc/samba: natd's Samba
# file, removed again at the end. nmbd gets its own with -s.
trap 'rc=$?; rm -rf "/etc/netns/$NS_HOST"; (exit $rc); sandbox_teardown' EXIT
# Only the line with tabs, blanks and a different case names a server.
printf '[global]\n;wins server = 203.0.113.10\n\tWINS  Server=198.51.100.2\n' | install -D /dev/stdin "/etc/netns/$NS_HOST/samba/smb.conf"
printf '[netbios]\nnbnsTimeout = 1\nnbnsRetries = 1\n' >>"$NATD_CONF"
ns_host
add_guest g1 02:7D:33:00:00:10 10.254.254.10
add_outside
printf '%s directory = %s\n' pid "$SB_TMP" lock "$SB_TMP" state "$SB_TMP" cache "$SB_TMP" >"$SB_TMP/smb.conf"
bg_in "$NS_OUT" nmbd -F --no-process-group -s "$SB_TMP/smb.conf" -l "$SB_TMP" --option="wins support = yes" --option="netbios name = NATDWINS"
bg_in "$NS_OUT" socat -u UDP4-RECV:138,bind=203.0.113.10,reuseaddr "OPEN:$SB_TMP/dgram,creat"
until_ok in_outside nmblookup -U 198.51.100.2 --recursion NATDWINS >/dev/null

# RFC 1002 messages: the encoded names NBGUEST<00> and NATDWINS<00>; a name
# registration of NBGUEST at 10.254.254.10; a direct datagram from NBGUEST
# to NATDWINS with SOURCE_IP $1 and user data $2.
GUEST='\x20EOECEHFFEFFDFECACACACACACACACAAA\x00' WINS='\x20EOEBFEEEFHEJEOFDCACACACACACACAAA\x00'
REG="\x00\x07\x29\x00\x00\x01\x00\x00\x00\x00\x00\x01$GUEST\x00\x20\x00\x01\xc0\x0c\x00\x20\x00\x01\x00\x00\x01\x2c\x00\x06\x00\x00\x0a\xfe\xfe\x0a"
dgram() { printf "\x10\x02\x00\x07$1\x00\x8a\x00\x49\x00\x00$GUEST$WINS$2"; }
# until_in FILE TEXT: waits (10 s at most) for TEXT in FILE, then prints FILE's bytes $3.. as hex.
until_in() { until_ok grep -aq "$2" "$1"; od -An -tx1 -j"$3" -N"$4" "$1"; }

# Each row: what is checked | extended regex the output must match | command (shell
# text, run in order). The fourth row silences the first server (nftables)
# and gives natd `winsServer` once every earlier request has had its tries
# (else one failing then would end the list and read it again too early);
# the datagram rows share a guest socat in the
# background.
while IFS='|' read -r what want cmd; do check "$what" "$want" eval "$cmd"; done <<'ROWS'
the server in natd's Samba file answers the guest|198.51.100.2 NATDWINS<00>|in_guest nmblookup -U 10.254.254.1 --recursion NATDWINS
the guest's registration answer has its own NB_ADDRESS|0a fe fe 0a|printf "$REG" | in_guest socat -t 1 - UDP4:10.254.254.1:137 | od -An -tx1 -j58 -N4
the server holds the guest's name at the host's address|198.51.100.1 NBGUEST<00>|in_outside nmblookup -U 198.51.100.2 --recursion NBGUEST
the only server silenced (winsServer added): the query finds nothing|name_query failed|sleep 3 && in_outside nft "add table ip nb; add chain ip nb in { type filter hook input priority 0; }; add rule ip nb in ip daddr 198.51.100.2 udp dport 137 drop" && echo "winsServer = 203.0.113.10" >>"$NATD_CONF" && in_guest nmblookup -U 10.254.254.1 --recursion NBGUEST
the list read again: the second server (winsServer) answers|198.51.100.1 NBGUEST<00>|in_guest nmblookup -U 10.254.254.1 --recursion NBGUEST
the direct datagram leaves with the host's SOURCE_IP|c6 33 64 01|(dgram '\x0a\xfe\xfe\x0a' peer | in_guest socat -t 3 - UDP4-DATAGRAM:203.0.113.10:138,bind=:138 >"$SB_TMP/reply" 2>&1 &); until_in "$SB_TMP/dgram" peer 4 4
the answer to the host's port 138 reaches the guest's|67 75 65 73 74|dgram '\xcb\x00\x71\x0a' guest | in_outside socat - UDP4-SENDTO:198.51.100.1:138,bind=203.0.113.10:138,reuseaddr; until_in "$SB_TMP/reply" guest 82 5
ROWS
