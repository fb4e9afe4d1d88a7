#!/usr/bin/env python3
"""TCP peers for the end-to-end TCP tests: servers run in the outside
namespace (or in a guest behind a forward), clients in a guest namespace.

Every command exits 0 when what it checked holds and non-zero otherwise,
printing one line that says what it saw. Every command is bounded in time:
sockets carry time-outs and servers serve a fixed number of connections.

Commands (run `tcp_peer.py CMD --help` for the arguments):
  echo-server     echo each connection's bytes back until its EOF
  many            N concurrent connections to an echo server, each moving
                  its own data; holds them open until a file appears
  refused         connect must fail with "connection refused"
  reset-server    accept, read a little, then abort with an RST
  expect-reset    connect, send, and require a reset (not EOF, not data)
  half-server     half-close server (guest-first or host-first order)
  half-client     the guest side of the same two orders
  greet-server    greets each client with the peer address it sees, then
                  echoes (the guest service behind an [incomingtcp] forward)
  greet-client    reads the greeting, sends data, checks the echo
  http-server     serves a directory over HTTP
  keepalive       idle connection plus one-byte keep-alive probes injected
                  with a raw socket, as a guest that probes that way does
"""
import argparse
import hashlib
import os
import selectors
import socket
import struct
import sys
import threading
import time


def pattern(seed, size):
    """Deterministic bytes that differ per seed (so swapped streams show)."""
    out = bytearray()
    counter = 0
    while len(out) < size:
        out += hashlib.sha256(b"%d:%d" % (seed, counter)).digest()
        counter += 1
    return bytes(out[:size])


def recv_all(sock, limit=1 << 31):
    chunks = []
    total = 0
    while total < limit:
        data = sock.recv(65536)
        if not data:
            break
        chunks.append(data)
        total += len(data)
    return b"".join(chunks)


def send_chunked(sock, data, chunk=16384):
    for i in range(0, len(data), chunk):
        sock.sendall(data[i:i + chunk])


def listener(bind, port, backlog=256):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((bind, port))
    s.listen(backlog)
    return s


def serve(args, handler):
    """Accepts up to args.conns connections within args.timeout seconds,
    each handled in its own thread; writes 'listening' to args.ready."""
    srv = listener(args.bind, args.port)
    srv.settimeout(1.0)
    if args.ready:
        with open(args.ready, "w") as f:
            f.write("listening\n")
    deadline = time.time() + args.timeout
    threads = []
    served = 0
    while served < args.conns and time.time() < deadline:
        try:
            conn, peer = srv.accept()
        except socket.timeout:
            continue
        conn.settimeout(args.timeout)
        t = threading.Thread(target=handler, args=(conn, peer), daemon=True)
        t.start()
        threads.append(t)
        served += 1
    srv.close()
    for t in threads:
        t.join(max(0.1, deadline - time.time()))
    return served


def common_server_args(p, port):
    p.add_argument("--bind", default="0.0.0.0")
    p.add_argument("--port", type=int, default=port)
    p.add_argument("--conns", type=int, default=1)
    p.add_argument("--timeout", type=float, default=60)
    p.add_argument("--ready", help="file written once listening")


# ---------------------------------------------------------------- echo / many

def cmd_echo_server(args):
    def handle(conn, _peer):
        try:
            while True:
                data = conn.recv(65536)
                if not data:
                    break
                conn.sendall(data)
            conn.shutdown(socket.SHUT_WR)
            # Wait for the peer's close so that our FIN is answered.
            conn.recv(1)
        except OSError:
            pass
        conn.close()
    n = serve(args, handle)
    print("echo-server served %d" % n)
    return 0


