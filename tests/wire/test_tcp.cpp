// The TCP engine at the wire: handshakes both ways, both byte streams under
// random segmentation, loss and flow control, closing, resets.
#include <random>

#include "wire/harness.h"

namespace wire {
namespace {

// The guest's end of one connection.
struct Conn {
  uint32_t remote = kGw;
  uint16_t gport = 40000, rport = 0;
  uint32_t snd = 1000, rcv = 0;  // next sequence to send, next one expected
  uint16_t win = 65535;
  uint8_t tos = 0;
};

class TcpTest : public WireTest {
 protected:
  static Bytes Seg(const Conn &c, uint8_t flags, const Bytes &data = {}, optional<uint32_t> seq = {}) {
    Bytes mss = flags == SYN ? Bytes{2, 4, 5, 0xB4} : Bytes{};
    uint32_t ack = flags & ACK ? c.rcv : 0;
    return G({.dst = c.remote, .proto = 6, .tos = c.tos},
             Tcp(kGuest, c.remote, c.gport, c.rport, seq.value_or(c.snd), ack, flags, c.win, mss, data));
  }
  // `w` and the addresses and ports of a segment to the guest of `c`.
  static Want To(const Conn &c, Want w) {
    w.dst = kGuestMac, w.sport = c.rport, w.dport = c.gport, w.ipSrc = c.remote, w.ipDst = kGuest;
    return w;
  }
  // A server on loopback with a small receive buffer: a slow reader.
  int Listen() {
    int fd = Sock(SOCK_STREAM), small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    return listen(fd, 16), fd;
  }
  // SYN, SYN+ACK, ACK towards a server on loopback, through the gateway
  // address; returns the server's end.
  int Open(Conn &c, int lfd) {
    c.rport = Port(lfd);
    Out();
    Send(Seg(c, SYN));
    Frame sa = Next();
    EXPECT_TRUE(Check(sa, To(c, {.win = 64240, .mss = 1460, .ack = c.snd + 1, .flags = SYN | ACK})));
    c.snd++, c.rcv = sa.seq + 1;
    Send(Seg(c, ACK));  // the SYN+ACK came once the host connect was complete
    return fds_.push_back(accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK)), fds_.back();
  }
  void HostStreamThroughLoss(bool cut);
  // Opens `c` and closes it, the host first: the record is left in TIME_WAIT.
  void TimeWait(Conn &c, int lfd) {
    shutdown(Open(c, lfd), SHUT_WR);
    c.rcv = Next().seq + 1;
    Send(Seg(c, ACK)), Send(Seg(c, FIN | ACK)), c.snd++, Out();
  }
  // A client on loopback connecting to listener `acc`: the guest sees our SYN.
  Conn Client(TcpAccept *acc, int *fd) {
    Out();
    *fd = Sock(SOCK_STREAM, Port(acc->poll.fd));
    Conn c{.gport = 80, .rport = Port(*fd)};
    Frame syn = Next();
    EXPECT_TRUE(Check(syn, To(c, {.mss = 1460, .ack = 0, .flags = SYN})));
    return c.rcv = syn.seq + 1, c;
  }
};

// However the guest cuts, repeats and reorders its stream inside the offered
// window, the slow host reads exactly the stream; every ACK covers exactly
// the prefix the guest has sent, and the window's right edge never moves back.
TEST_F(TcpTest, GuestStreamInAnySegmentationReachesTheHost) {
  int lfd = Listen();
  for (uint16_t round = 0; round < 2; round++) {
    Conn c{.gport = uint16_t(41000 + round)};
    int host = Open(c, lfd);
    std::mt19937 rng(round);
    Bytes stream(300000), got;
    for (auto &b : stream) b = uint8_t(rng());
    std::vector<bool> sent(stream.size());
    size_t acked = 0, right = 64240, prefix = 0;
    const uint32_t base = c.snd;
    for (int step = 0; acked < stream.size(); step++) {
      ASSERT_LT(step, 30000) << "no progress at " << acked;
      size_t limit = std::min(right, stream.size());
      bool data = limit > acked && rng() % 256;
      if (data) {
        size_t start = acked + (rng() % 3 ? 0 : rng() % (limit - acked));
        start -= std::min(start, size_t(rng() % 4 ? 0 : rng() % 300));
        size_t len = std::min<size_t>(1 + rng() % 1460, limit - start);
        Send(Seg(c, ACK | (rng() % 2 ? PSH : 0), Sub(stream, start, len), base + uint32_t(start)));
        std::fill(sent.begin() + long(start), sent.begin() + long(start + len), true);
        while (prefix < sent.size() && sent[prefix]) prefix++;
      } else {
        got = Cat(got, Recv(host, SIZE_MAX, 3));  // the window reopens by what the host took
      }
      auto acks = Out();
      for (const Frame &f : acks) {
        ASSERT_TRUE(Check(f, To(c, {.flags = ACK, .data = Bytes{}})));
        ASSERT_GE(f.ack - base + f.win, right) << "the right edge moved back";
        acked = f.ack - base, right = acked + f.win;
      }
      ASSERT_TRUE(!data || (!acks.empty() && acked == prefix)) << "ack " << acked << ", prefix " << prefix;
    }
    Send(Seg(c, FIN | ACK, {}, base + uint32_t(stream.size())));
    bool eof = false;
    got = Cat(got, Recv(host, SIZE_MAX, 500, &eof));
    EXPECT_TRUE(eof && got == stream) << got.size() << " of " << stream.size() << " bytes";
  }
}

// The host's stream reaches a guest that advertises 8192 bytes and loses
// segments: segments of at most 1460 bytes, never more than the window in
// flight, and what is lost is sent again after 100 ms. The host's end of
// stream follows as a FIN.
// With a device that cuts TCP packets (tapOffload) segments sent back to back
// go as one packet within the window, its checksum left to the device.
void TcpTest::HostStreamThroughLoss(bool cut) {
  g_settings.devSegments = cut;
  Conn c{.win = 8192};
  int host = Open(c, Listen());
  size_t largest = 0;
  std::mt19937 rng(3);
  Bytes stream(100000), got;
  for (auto &b : stream) b = uint8_t(rng());
  size_t written = 0;
  const uint32_t base = c.rcv;
  for (int step = 0; got.size() < stream.size(); step++) {
    ASSERT_LT(step, 20000) << "no progress at " << got.size();
    ssize_t n = write(host, stream.data() + written, stream.size() - written);
    written += n > 0 ? size_t(n) : 0;
    auto out = Out();
    if (out.empty()) Advance(100);
    const size_t edge = c.rcv - base + c.win;
    for (const Frame &f : out) {
      ASSERT_TRUE(Check(f, To(c, {.ack = c.snd})));
      ASSERT_TRUE(f.data.size() <= (cut ? 8192 : 1460) && f.seq - base + f.data.size() <= edge) << "beyond the window";
      largest = std::max(largest, f.data.size());
      if (f.seq == c.rcv && rng() % 5) got = Cat(got, f.data), c.rcv += uint32_t(f.data.size());
    }
    if (!out.empty()) Send(Seg(c, ACK));
  }
  EXPECT_TRUE(got == stream);
  EXPECT_EQ(largest > 1460, cut);
  EXPECT_GT(Tcp_Retransmissions(), 0u);
  shutdown(host, SHUT_WR);
  Frame fin = Next();
  EXPECT_TRUE(Check(fin, To(c, {.seq = c.rcv, .data = Bytes{}})) && (fin.flags & FIN));
}
TEST_F(TcpTest, HostStreamReachesTheGuestThroughLossAndASmallWindow) { HostStreamThroughLoss(false); }
TEST_F(TcpTest, HostStreamInLargePacketsThroughLossAndASmallWindow) { HostStreamThroughLoss(true); }

// Either side may close first: after the host's FIN and then the guest's, the
// connection waits the time-wait period (0: released at once); after the
// guest's FIN and then the host's, it ends when the guest acknowledges.
// The host's last data goes out with its FIN.
TEST_F(TcpTest, ClosingFromEitherSide) {
  int lfd = Listen();
  for (int period : {45, 0, -1}) {  // -1: the guest closes first
    SCOPED_TRACE(period);
    g_settings.tcpTimeWaitTimeout = std::max(period, 0);
    Conn c{.gport = uint16_t(42001 + period)};
    int host = Open(c, lfd);
    auto guestFin = [&] {
      Send(Seg(c, FIN | ACK, Pattern(10)));
      c.snd += 11;
      bool eof = false;
      EXPECT_EQ(Recv(host, 100, 100, &eof), Pattern(10));
      EXPECT_TRUE(eof) << "the host socket is shut down after the guest's data";
      auto acks = Out();  // with no time-wait period the connection is gone before its ACK
      EXPECT_TRUE(period == 0 || (!acks.empty() && acks.back().ack == c.snd));
    };
    if (period < 0) guestFin();
    ASSERT_EQ(write(host, "abc", 3), 3);
    shutdown(host, SHUT_WR);
    EXPECT_TRUE(Check(Next(), To(c, {.seq = c.rcv, .ack = c.snd, .flags = FIN | PSH | ACK, .data = Bytes{'a', 'b', 'c'}})));
    c.rcv += 4;
    Send(Seg(c, ACK));
    if (period >= 0) guestFin();
    Lives(period == 45 ? 45000 : 100, Tcp_ConnCount, period == 45);
  }
}

// A guest that re-uses the port of a connection in TIME_WAIT: the old
// connection answers the new SYN with an ACK, the guest resets it and
// repeats its SYN. Read in one batch, the two open the new connection at
// once (the killed one is not met again).
TEST_F(TcpTest, PortReusedDuringTimeWaitOpensAfterTheGuestsReset) {
  int lfd = Listen();
  Conn c{.gport = 42100}, d{.gport = 42101};
  TimeWait(c, lfd);
  Conn again = c;
  again.snd = c.snd + 100000;
  Send(Seg(again, SYN));
  Frame ack = Next();
  ASSERT_TRUE(Check(ack, To(c, {.seq = c.rcv, .ack = c.snd, .flags = ACK}))) << "TIME_WAIT answers";
  for (const Bytes &f : {Seg(c, RST, {}, ack.ack), Seg(again, SYN)})
    ASSERT_EQ(send(guestFd_, f.data(), f.size(), 0), ssize_t(f.size()));
  EXPECT_TRUE(Check(Next(), To(c, {.ack = again.snd + 1, .flags = SYN | ACK})));
  // With timeWaitReuse, a SYN beyond what TIME_WAIT received opens at once;
  // one below it still draws the ACK.
  g_settings.tcpTimeWaitReuse = 1;
  TimeWait(d, Listen());  // the first listener still queues the last one
  for (uint32_t isn : {d.snd - 1, d.snd + 1}) {
    Conn e = d;
    e.snd = isn;
    Send(Seg(e, SYN));
    EXPECT_TRUE(Check(Next(), isn < d.snd ? To(d, {.ack = d.snd, .flags = ACK}) : To(d, {.ack = isn + 1, .flags = SYN | ACK})));
  }
}

// Clients of a forwarded port: one the guest never answers (our SYN is
// repeated every 100 ms and given up after 30 s), one answered with
// SYN+ACK, one by a SYN of its own (simultaneous open), and one answered
// wrongly.
TEST_F(TcpTest, ForwardedClientsReachTheGuest) {
  TcpAccept *acc = TcpAccept_Create(kGuest, htons(80), 0, 0, -1, 0);
  ASSERT_NE(acc, nullptr);
  int fd;
  Conn u = Client(acc, &fd);
  Advance(100);
  EXPECT_TRUE(Check(Next(0), To(u, {.seq = u.rcv - 1, .flags = SYN})));
  Lives(29900, Tcp_ConnCount, 1);
  while (Next(2).bad != "no frame") {}  // the repeated SYNs the device held back

  Conn c = Client(acc, &fd);
  ASSERT_EQ(write(fd, "hello", 5), 5);
  Send(Seg(c, SYN | ACK));
  c.snd++;
  EXPECT_TRUE(Check(Next(), To(c, {.seq = c.rcv, .ack = c.snd, .flags = ACK})));
  EXPECT_TRUE(Check(Next(), To(c, {.seq = c.rcv, .ack = c.snd, .data = Bytes{'h', 'e', 'l', 'l', 'o'}})));
  c.rcv += 5;
  Send(Seg(c, ACK | PSH, {'w', 'o', 'r', 'l', 'd'}));
  c.snd += 5;
  EXPECT_EQ(Recv(fd, 5), (Bytes{'w', 'o', 'r', 'l', 'd'}));

  Conn s = Client(acc, &fd);
  Send(Seg(s, SYN));
  s.snd++;
  EXPECT_TRUE(Check(Next(), To(s, {.seq = s.rcv - 1, .ack = s.snd, .flags = SYN | ACK, .off = 20})));
  Send(Seg(s, ACK));
  ASSERT_EQ(write(fd, "abc", 3), 3);
  EXPECT_TRUE(Check(Next(), To(s, {.seq = s.rcv, .ack = s.snd, .data = Bytes{'a', 'b', 'c'}})));

  Conn r = Client(acc, &fd), badAck = r, otherTos = r;
  badAck.rcv += 7, otherTos.tos = 0xA0;
  Run({
      {"RST without ACK: dropped", Seg(r, RST), {}},
      {"SYN+ACK acknowledging what was never sent", Seg(badAck, SYN | ACK), To(r, {.seq = r.rcv + 7, .flags = RST})},
      {"SYN+ACK with another precedence", Seg(otherTos, SYN | ACK), To(r, {.seq = r.rcv, .flags = RST})},
      {"RST with an acceptable ACK: the connection ends", Seg(r, RST | ACK), {}},
  });
  EXPECT_EQ(Tcp_ConnCount(), 2u);
}

// Echo to an outside host (127.0.0.2 here) leaves through the raw socket;
// the reply returns to the guest that asked for 20 s. An ICMP error about a
// host socket's packet reaches the guest as if it were about the guest's own:
// a router's error about the echo, the host stack's port unreachable about a
// relayed datagram, and a router's error about a connection's segments
// (quoting the guest's addresses, ports and sequence number).
TEST_F(TcpTest, EchoRelayedAndIcmpErrorsQuoteTheGuestsOwnPacket) {
  ASSERT_TRUE(Icmp_HaveSocket()) << "the raw ICMP socket needs root";
  const uint16_t id = uint16_t(getpid());  // parallel tests share loopback
  const uint32_t remote = A(127, 0, 0, 2);
  const Bytes req = Icmp(8, 0, id, 1, Pattern(100));
  Send(G({.dst = remote, .ttl = 5}, req));
  EXPECT_TRUE(Check(Next(), {.dst = kGuestMac, .ipSrc = remote, .ipDst = kGuest, .rest = id << 16u | 1, .type = 0,
                             .data = Pattern(100)}));
  HostIcmp(Icmp(11, 0, 0, 0, Sub(Ip({.src = kLo, .dst = remote}, req), 0, 28)));  // a router at 127.0.0.1
  EXPECT_TRUE(Check(Next(), {.ipSrc = kGw, .ipDst = kGuest, .type = 11, .data = Sub(Ip({.dst = remote}, req), 0, 28)}));
  Lives(20000, Icmp_EchoCount, 1);
  int gone = Sock(SOCK_DGRAM);
  const Bytes dgram = Udp(kGuest, kLo, 5008, Port(gone), Pattern(16));
  close(gone), fds_.pop_back();
  Send(G({.dst = kLo, .proto = 17, .id = 0x2345}, dgram));
  Frame f = Next();
  ASSERT_TRUE(Check(f, {.ipSrc = kGw, .ipDst = kGuest, .type = 3, .code = 3}));
  const Bytes want = Ip({.dst = kGw, .proto = 17, .id = 0x2345}, dgram);
  ASSERT_EQ(f.data.size(), want.size());
  EXPECT_EQ(Sum(f.data.data(), 20), 0);
  for (int i : {1, 6, 7, 8, 10, 11}) f.data[size_t(i)] = want[size_t(i)];  // the host's TOS, DF, TTL, checksum
  EXPECT_TRUE(Check(f, {.data = want}));
  g_settings.extAddr = kLo;  // host sockets are bound to it
  Conn c;
  uint16_t hostPort = Port(Open(c, Listen()), true);
  Bytes quote = Ip({.src = kLo, .dst = kLo, .proto = 6, .id = 7}, Tcp(kLo, kLo, hostPort, c.rport, 7, 0, ACK, 0, {}, {}));
  HostIcmp(Icmp(3, 4, 0, 1400, Sub(quote, 0, 28)));
  Bytes mine = Ip({.proto = 6}, Tcp(kGuest, kGw, c.gport, c.rport, 1000, 0, ACK, 0, {}, {}));
  EXPECT_TRUE(Check(Next(), {.ipSrc = kGw, .ipDst = kGuest, .type = 3, .code = 4, .data = Sub(mine, 0, 28)}));
}

TEST_F(TcpTest, SegmentsWithoutAConnectionAndARefusedConnect) {
  Conn c{.remote = A(198, 51, 100, 7), .rport = 9, .rcv = 0x12345678};
  int gone = Listen();
  Conn refused{.rport = Port(gone)};
  close(gone), fds_.pop_back();
  Run({
      {"ACK: a reset at its ack", Seg(c, ACK, Pattern(10)), To(c, {.win = 32767, .seq = 0x12345678, .flags = RST})},
      {"RST", Seg(c, RST), {}},
      {"SYN to the subnet broadcast", Seg(Conn{.remote = kBcastIp, .rport = 9}, SYN), {}},
      {"ACK to the network address", Seg(Conn{.remote = A(10, 254, 254, 0), .rport = 9}, ACK), {}},
      {"SYN to a closed host port", Seg(refused, SYN), To(refused, {.ack = refused.snd + 1, .flags = RST | ACK})},
  });
  EXPECT_EQ(Tcp_ConnCount(), 0u);
}

// The host's data followed by a reset: the RST replaces the data.
TEST_F(TcpTest, HostDataThenResetSendsTheResetAlone) {
  Conn c;
  int host = Open(c, Listen());
  linger abort{1, 0};
  ASSERT_EQ(write(host, "abc", 3), 3);
  setsockopt(host, SOL_SOCKET, SO_LINGER, &abort, sizeof abort), close(host), fds_.pop_back();
  EXPECT_TRUE(Check(Next(), To(c, {.seq = c.rcv, .flags = RST | ACK})));
}

// Out-of-order segments past tcpReorderSegments (2) are dropped without an
// ACK; nothing is kept beyond a queued FIN, nor acknowledged beyond the FIN
// that ends the stream.
TEST_F(TcpTest, OutOfOrderQueueEndsAtItsLimitAndAtTheFin) {
  Limits_Set(kLimitTcpReorderSegments, 2);
  Conn d;
  int host = Open(d, Listen());
  const uint32_t s = d.snd;
  Run({{"FIN at +5 held", Seg(d, FIN | ACK, {4}, s + 4), To(d, {.ack = s})},
       {"beyond that FIN: not kept", Seg(d, ACK, {6}, s + 6), To(d, {.ack = s})},
       {"+1 held", Seg(d, ACK, {1}, s + 1), To(d, {.ack = s})},
       {"+2: the queue is full", Seg(d, ACK, {2}, s + 2), {}},
       {"the gap before +1 filled", Seg(d, ACK, {0}, s), To(d, {.ack = s + 2})},
       {"+3: room again", Seg(d, ACK, {3}, s + 3), To(d, {.ack = s + 2})},
       {"+2 with a FIN at +3", Seg(d, FIN | ACK, {2}, s + 2), To(d, {.ack = s + 4})}});
  bool eof = false;
  EXPECT_TRUE(Recv(host, 100, 100, &eof) == Pattern(3) && eof && Limits_Count(kLimitTcpReorderSegments) == 1);
}

// Past tcpConnections (2) a guest SYN evicts the oldest TIME_WAIT record,
// else the oldest one still connecting to its host (a server whose backlog
// is full), else it is answered with a reset.
TEST_F(TcpTest, ConnectionLimitEvictsTimeWaitThenConnectingElseResets) {
  Limits_Set(kLimitTcpConnections, 2);
  int lfd = Listen(), full = Sock(SOCK_STREAM);
  listen(full, 0), Sock(SOCK_STREAM, Port(full));  // the accept queue is full
  Conn a{.gport = 1}, b{.gport = 2}, e{.gport = 4}, f{.gport = 5, .rport = Port(full)}, g{.gport = 6};
  TimeWait(a, lfd), Open(b, lfd);
  Run({{"f connects for ever", Seg(f, SYN), std::nullopt},
       {"a gone", Seg(a, ACK), To(a, {.seq = a.rcv, .flags = RST})}});
  e.rport = Port(lfd), Send(Seg(e, SYN));
  EXPECT_TRUE(Check(Next(5), To(f, {.ack = f.snd + 1, .flags = RST | ACK})) &&
              Check(Next(5), To(e, {.ack = e.snd + 1, .flags = SYN | ACK})));
  Run({{"none left to evict", Seg(g, SYN), To(g, {.ack = g.snd + 1, .flags = RST | ACK})}});
  EXPECT_EQ(Limits_Count(kLimitTcpConnections), 3u);
}

// natd's own time-outs (10 s): a connect that does not complete, an idle
// ESTABLISHED, CLOSE_WAIT and FIN_WAIT_2 are reset both ways; guest
// traffic (not a repeated SYN) starts them again.
TEST_F(TcpTest, ConnectIdleAndHalfCloseTimeouts) {
  int lfd = Listen(), full = Sock(SOCK_STREAM), err;
  listen(full, 0), Sock(SOCK_STREAM, Port(full));  // the accept queue is full
  const LimitId id[] = {kLimitTcpConnectTimeout, kLimitTcpIdleTimeout, kLimitTcpHalfCloseTimeout,
                        kLimitTcpHalfCloseTimeout};
  for (int row = 0; row < 4; row++) {
    Limits_Set(id[row], 10);
    Conn c{.gport = uint16_t(44000 + row), .rport = Port(full)};
    int host = row ? Open(c, lfd) : (Send(Seg(c, SYN)), -1);
    if (row == 2) Send(Seg(c, FIN | ACK)), c.snd++;
    if (row == 3) shutdown(host, SHUT_WR), c.rcv = Next().seq + 1, Send(Seg(c, ACK));
    Advance(5000), Send(Seg(c, ACK)), Out(), Advance(row ? 9900 : 4900);
    EXPECT_EQ(Out().size(), 0u) << row;
    Advance(200);
    socklen_t len = sizeof err;
    EXPECT_TRUE(Check(Next(0), To(c, {.flags = RST | ACK})) && Limits_Count(id[row]) == 1) << row;
    EXPECT_TRUE(row == 0 || (getsockopt(host, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err != 0)) << row;
    Limits_Set(id[row], 0);
  }
}

}  // namespace
}  // namespace wire
