#!/usr/bin/env python3
# Helpers of test_pptp.sh. The PPP daemon of both PPTP programs is replaced
# by this script speaking HDLC-framed PPP on its terminal (RFC 1662: flags,
# escapes, FCS-16):
#   echo                 server side: sends every frame back
#   send N FILE          client side: sends N frames and keeps in FILE the
#                        count of those that came back intact
#   sniff IF FILE        one line per GRE packet on IF: direction (i/o) and
#                        the IPv4 packet in hex
#   inject SRC DST HEX.. sends each GRE packet (hex, kernel-made IPv4 header)
#   call SERVER ID       PPTP control connection up to an Outgoing-Call-Request
#                        with Call ID ID; prints how the server's side ended
#   same A DA B DB KEEP SRC DST
#                        the GRE packets of capture A in direction DA arrived
#                        in capture B (direction DB) in order, unchanged (KEEP
#                        1: the IPv4 header too, but for checksum and source),
#                        all from SRC to DST, up to the last one that carries
#                        "PASS"; those that carry "DROP" must not have arrived
import os, socket, struct, sys, time, tty

MAGIC = 0x1A2B3C4D

def fcs(data):
    f = 0xFFFF
    for c in data:
        f ^= c
        for _ in range(8):
            f = (f >> 1) ^ 0x8408 if f & 1 else f >> 1
    return f ^ 0xFFFF

def frame(p):
    p += fcs(p).to_bytes(2, "little")
    return b"\x7e" + b"".join(bytes([0x7D, c ^ 0x20]) if c < 0x20 or c in (0x7D, 0x7E) else bytes([c]) for c in p) + b"\x7e"

def frames(fd):
    buf = b""
    while chunk := os.read(fd, 4096):
        *done, buf = (buf + chunk).split(b"\x7e")
        for raw in filter(None, done):
            p = bytearray()
            it = iter(raw)
            for c in it:
                p.append(next(it, 0) ^ 0x20 if c == 0x7D else c)
            if fcs(bytes(p)) == 0x0F47:  # good FCS residue
                yield bytes(p[:-2])

cmd = sys.argv[1]
out = 1
if cmd in ("echo", "send") and os.isatty(0):
    tty.setraw(0)
    out = 0
if cmd == "echo":  # speaks first, as a PPP daemon does
    os.write(out, frame(b"\xff\x03\xc0\x21\x01\x01\x00\x04"))
    for p in frames(0):
        os.write(out, frame(p))
elif cmd == "send":
    n, sent = int(sys.argv[2]), []
    for i in range(n):
        sent.append(b"\xff\x03\x00\x21" + bytes((i * 7 + j) % 256 for j in range(40 * i + 1)))
        os.write(out, frame(sent[-1]))
        time.sleep(0.02)
    got = 0
    for p in frames(0):
        got += p in sent
        open(sys.argv[3], "w").write(f"{got}\n")
elif cmd == "sniff":
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(3))  # outgoing too
    s.bind((sys.argv[2], 0))
    out = open(sys.argv[3], "w", buffering=1)
    while True:
        f, addr = s.recvfrom(70000)
        if f[12:14] == b"\x08\x00" and f[23] == 47:
            out.write("%s %s\n" % ("o" if addr[2] == socket.PACKET_OUTGOING else "i", f[14:].hex()))
elif cmd == "inject":
    s = socket.socket(socket.AF_INET, socket.SOCK_RAW, 47)
    s.bind((sys.argv[2], 0))
    for h in sys.argv[4:]:
        s.sendto(bytes.fromhex(h), (sys.argv[3], 0))
elif cmd == "call":
    c = socket.create_connection((sys.argv[2], 1723), timeout=5)
    c.sendall(struct.pack("!HHIHHHHIIHH128x", 156, 1, MAGIC, 1, 0, 0x100, 0, 1, 1, 0, 0))
    c.recv(156, socket.MSG_WAITALL)
    c.sendall(struct.pack("!HHIHHHHIIIIHHHH128x", 168, 1, MAGIC, 7, 0, int(sys.argv[3]), 1, 300, 10**8, 3, 3, 64, 0, 0, 0))
    try:
        print("reply" if c.recv(32, socket.MSG_WAITALL) else "closed")
    except ConnectionResetError:
        print("reset")
elif cmd == "same":
    def gre(f, d):
        return [bytes.fromhex(h) for x, h in (l.split() for l in open(f)) if x == d]
    def upto_pass(l):  # later packets may still be on their way
        return l[:max([i + 1 for i, p in enumerate(l) if b"PASS" in p] or [0])]
    def cut(p):
        return p[:10] + p[16:] if sys.argv[6] == "1" else p[20:]
    a = [cut(p) for p in upto_pass(gre(*sys.argv[2:4])) if b"DROP" not in p]
    got = upto_pass(gre(*sys.argv[4:6]))
    ends = {p[12:20] for p in got}
    ok = a == [cut(p) for p in got] and ends == {socket.inet_aton(sys.argv[7]) + socket.inet_aton(sys.argv[8])}
    print(f"{len(a)} sent, {len(got)} arrived from {[socket.inet_ntoa(e[:4]) for e in ends]}: {'same' if ok else 'DIFFERENT'}")
    sys.exit(0 if ok else 1)