def cmd_many(args):
    """Opens N connections at once; each sends its own pattern and reads the
    echo. When every echo is complete and equal, prints 'ready N', waits for
    args.release to exist, then half-closes each and waits for the EOFs."""
    sel = selectors.DefaultSelector()
    conns = []
    for i in range(args.n):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setblocking(False)
        s.connect_ex((args.host, args.port))
        c = {"sock": s, "out": pattern(i, args.size), "sent": 0,
             "got": bytearray(), "eof": False, "i": i}
        conns.append(c)
        sel.register(s, selectors.EVENT_READ | selectors.EVENT_WRITE, c)
    deadline = time.time() + args.timeout

    def pump(until):
        while not until() and time.time() < deadline:
            for key, ev in sel.select(timeout=0.5):
                c = key.data
                s = c["sock"]
                if ev & selectors.EVENT_WRITE and c["sent"] < len(c["out"]):
                    try:
                        c["sent"] += s.send(c["out"][c["sent"]:c["sent"] + 65536])
                    except (BlockingIOError, InterruptedError):
                        pass
                    except OSError as e:
                        c["error"] = str(e)
                        sel.unregister(s)
                        continue
                    if c["sent"] == len(c["out"]):
                        sel.modify(s, selectors.EVENT_READ, c)
                if ev & selectors.EVENT_READ:
                    try:
                        data = s.recv(65536)
                    except (BlockingIOError, InterruptedError):
                        continue
                    except OSError as e:
                        c["error"] = str(e)
                        sel.unregister(s)
                        continue
                    if data:
                        c["got"] += data
                    else:
                        c["eof"] = True
                        sel.unregister(s)

    def echoed():
        return all(len(c["got"]) >= args.size or "error" in c or c["eof"] for c in conns)

    pump(echoed)
    bad = [c for c in conns if bytes(c["got"]) != c["out"]]
    if bad:
        c = bad[0]
        print("many: %d of %d connections incomplete or corrupt; first #%d got %d of %d bytes%s"
              % (len(bad), args.n, c["i"], len(c["got"]), args.size,
                 ", error " + c["error"] if "error" in c else ""))
        return 1
    print("ready %d" % args.n, flush=True)
    while not os.path.exists(args.release) and time.time() < deadline:
        time.sleep(0.1)
    for c in conns:
        c["sock"].shutdown(socket.SHUT_WR)
    pump(lambda: all(c["eof"] or "error" in c for c in conns))
    unclosed = [c for c in conns if not c["eof"]]
    for c in conns:
        c["sock"].close()
    if unclosed:
        print("many: %d connections saw no EOF after the half-close" % len(unclosed))
        return 1
    print("ok %d" % args.n)
    return 0


# ---------------------------------------------------------- refused / reset

def cmd_refused(args):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.settimeout(args.timeout)
    t0 = time.time()
    try:
        s.connect((args.host, args.port))
    except ConnectionRefusedError:
        print("refused after %.2f s" % (time.time() - t0))
        return 0
    except socket.timeout:
        print("no answer within %.0f s (expected a reset)" % args.timeout)
        return 1
    except OSError as e:
        print("failed otherwise: %s" % e)
        return 1
    print("connected (expected a refusal)")
    return 1


def cmd_reset_server(args):
    def handle(conn, _peer):
        try:
            got = 0
            while got < args.read:
                data = conn.recv(args.read - got)
                if not data:
                    break
                got += len(data)
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except OSError:
            pass
        conn.close()
    serve(args, handle)
    return 0


def cmd_expect_reset(args):
    s = socket.create_connection((args.host, args.port), timeout=args.timeout)
    try:
        s.sendall(b"x" * args.send)
        data = s.recv(100)
    except ConnectionResetError:
        print("reset seen")
        return 0
    except socket.timeout:
        print("no reset within %.0f s" % args.timeout)
        return 1
    print("expected a reset, got %s" % ("EOF" if not data else "%d bytes" % len(data)))
    return 1


# -------------------------------------------------------------- half-close

def cmd_half_server(args):
    """guest-first: read the client's data to EOF, then send a reply that
    holds the hash of what came plus a pattern, then close.
    host-first: send a pattern, shut down writing, then read the client's
    data to EOF and write its hash to args.result."""
    result = {}

    def handle(conn, _peer):
        try:
            if args.order == "guest-first":
                data = recv_all(conn)
                reply = hashlib.sha256(data).hexdigest().encode() + b"\n"
                time.sleep(0.2)  # the data follows the guest's FIN well after it
                send_chunked(conn, reply + pattern(2, args.size))
                conn.close()
            else:
                send_chunked(conn, pattern(3, args.size))
                conn.shutdown(socket.SHUT_WR)
                data = recv_all(conn)
                result["hash"] = hashlib.sha256(data).hexdigest()
                conn.close()
        except OSError as e:
            result["error"] = str(e)
    serve(args, handle)
    if args.result:
        with open(args.result, "w") as f:
            f.write(result.get("hash", "error " + result.get("error", "none")) + "\n")
    return 0


def cmd_half_client(args):
    s = socket.create_connection((args.host, args.port), timeout=args.timeout)
    if args.order == "guest-first":
        mine = pattern(4, args.size)
        send_chunked(s, mine)
        s.shutdown(socket.SHUT_WR)
        reply = recv_all(s)
        line, _, rest = reply.partition(b"\n")
        if line.decode(errors="replace") != hashlib.sha256(mine).hexdigest():
            print("server did not get our bytes intact before our FIN (hash %r)" % line[:70])
            return 1
        if rest != pattern(2, args.size):
            print("data after our FIN: got %d bytes, want %d intact" % (len(rest), args.size))
            return 1
        print("guest-first ok: %d bytes each way, reply after our FIN" % args.size)
        return 0
    got = recv_all(s)
    if got != pattern(3, args.size):
        print("host-first: got %d bytes before EOF, want %d intact" % (len(got), args.size))
        return 1
    # The peer's FIN has arrived; our direction is still open.
    mine = pattern(5, args.size)
    time.sleep(0.2)
    send_chunked(s, mine)
    s.shutdown(socket.SHUT_WR)
    s.settimeout(args.timeout)
    tail = s.recv(1)
    s.close()
    if tail:
        print("host-first: unexpected data after EOF")
        return 1
    print("host-first sent " + hashlib.sha256(mine).hexdigest())
    return 0


