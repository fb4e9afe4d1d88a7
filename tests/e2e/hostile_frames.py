# Hostile frames for natd's end-to-end tests, sent from a guest namespace
# through a raw packet socket on eth0 (python3 only, no packages).
#
#   hostile_frames.py arp COUNT GWMAC            ARP requests for the gateway
#                                                from random sender addresses
#   hostile_frames.py frag COUNT GWMAC DST       fragments at the largest
#                                                offset, each of its own datagram
#   hostile_frames.py ooo COUNT GWMAC DST PORT   a handshake of its own, then
#                                                COUNT one-byte segments at every
#                                                other position (never in order),
#                                                then a reset
# Prints "sent N".
import os, random, socket, struct, sys

IF = "eth0"


def csum(b):
    if len(b) % 2:
        b += b"\0"
    s = sum(struct.unpack("!%dH" % (len(b) // 2), b))
    while s >> 16:
        s = (s & 0xFFFF) + (s >> 16)
    return ~s & 0xFFFF


def ip_header(src, dst, proto, payload_len, ident, frag=0):
    h = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + payload_len, ident, frag, 64, proto, 0, src, dst)
    return h[:10] + struct.pack("!H", csum(h)) + h[12:]


def tcp_segment(src, dst, sport, dport, seq, ack, flags, data=b"", opts=b""):
    off = (20 + len(opts)) // 4 << 4
    t = struct.pack("!HHIIBBHHH", sport, dport, seq, ack, off, flags, 65535, 0, 0) + opts + data
    pseudo = src + dst + struct.pack("!BBH", 0, 6, len(t))
    return t[:16] + struct.pack("!H", csum(pseudo + t)) + t[18:]


def main():
    kind, count, gw = sys.argv[1], int(sys.argv[2]), bytes.fromhex(sys.argv[3].replace(":", ""))
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(3))
    s.bind((IF, 0))
    me = s.getsockname()[4]
    my_ip = socket.inet_aton(os.popen("ip -4 -o addr show dev " + IF).read().split()[3].split("/")[0])
    if kind == "arp":
        for _ in range(count):
            sender = struct.pack("!I", random.getrandbits(32))
            arp = struct.pack("!HHBBH", 1, 0x0800, 6, 4, 1) + me + sender + b"\0" * 6 + socket.inet_aton("10.254.254.1")
            s.send(b"\xff" * 6 + me + b"\x08\x06" + arp)
    elif kind == "frag":
        dst = socket.inet_aton(sys.argv[4])
        for i in range(count):
            pkt = ip_header(my_ip, dst, 17, 8, i & 0xFFFF, 0x2000 | 0x1FFC) + b"\0" * 8
            s.send(gw + me + b"\x08\x00" + pkt)
    elif kind == "ooo":
        dst, port = socket.inet_aton(sys.argv[4]), int(sys.argv[5])
        sport, isn = random.randint(40000, 60000), random.getrandbits(32)
        send = lambda seq, ack, flags, data=b"", opts=b"": s.send(
            gw + me + b"\x08\x00" + ip_header(my_ip, dst, 6, 20 + len(opts) + len(data), 1)
            + tcp_segment(my_ip, dst, sport, port, seq, ack, flags, data, opts))
        send(isn, 0, 0x02, opts=b"\x02\x04\x05\xb4")
        s.settimeout(5)
        while True:  # the SYN+ACK
            f = s.recv(2048)
            if f[12:14] == b"\x08\x00" and f[23] == 6 and f[26:30] == dst:
                t = f[14 + (f[14] & 15) * 4:]
                if struct.unpack("!HH", t[:4]) == (port, sport) and t[13] & 0x12 == 0x12:
                    rcv = struct.unpack("!I", t[4:8])[0] + 1
                    break
        send(isn + 1, rcv, 0x10)
        for i in range(1, count + 1):  # positions 2, 4, 6, ...: the first byte never comes
            send(isn + 1 + 2 * i, rcv, 0x18, b"x")
        send(isn + 1, rcv, 0x04)  # RST: natd lets the connection go
    print("sent", count)


main()
