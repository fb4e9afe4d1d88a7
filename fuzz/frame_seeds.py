#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_frames: valid guest frames of every kind in
the target's input layout (option byte, then records of a 2-byte frame
length, a clock step byte and the frame).

Usage: frame_seeds.py OUTDIR

The target calls srand(1) before each input, so the first connection's
initial sequence number is known here and the TCP seeds acknowledge it.
"""
import ctypes
import os
import struct
import sys

GW_MAC = bytes.fromhex("024ea1000001")
GUEST_MAC = bytes.fromhex("027d33000001")
GUEST2_MAC = bytes.fromhex("027d33000002")
BCAST_MAC = b"\xff" * 6


def ip4(text):
    return bytes(int(x) for x in text.split("."))


GW = ip4("10.254.254.1")
GUEST = ip4("10.254.254.10")
GUEST2 = ip4("10.254.254.11")
LOOP = ip4("127.0.0.1")
SUBNET_BCAST = ip4("10.254.254.255")
ALL_ONES = ip4("255.255.255.255")
ZERO = ip4("0.0.0.0")
TESTNET = ip4("198.51.100.7")
PORT = 7777  # the target's loopback TCP and UDP servers


def csum(data):
    if len(data) % 2:
        data += b"\0"
    s = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while s >> 16:
        s = (s & 0xFFFF) + (s >> 16)
    return (~s) & 0xFFFF


def eth(payload, etype=0x0800, dst=GW_MAC, src=GUEST_MAC):
    return dst + src + struct.pack("!H", etype) + payload


def arp(op, sha, spa, tha, tpa):
    return struct.pack("!HHBBH", 1, 0x0800, 6, 4, op) + sha + spa + tha + tpa


def ipv4(src, dst, proto, payload, ttl=64, ident=0x4242, frag=0, options=b"", tos=0):
    hlen = 20 + len(options)
    h = struct.pack("!BBHHHBBH4s4s", 0x40 | hlen // 4, tos, hlen + len(payload), ident, frag, ttl, proto, 0,
                    src, dst) + options
    h = h[:10] + struct.pack("!H", csum(h)) + h[12:]
    return h + payload


def icmp(typ, code, rest, payload):
    m = struct.pack("!BBH", typ, code, 0) + rest + payload
    return m[:2] + struct.pack("!H", csum(m)) + m[4:]


def echo(ident, seq, payload):
    return icmp(8, 0, struct.pack("!HH", ident, seq), payload)


def pseudo(src, dst, proto, length):
    return src + dst + struct.pack("!BBH", 0, proto, length)


def udp(src, dst, sport, dport, payload, no_csum=False):
    u = struct.pack("!HHHH", sport, dport, 8 + len(payload), 0) + payload
    if no_csum:
        return u
    c = csum(pseudo(src, dst, 17, len(u)) + u) or 0xFFFF
    return u[:6] + struct.pack("!H", c) + u[8:]


SYN, FIN, RST, PSH, ACK, URG = 0x02, 0x01, 0x04, 0x08, 0x10, 0x20


def tcp(src, dst, sport, dport, seq, ack, flags, payload=b"", options=b"", window=65535, urg=0):
    hlen = 20 + len(options)
    t = struct.pack("!HHIIBBHHH", sport, dport, seq & 0xFFFFFFFF, ack & 0xFFFFFFFF, (hlen // 4) << 4, flags,
                    window, 0, urg) + options + payload
    c = csum(pseudo(src, dst, 6, len(t)) + t)
    return t[:16] + struct.pack("!H", c) + t[18:]


MSS = b"\x02\x04\x05\xb4"
TCP_OPTS = MSS + b"\x01\x03\x03\x07" + b"\x04\x02\x01\x01" + b"\x08\x0a\x00\x00\x00\x01\x00\x00\x00\x00" + b"\x00\x00"


def rec(frame, step=0):
    return struct.pack("!HB", len(frame), step) + frame


def rec_host(message, step=0):
    """An ICMP message sent to the daemon from the host side."""
    return struct.pack("!HB", len(message) | 0x8000, step) + message


def seed(*records, options=0):
    return bytes([options]) + b"".join(records)


def first_iss():
    libc = ctypes.CDLL("libc.so.6")
    libc.srand(1)
    a = libc.rand()
    b = libc.rand()
    return ((a << 16) ^ b) & 0xFFFFFFFF


def bootp(msg_type, mac, options=b"", requested=None, overload=None, file=b"", sname=b""):
    m = bytearray(236)
    m[0], m[1], m[2] = 1, 1, 6
    struct.pack_into("!IHH", m, 4, 0x11223344, 0, 0x8000)
    m[28:34] = mac
    m[44:44 + len(sname)] = sname
    m[108:108 + len(file)] = file
    opts = bytes([53, 1, msg_type])
    if requested:
        opts += bytes([50, 4]) + requested + bytes([54, 4]) + GW
    if overload:
        opts += bytes([52, 1, overload])
    opts += bytes([55, 4, 1, 3, 6, 15]) + bytes([12, 5]) + b"guest" + options + b"\xff"
    return bytes(m) + struct.pack("!I", 0x63825363) + opts


def dhcp_frame(payload):
    u = udp(ZERO, ALL_ONES, 68, 67, payload)
    return eth(ipv4(ZERO, ALL_ONES, 17, u, ttl=64), dst=BCAST_MAC)


def fragments(src, dst, proto, whole, pieces, ident=0x5151, order=None):
    """IPv4 fragments of `whole` cut at the given 8-byte aligned sizes."""
    frames = []
    off = 0
    for i, size in enumerate(pieces):
        part = whole[off:off + size]
        more = 0x2000 if off + size < len(whole) else 0
        frames.append(eth(ipv4(src, dst, proto, part, ident=ident, frag=more | off // 8)))
        off += size
    if order:
        frames = [frames[i] for i in order]
    return frames


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    iss = first_iss()
    seeds = {}

    # ARP: a request for the gateway, a reply, a gratuitous announcement,
    # and a request for an unknown guest address.
    seeds["arp"] = seed(
        rec(eth(arp(1, GUEST_MAC, GUEST, b"\0" * 6, GW), 0x0806, dst=BCAST_MAC)),
        rec(eth(arp(2, GUEST2_MAC, GUEST2, GW_MAC, GW), 0x0806, src=GUEST2_MAC)),
        rec(eth(arp(1, GUEST2_MAC, GUEST2, b"\0" * 6, GUEST2), 0x0806, dst=BCAST_MAC, src=GUEST2_MAC), 0x81),
        rec(eth(arp(1, GUEST_MAC, GUEST, b"\0" * 6, ip4("10.254.254.99")), 0x0806, dst=BCAST_MAC)),
        options=2)

    # ICMP echo: the gateway, a broadcast, loopback through the raw socket,
    # an unreachable TEST-NET host, a low TTL, IP options.
    seeds["icmp_echo"] = seed(
        rec(eth(ipv4(GUEST, GW, 1, echo(1, 1, bytes(range(56)))))),
        rec(eth(ipv4(GUEST, SUBNET_BCAST, 1, echo(1, 2, b"abc")), dst=BCAST_MAC)),
        rec(eth(ipv4(GUEST, LOOP, 1, echo(2, 1, b"x" * 32))), 5),
        rec(eth(ipv4(GUEST, TESTNET, 1, echo(3, 1, b"y" * 8), ttl=1))),
        rec(eth(ipv4(GUEST, TESTNET, 1, echo(3, 2, b"y" * 8)))),
        rec(eth(ipv4(GUEST, GW, 1, echo(4, 1, b"opt"), options=b"\x07\x07\x04" + b"\0" * 4 + b"\x01\x00")), 0x95))

    # Fragmented echo (out of order), overlapping and oversized fragments.
    big = echo(9, 9, bytes(i & 0xFF for i in range(3000)))
    frames = fragments(GUEST, GW, 1, big, [1480, 1480, len(big) - 2960], order=[2, 0, 1])
    ovl = echo(10, 1, bytes(64))
    ovl_frames = [eth(ipv4(GUEST, GW, 1, ovl[0:32], ident=7, frag=0x2000)),
                  eth(ipv4(GUEST, GW, 1, ovl[24:72], ident=7, frag=3))]
    far = eth(ipv4(GUEST, GW, 17, b"z" * 16, ident=8, frag=0x1FFF))
    seeds["ip_fragments"] = seed(*[rec(f) for f in frames], *[rec(f) for f in ovl_frames], rec(far, 0x90))

    # ICMP errors from the guest about traffic it received, and an error
    # quoting a TCP segment.
    inner_udp = ipv4(LOOP, GUEST, 17, udp(LOOP, GUEST, PORT, 40000, b"data"))
    inner_tcp = ipv4(GW, GUEST, 6, tcp(GW, GUEST, PORT, 40001, 1000, 0, SYN | ACK)[:8])
    seeds["icmp_errors"] = seed(
        rec(eth(ipv4(GUEST, GW, 17, udp(GUEST, GW, 40000, PORT, b"hello")))),
        rec(eth(ipv4(GUEST, LOOP, 1, icmp(3, 3, b"\0" * 4, inner_udp)))),
        rec(eth(ipv4(GUEST, GW, 1, icmp(11, 0, b"\0" * 4, inner_tcp)))),
        rec(eth(ipv4(GUEST, GW, 1, icmp(12, 0, b"\x14\0\0\0", inner_udp)))))

    # UDP: to the loopback server through the gateway address and directly,
    # without checksum, to broadcasts, to a closed port, fragmented.
    ubig = udp(GUEST, LOOP, 40002, PORT, bytes(2000))
    seeds["udp"] = seed(
        rec(eth(ipv4(GUEST, GW, 17, udp(GUEST, GW, 40000, PORT, b"ping")))),
        rec(eth(ipv4(GUEST, LOOP, 17, udp(GUEST, LOOP, 40001, PORT, b"pong", no_csum=True))), 3),
        rec(eth(ipv4(GUEST, SUBNET_BCAST, 17, udp(GUEST, SUBNET_BCAST, 138, 138, b"b")), dst=BCAST_MAC)),
        rec(eth(ipv4(GUEST, GW, 17, udp(GUEST, GW, 40003, 9, b"closed")))),
        rec(eth(ipv4(GUEST, GW, 17, udp(GUEST, GW, 5353, 5353, b"mdns")))),
        *[rec(f) for f in fragments(GUEST, LOOP, 17, ubig, [1480, len(ubig) - 1480])],
        rec(b"", 0xC0))

    # DHCP: DISCOVER then REQUEST, a plain BOOTP request, option overload.
    seeds["dhcp"] = seed(
        rec(dhcp_frame(bootp(1, GUEST2_MAC))),
        rec(dhcp_frame(bootp(3, GUEST2_MAC, requested=ip4("10.254.254.128")))),
        rec(dhcp_frame(bootp(3, GUEST_MAC, overload=3, file=bytes([53, 1, 3, 255]),
                             sname=bytes([61, 7, 1]) + GUEST_MAC + b"\xff")), 2),
        rec(dhcp_frame(bytes(236))))

    # TCP through the gateway to the loopback server: handshake with
    # options, data both ways, FIN, then a second connection reset.
    g, p = 40010, PORT
    seq = 1000
    a = iss + 1
    seeds["tcp_session"] = seed(
        rec(eth(ipv4(GUEST, GW, 6, tcp(GUEST, GW, g, p, seq, 0, SYN, options=TCP_OPTS)))),
        rec(eth(ipv4(GUEST, GW, 6, tcp(GUEST, GW, g, p, seq + 1, a, ACK)))),
        rec(eth(ipv4(GUEST, GW, 6, tcp(GUEST, GW, g, p, seq + 1, a, ACK | PSH, b"GET / HTTP/1.0\r\n\r\n"))), 1),
        rec(eth(ipv4(GUEST, GW, 6, tcp(GUEST, GW, g, p, seq + 19, a, ACK | URG, b"urgent", urg=3))), 30),
        rec(eth(ipv4(GUEST, GW, 6, tcp(GUEST, GW, g, p, seq + 40, a, ACK, b"out of order")))),
        rec(eth(ipv4(GUEST, GW, 6, tcp(GUEST, GW, g, p, seq + 25, a, ACK | FIN, b"x" * 15))), 0x82),
        rec(eth(ipv4(GUEST, GW, 6, tcp(GUEST, GW, g + 1, p, 5000, 0, SYN, options=MSS)))),
        rec(eth(ipv4(GUEST, GW, 6, tcp(GUEST, GW, g + 1, p, 5001, 0, RST)))))

    # Bulk data both ways: the echo server sends back what the guest sends,
    # so the daemon's send ring grows; the guest acknowledges it in steps
    # and shrinks its window to zero and back.
    g, seq, a = 40030, 3000, iss + 1
    bulk = [rec(eth(ipv4(GUEST, GW, 6, tcp(GUEST, GW, g, p, seq, 0, SYN, options=MSS))))]
    bulk.append(rec(eth(ipv4(GUEST, GW, 6, tcp(GUEST, GW, g, p, seq + 1, a, ACK)))))
    for i in range(4):
        bulk.append(rec(eth(ipv4(GUEST, GW, 6, tcp(GUEST, GW, g, p, seq + 1 + 1400 * i, a, ACK,
                                                    bytes((i + j) & 0xFF for j in range(1400)))))))
    bulk.append(rec(eth(ipv4(GUEST, GW, 6, tcp(GUEST, GW, g, p, seq + 5601, a + 2800, ACK, window=0))), 2))
    bulk.append(rec(eth(ipv4(GUEST, GW, 6, tcp(GUEST, GW, g, p, seq + 5601, a + 5600, ACK, window=512))), 0x81))
    bulk.append(rec(eth(ipv4(GUEST, GW, 6, tcp(GUEST, GW, g, p, seq + 5601, a + 5600, ACK | FIN, b"QUIT"))), 0x82))
    seeds["tcp_bulk"] = seed(*bulk)

    # TCP oddities: a SYN to a closed port, to an unreachable TEST-NET host,
    # a stray ACK, a SYN with data and FIN, a segment with every flag.
    seeds["tcp_odd"] = seed(
        rec(eth(ipv4(GUEST, GW, 6, tcp(GUEST, GW, 40020, 9, 1, 0, SYN)))),
        rec(eth(ipv4(GUEST, TESTNET, 6, tcp(GUEST, TESTNET, 40021, 80, 1, 0, SYN, options=MSS)))),
        rec(eth(ipv4(GUEST, GW, 6, tcp(GUEST, GW, 40022, PORT, 77, 88, ACK, b"stray")))),
        rec(eth(ipv4(GUEST, GW, 6, tcp(GUEST, GW, 40023, PORT, 9, 0, SYN | FIN, b"syn data")))),
        rec(eth(ipv4(GUEST, GW, 6, tcp(GUEST, GW, 40024, PORT, 9, 9, 0x3F, b"all", options=TCP_OPTS))), 0xA0))

    # Incoming forwards (option bits 8 and 16): the host client's connection
    # reaches the guest as a SYN from the gateway's port 9000 with the first
    # initial sequence number; the guest completes it, answers, closes. The
    # datagram to the UDP forward is answered to its sender.
    f = 80
    seeds["tcp_incoming"] = seed(
        rec(eth(ipv4(GUEST, GW, 6, tcp(GUEST, GW, f, 9000, 7000, iss + 1, SYN | ACK, options=MSS)))),
        rec(eth(ipv4(GUEST, GW, 6, tcp(GUEST, GW, f, 9000, 7001, iss + 1, ACK | PSH, b"HTTP/1.0 200 OK\r\n"))), 1),
        rec(eth(ipv4(GUEST, GW, 6, tcp(GUEST, GW, f, 9000, 7018, iss + 13, ACK | FIN))), 0x81),
        rec(eth(ipv4(GUEST, GW, 6, tcp(GUEST, GW, f, 9000, 7019, iss + 14, ACK))), 0x90),
        options=8)
    seeds["udp_forward"] = seed(
        rec(eth(ipv4(GUEST, LOOP, 17, udp(GUEST, LOOP, 53, 9001, b"answer")))),
        rec(eth(ipv4(GUEST, GW, 1, icmp(3, 3, b"\0" * 4, ipv4(GW, GUEST, 17, udp(GW, GUEST, 9001, 53, b"query")))))),
        rec(b"", 0xFF),
        options=16)

    # ICMP errors from the host side about a UDP flow, a TCP connection and a
    # relayed echo request; the quotes are written as the guest sees them.
    q_udp = ipv4(GUEST, LOOP, 17, udp(GUEST, LOOP, 40001, PORT, b"flow"))[:28]
    q_tcp = ipv4(GUEST, GW, 6, tcp(GUEST, GW, 40010, PORT, 1001, 0, ACK))[:28]
    q_echo = ipv4(GUEST, LOOP, 1, echo(2, 1, b"x" * 32))[:28]
    seeds["host_icmp"] = seed(
        rec(eth(ipv4(GUEST, LOOP, 17, udp(GUEST, LOOP, 40001, PORT, b"flow")))),
        rec(eth(ipv4(GUEST, GW, 6, tcp(GUEST, GW, 40010, PORT, 1000, 0, SYN, options=MSS)))),
        rec(eth(ipv4(GUEST, GW, 6, tcp(GUEST, GW, 40010, PORT, 1001, iss + 1, ACK)))),
        rec(eth(ipv4(GUEST, LOOP, 1, echo(2, 1, b"x" * 32)))),
        rec_host(icmp(3, 3, b"\0" * 4, q_udp)),
        rec_host(icmp(3, 4, b"\0\0\x02\x40", q_tcp)),
        rec_host(icmp(11, 0, b"\0" * 4, q_echo)),
        rec_host(icmp(12, 0, b"\x08\0\0\0", q_tcp), 0x85))

    # Guest to guest, other framings (802.2 with SNAP, raw 802.3).
    snap = b"\xaa\xaa\x03\x00\x00\x00\x08\x00" + ipv4(GUEST, GW, 1, echo(5, 5, b"snap"))
    llc = b"\x06\x06\x03" + ipv4(GUEST, GW, 1, echo(5, 6, b"llc"))
    seeds["framing"] = seed(
        rec(eth(ipv4(GUEST, GUEST2, 17, udp(GUEST, GUEST2, 1, 2, b"peer")))),
        rec(GW_MAC + GUEST_MAC + struct.pack("!H", len(snap)) + snap),
        rec(GW_MAC + GUEST_MAC + struct.pack("!H", len(llc)) + llc),
        options=1)

    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