# -------------------------------------------------------- forward (greeting)

def cmd_greet_server(args):
    def handle(conn, peer):
        try:
            conn.sendall(b"PEER %s:%d\n" % (peer[0].encode(), peer[1]))
            while True:
                data = conn.recv(65536)
                if not data:
                    break
                conn.sendall(data)
            conn.shutdown(socket.SHUT_WR)
            conn.recv(1)
        except OSError:
            pass
        conn.close()
        if args.peers:
            with open(args.peers, "a") as f:
                f.write("%s\n" % peer[0])
    serve(args, handle)
    return 0


def cmd_greet_client(args):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.settimeout(args.timeout)
    if args.source or args.sport:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind((args.source or "0.0.0.0", args.sport))
    s.connect((args.host, args.port))
    line = b""
    try:
        while not line.endswith(b"\n") and len(line) < 200:
            ch = s.recv(1)
            if not ch:
                break
            line += ch
    except ConnectionResetError:
        print("closed by reset before any greeting")
        return 3
    if not line.startswith(b"PEER "):
        print("closed before any greeting (got %r)" % line)
        return 3
    time.sleep(args.pause)  # lets a test look at the open connection
    mine = pattern(6, args.size)
    sender = threading.Thread(target=lambda: (send_chunked(s, mine),
                                              s.shutdown(socket.SHUT_WR)))
    sender.start()
    echo = recv_all(s)
    sender.join()
    s.close()
    seen = line[5:].decode().strip()
    if echo != mine:
        print("greeting %s but echo of %d bytes differs (want %d)" % (seen, len(echo), len(mine)))
        return 1
    print("seen as %s, %d bytes each way intact" % (seen, len(mine)))
    return 0


# ------------------------------------------------------------ web server

def cmd_http_server(args):
    """Serves files of args.dir over HTTP/1.0 for args.timeout seconds. Unlike
    `python3 -m http.server` it does not look up its own name (a reverse DNS
    query that a sandbox without a resolver would wait on)."""
    import functools
    import http.server
    import socketserver

    class Server(http.server.ThreadingHTTPServer):
        def server_bind(self):
            socketserver.TCPServer.server_bind(self)
            self.server_name = self.server_address[0]
            self.server_port = self.server_address[1]

    class Handler(http.server.SimpleHTTPRequestHandler):
        def log_message(self, *a):
            pass

    srv = Server((args.bind, args.port), functools.partial(Handler, directory=args.dir))
    threading.Timer(args.timeout, srv.shutdown).start()
    srv.serve_forever()
    return 0


# --------------------------------------------------------------- keep-alive

def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def cmd_keepalive(args):
    """Opens a connection, echoes a line, then after args.idle seconds of
    silence injects a one-byte probe (sequence one below what the stack has
    sent, acknowledgement as the stack last sent it) and prints 'probed N';
    repeats for args.probes probes; holds the connection args.hold seconds."""
    # Outgoing frames reach only packet sockets of all protocols.
    ETH_P_ALL, ETH_P_IP = 0x0003, 0x0800
    sniff = socket.socket(socket.AF_PACKET, socket.SOCK_DGRAM, socket.htons(ETH_P_ALL))
    sniff.bind((args.iface, ETH_P_ALL))
    sniff.setblocking(False)
    s = socket.create_connection((args.host, args.port), timeout=10)
    local = s.getsockname()
    s.sendall(b"hello\n")
    if s.recv(100) != b"hello\n":
        print("keepalive: echo failed")
        return 1
    my_ip = socket.inet_aton(local[0])
    peer_ip = socket.inet_aton(args.host)
    state = {"next": None, "ack": None, "win": 0}

    def drain():
        while True:
            try:
                pkt, addr = sniff.recvfrom(65536)
            except BlockingIOError:
                return
            if addr[1] != ETH_P_IP or len(pkt) < 20:
                continue
            ihl = (pkt[0] & 15) * 4
            if pkt[9] != 6 or pkt[12:16] != my_ip or pkt[16:20] != peer_ip or len(pkt) < ihl + 20:
                continue
            total = struct.unpack("!H", pkt[2:4])[0]
            tcp = pkt[ihl:total]
            sport, dport, seq, ack, off, flags, win = struct.unpack("!HHIIBBH", tcp[:16])
            if sport != local[1] or dport != args.port:
                continue
            length = len(tcp) - (off >> 4) * 4 + (1 if flags & 2 else 0) + (1 if flags & 1 else 0)
            end = (seq + length) & 0xFFFFFFFF
            if state["next"] is None or ((end - state["next"]) & 0xFFFFFFFF) < 0x80000000:
                state["next"] = end
            if flags & 0x10:
                state["ack"] = ack
                state["win"] = win

    raw = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_TCP)
    for n in range(1, args.probes + 1):
        time.sleep(args.idle)
        drain()
        if state["next"] is None or state["ack"] is None:
            print("keepalive: saw none of our own segments on %s" % args.iface)
            return 1
        seq = (state["next"] - 1) & 0xFFFFFFFF
        hdr = struct.pack("!HHIIBBHHH", local[1], args.port, seq, state["ack"],
                          5 << 4, 0x10, state["win"], 0, 0)
        payload = b"\0"
        pseudo = my_ip + peer_ip + struct.pack("!BBH", 0, 6, len(hdr) + len(payload))
        csum = checksum(pseudo + hdr + payload)
        hdr = hdr[:16] + struct.pack("!H", csum) + hdr[18:]
        raw.sendto(hdr + payload, (args.host, 0))
        print("probed %d" % n, flush=True)
    time.sleep(args.hold)
    s.sendall(b"bye\n")
    ok = s.recv(100) == b"bye\n"
    s.close()
    print("keepalive: connection %s after the probes" % ("still works" if ok else "broken"))
    return 0 if ok else 1


