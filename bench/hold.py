"""Idle connections and flows for the scale and memory rows of bench/run.sh.

  hold.py serve ADDR PORT     accepts TCP connections on ADDR:PORT and holds
                              them until the peer closes; drains datagrams
                              sent to UDP ADDR:PORT
  hold.py open ADDR PORT      reads commands on standard input, one a line,
                              and answers each with one line:
      tcp N    grows the set of open TCP connections to ADDR:PORT to N
               (answer: the number open)
      udp N    grows the set of UDP sockets that have each sent one datagram
               to ADDR:PORT to N (answer: the number open)
"""
import selectors
import socket
import sys
import time


def serve(addr, port):
    sel = selectors.DefaultSelector()
    lst = socket.socket()
    lst.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    lst.bind((addr, port))
    lst.listen(4096)
    lst.setblocking(False)
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.bind((addr, port))
    udp.setblocking(False)
    sel.register(lst, selectors.EVENT_READ, "accept")
    sel.register(udp, selectors.EVENT_READ, "udp")
    while True:
        for key, _ in sel.select():
            if key.data == "accept":
                try:
                    c, _ = lst.accept()
                except BlockingIOError:
                    continue
                c.setblocking(False)
                sel.register(c, selectors.EVENT_READ, "conn")
            elif key.data == "udp":
                try:
                    while True:
                        udp.recv(2048)
                except BlockingIOError:
                    pass
            else:
                try:
                    data = key.fileobj.recv(4096)
                except BlockingIOError:
                    continue
                except ConnectionError:
                    data = b""
                if data == b"":
                    sel.unregister(key.fileobj)
                    key.fileobj.close()


def open_tcp(addr, port, conns, want, batch=128, deadline=120.0):
    """Opens connections, at most `batch` connects in flight, until `want`
    are open or the deadline passes."""
    sel = selectors.DefaultSelector()
    pending = 0
    end = time.monotonic() + deadline
    while len(conns) + pending < want or pending:
        while len(conns) + pending < want and pending < batch:
            s = socket.socket()
            s.setblocking(False)
            s.connect_ex((addr, port))
            sel.register(s, selectors.EVENT_WRITE)
            pending += 1
        for key, _ in sel.select(timeout=1.0):
            s = key.fileobj
            sel.unregister(s)
            pending -= 1
            if s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) == 0:
                conns.append(s)
            else:
                s.close()
        if time.monotonic() > end:
            for key in list(sel.get_map().values()):
                sel.unregister(key.fileobj)
                key.fileobj.close()
            break
    return len(conns)


def main():
    mode, addr, port = sys.argv[1], sys.argv[2], int(sys.argv[3])
    if mode == "serve":
        serve(addr, port)
        return
    conns, flows = [], []
    for line in sys.stdin:
        words = line.split()
        if not words:
            continue
        if words[0] == "tcp":
            n = open_tcp(addr, port, conns, int(words[1]))
        elif words[0] == "udp":
            while len(flows) < int(words[1]):
                s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                s.sendto(b"x", (addr, port))
                flows.append(s)
            n = len(flows)
        else:
            n = -1
        print(n, flush=True)


if __name__ == "__main__":
    main()
