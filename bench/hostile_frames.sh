#!/usr/bin/env bash
# Hostile frames from one fake guest on natd's unix: device, without any
# namespace: how fast natd takes them, the CPU it burns and the memory it
# keeps.
#   1. 100 000 ARP requests for the gateway, each from another sender
#      address, then 20 000 echo requests to the gateway from spoofed
#      source addresses (each answer needs ARP for the spoofed address).
#   2. max-offset fragments (60 bytes, more-fragments, offset 0x1FFC), each
#      of another datagram: natd's RSS before and after.
# Each is run without [limits] (the default) and with the limits the README
# recommends for a shared gateway.
#   [FLOOD=0] bash bench/hostile_frames.sh build/natd [fragments]   (FLOOD=0: fragments only)
# The fake guest writes with blocking sends: natd's receive queue paces it,
# so frames/s is the rate natd takes frames at.
set -euo pipefail
NATD=$(realpath "${1:-build/natd}")
FRAGS=${2:-5000}
DIR=$(mktemp -d /tmp/natd-hostile.XXXXXX)
PID=
cleanup() { [ -n "$PID" ] && kill "$PID" 2>/dev/null; wait 2>/dev/null; rm -rf "$DIR"; }
trap cleanup EXIT

run() {  # run LABEL [limits lines]
  local label=$1; shift
  printf '[host]\nip = 10.254.254.1\n[limits]\n' >"$DIR/nat.conf"
  for l in "$@"; do echo "$l" >>"$DIR/nat.conf"; done
  rm -f "$DIR/natd.sock"
  setsid "$NATD" -c "$DIR/nat.conf" -m "$DIR/mac" "unix:$DIR/natd.sock" >"$DIR/log" 2>&1 &
  PID=$!
  for _ in $(seq 50); do [ -S "$DIR/natd.sock" ] && break; sleep 0.1; done
  python3 - "$DIR" "$PID" "$FRAGS" "$label" <<'EOF'
import os, socket, struct, sys, time
d, pid, frags, label = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
gw_mac = bytes.fromhex(open(d + '/mac').read().strip().replace(':', '')) if os.path.exists(d + '/mac') else b'\xff' * 6
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(d + '/guest.sock')
s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)  # natd's answers are not read
s.connect(d + '/natd.sock')
gw = socket.inet_aton('10.254.254.1')

def cpu():  # natd's user + system CPU, seconds
    f = open('/proc/%d/stat' % pid).read().rsplit(')', 1)[1].split()
    return (int(f[11]) + int(f[12])) / os.sysconf('SC_CLK_TCK')
def rss():
    for line in open('/proc/%d/status' % pid):
        if line.startswith('VmRSS'):
            return int(line.split()[1])
def csum(b):
    if len(b) % 2: b += b'\0'
    s = sum(struct.unpack('!%dH' % (len(b) // 2), b))
    while s >> 16: s = (s & 0xffff) + (s >> 16)
    return ~s & 0xffff
def ip(src, proto, payload, ident=1, frag=0):
    h = struct.pack('!BBHHHBBH4s4s', 0x45, 0, 20 + len(payload), ident, frag, 64, proto, 0, src, gw)
    return h[:10] + struct.pack('!H', csum(h)) + h[12:] + payload
def eth(src_mac, etype, payload):
    return gw_mac + src_mac + struct.pack('!H', etype) + payload

frames = []
flood = os.environ.get('FLOOD', '1') != '0'
for i in range(100000 if flood else 0):
    mac = b'\x02\x7d\x33' + struct.pack('!I', i)[1:]
    spa = struct.pack('!I', (10 << 24) | (1 << 16) | i)   # 10.1.0.0 upwards: mostly outside the subnet
    arp = struct.pack('!HHBBH', 1, 0x0800, 6, 4, 1) + mac + spa + b'\0' * 6 + gw
    frames.append(b'\xff' * 6 + mac + b'\x08\x06' + arp)
for i in range(20000 if flood else 0):
    icmp = struct.pack('!BBHHH', 8, 0, 0, 7, i) + b'x' * 56
    icmp = icmp[:2] + struct.pack('!H', csum(icmp)) + icmp[4:]
    frames.append(eth(b'\x02\x7d\x33\x00\x00\x01', 0x0800, ip(struct.pack('!I', (172 << 24) | (16 << 16) | i), 1, icmp)))
c0, t0 = cpu(), time.monotonic()
for f in frames:
    s.send(f)
time.sleep(0.2)  # the last frames still queued
t, c = time.monotonic() - t0, cpu() - c0
if flood: print('%-9s ARP+ping: %6d frames in %5.2f s = %7.0f frames/s, natd CPU %5.2f s (%3.0f%% of a core)'
      % (label, len(frames), t, len(frames) / t, c, 100 * c / t))

r0 = rss()
payload = struct.pack('!BBHHH', 8, 0, 0, 7, 7)  # ends at 65512, within the largest datagram
for i in range(frags):
    s.send(eth(b'\x02\x7d\x33\x00\x00\x01', 0x0800, ip(b'\x0a\xfe\xfe\x0a', 1, payload, ident=i, frag=0x2000 | 0x1ffc)))
time.sleep(0.2)
print('%-9s fragments: %d max-offset fragments, natd RSS %d -> %d KiB (+%d KiB)' % (label, frags, r0, rss(), rss() - r0))
EOF
  kill "$PID"; wait "$PID" 2>/dev/null || true; PID=
  rm -f "$DIR/guest.sock"
}

run default
run shared reassemblies=256 reassemblyBytes=8388608 arpEntries=4096 arpSubnetOnly=1 arpQueue=32 icmpEchoes=4096