def main():
    ap = argparse.ArgumentParser()
    sub = ap.add_subparsers(dest="cmd", required=True)

    p = sub.add_parser("echo-server"); common_server_args(p, 7000)
    p = sub.add_parser("many")
    p.add_argument("host"); p.add_argument("port", type=int)
    p.add_argument("--n", type=int, default=200)
    p.add_argument("--size", type=int, default=65536)
    p.add_argument("--release", required=True)
    p.add_argument("--timeout", type=float, default=60)
    p = sub.add_parser("refused")
    p.add_argument("host"); p.add_argument("port", type=int)
    p.add_argument("--timeout", type=float, default=10)
    p = sub.add_parser("reset-server"); common_server_args(p, 7001)
    p.add_argument("--read", type=int, default=100)
    p = sub.add_parser("expect-reset")
    p.add_argument("host"); p.add_argument("port", type=int)
    p.add_argument("--send", type=int, default=100)
    p.add_argument("--timeout", type=float, default=10)
    p = sub.add_parser("half-server"); common_server_args(p, 7002)
    p.add_argument("--order", choices=["guest-first", "host-first"], required=True)
    p.add_argument("--size", type=int, default=200000)
    p.add_argument("--result")
    p = sub.add_parser("half-client")
    p.add_argument("host"); p.add_argument("port", type=int)
    p.add_argument("--order", choices=["guest-first", "host-first"], required=True)
    p.add_argument("--size", type=int, default=200000)
    p.add_argument("--timeout", type=float, default=20)
    p = sub.add_parser("greet-server"); common_server_args(p, 80)
    p.add_argument("--peers")
    p = sub.add_parser("greet-client")
    p.add_argument("host"); p.add_argument("port", type=int)
    p.add_argument("--source")
    p.add_argument("--sport", type=int, default=0)
    p.add_argument("--pause", type=float, default=0)
    p.add_argument("--size", type=int, default=1 << 20)
    p.add_argument("--timeout", type=float, default=20)
    p = sub.add_parser("http-server")
    p.add_argument("dir")
    p.add_argument("--bind", default="0.0.0.0")
    p.add_argument("--port", type=int, default=8000)
    p.add_argument("--timeout", type=float, default=300)
    p = sub.add_parser("keepalive")
    p.add_argument("host"); p.add_argument("port", type=int)
    p.add_argument("--iface", required=True)
    p.add_argument("--idle", type=float, default=3)
    p.add_argument("--probes", type=int, default=1)
    p.add_argument("--hold", type=float, default=5)

    args = ap.parse_args()
    handlers = {
        "echo-server": cmd_echo_server, "many": cmd_many, "refused": cmd_refused,
        "reset-server": cmd_reset_server, "expect-reset": cmd_expect_reset,
        "half-server": cmd_half_server, "half-client": cmd_half_client,
        "greet-server": cmd_greet_server, "greet-client": cmd_greet_client,
        "http-server": cmd_http_server, "keepalive": cmd_keepalive,
    }
    try:
        return handlers[args.cmd](args)
    except OSError as e:
        print("%s: %s" % (args.cmd, e))
        return 2


if __name__ == "__main__":
    sys.exit(main())
