// TCP engine at the wire, guest-side state machine: sequence arithmetic,
// validation of guest segments, acceptability with open and closed windows,
// out-of-order data overlapping queued data, the SYN retransmitted while the
// host connect is in progress, resets for stray segments, and RST in every
// state a connection can be in.
#include <fcntl.h>

#include <algorithm>

#include "packet/skbuff.h"
#include "wire/test_tcp_guest.h"

namespace wire {
namespace {

TEST(TcpSeq, InWindowIsHalfOpenOnTheLeftAndWraps) {
  struct Case {
    uint32_t x, lo, hi;
    bool in;
  };
  const Case cases[] = {
      {5, 4, 10, true},           {4, 4, 10, false},
      {10, 4, 10, true},          {11, 4, 10, false},
      {7, 7, 7, true},            {8, 7, 7, false},
      {2, 0xFFFFFFF0u, 5, true},  {0xFFFFFFF0u, 0xFFFFFFF0u, 5, false},
      {0xFFFFFFFFu, 0xFFFFFFF0u, 5, true}, {6, 0xFFFFFFF0u, 5, false},
  };
  for (const Case &c : cases)
    EXPECT_EQ(Tcp_SeqInWindow(c.x, c.lo, c.hi), c.in) << c.x << " in (" << c.lo << ", " << c.hi << "]";
}

TEST(TcpSeq, TrimCutsWhatLiesOutsideTheWindow) {
  struct Case {
    uint32_t lo, hi, start, end;
    int result;
    uint32_t front, back;
  };
  const Case cases[] = {
      {100, 200, 120, 150, 0, 0, 0},    // inside
      {100, 200, 80, 150, 0, 20, 0},    // starts before
      {100, 200, 150, 260, 0, 0, 60},   // ends after
      {100, 200, 50, 300, 0, 50, 100},  // covers the window
      {100, 200, 50, 100, 1, 50, 0},    // ends at lo
      {100, 200, 200, 210, -1, 0, 10},  // starts at hi
      {100, 100, 100, 101, -1, 0, 1},   // closed window
      {0xFFFFFFF0u, 0x10, 0xFFFFFFE0u, 0x20, 0, 0x10, 0x10},  // across the wrap
  };
  for (const Case &c : cases) {
    uint32_t front = 99, back = 99;
    int r = Tcp_SeqTrim(c.lo, c.hi, c.start, c.end, &front, &back);
    EXPECT_EQ(r, c.result) << c.start << ".." << c.end;
    EXPECT_EQ(front, c.front) << c.start << ".." << c.end;
    EXPECT_EQ(back, c.back) << c.start << ".." << c.end;
  }
}

// The engine's word-at-a-time sum agrees with the reference byte-pair sum
// for every length and alignment, including sums that need end-around
// carries (all bytes 0xFF).
TEST(TcpSum, AgreesWithTheReferenceSum) {
  Bytes data(1600);
  uint32_t r = 12345;
  for (auto &b : data) {
    r = r * 1103515245u + 12345u;
    b = uint8_t(r >> 16);
  }
  Bytes ones(1600, 0xFF);
  for (const Bytes *buf : {&data, &ones}) {
    for (size_t off = 0; off < 8; off++) {
      for (size_t len : {0, 1, 2, 3, 7, 8, 9, 31, 32, 33, 63, 1459, 1460, 1500}) {
        uint32_t want = Csum_Fold(Csum_Partial(buf->data() + off, len, 0));
        EXPECT_EQ(Csum_Fold(Tcp_Sum(buf->data() + off, len)), want) << "offset " << off << " length " << len;
      }
    }
  }
}

// A guest SYN that must be ignored: no connection, no answer.
TEST_F(TcpWireTest, InvalidSegmentsAreIgnored) {
  HostServer srv;
  auto syn = [&](uint32_t src, uint32_t dst) {
    return BuildTcp(src, dst, {.sport = 40000, .dport = srv.port(), .seq = 1, .flags = tcp::kSyn}, {});
  };
  // Raw TCP bytes with a correct checksum but a broken data offset.
  auto withOffset = [&](uint8_t words, size_t len) {
    Bytes b(len, 0);
    Wire_Put16(b.data(), 40000);
    Wire_Put16(b.data() + 2, srv.port());
    if (len > 13) {
      b[12] = uint8_t(words << 4);
      b[13] = tcp::kSyn;
    }
    uint32_t sum = Csum_Pseudo(kGuestIp, kGatewayIp, kProtoTcp, uint32_t(len));
    if (len >= 18) Wire_Put16(b.data() + 16, Csum_Fold(Csum_Partial(b.data(), len, sum)));
    return b;
  };
  struct Case {
    const char *what;
    uint32_t src, dst;
    Bytes tcp;
    Mac dstMac;
  };
  Bytes bad = syn(kGuestIp, kGatewayIp);
  bad[16] ^= 0x40;
  std::vector<Case> cases = {
      {"bad checksum", kGuestIp, kGatewayIp, bad, kGatewayMac},
      {"source 0.x", Ip4("0.1.2.3"), kGatewayIp, syn(Ip4("0.1.2.3"), kGatewayIp), kGatewayMac},
      {"destination 224.x", kGuestIp, Ip4("224.1.1.1"), syn(kGuestIp, Ip4("224.1.1.1")), kGatewayMac},
      {"destination 240.x", kGuestIp, Ip4("240.1.1.1"), syn(kGuestIp, Ip4("240.1.1.1")), kGatewayMac},
      {"data offset 4", kGuestIp, kGatewayIp, withOffset(4, 20), kGatewayMac},
      {"data offset past the end", kGuestIp, kGatewayIp, withOffset(6, 20), kGatewayMac},
      {"shorter than a header", kGuestIp, kGatewayIp, withOffset(5, 18), kGatewayMac},
      {"not to the gateway MAC", kGuestIp, kGatewayIp, syn(kGuestIp, kGatewayIp), kBroadcastMac},
  };
  for (const Case &c : cases) {
    SendIp({.src = c.src, .dst = c.dst, .proto = kProtoTcp}, c.tcp, kGuestMac, c.dstMac);
    EXPECT_EQ(Tcp_ConnCount(), 0u) << c.what;
    EXPECT_EQ(srv.Accept(0).ok(), false) << c.what;
    for (const Bytes &f : Frames()) {
      IpView ip;
      if (ParseIp(f, &ip)) {
        EXPECT_NE(ip.proto, kProtoTcp) << c.what;
      }
    }
  }
  // The same SYN, intact, is taken.
  SendIp({.src = kGuestIp, .dst = kGatewayIp, .proto = kProtoTcp}, syn(kGuestIp, kGatewayIp));
  EXPECT_EQ(Tcp_ConnCount(), 1u);
  EXPECT_TRUE(WaitFrame());
}

// Acceptability of zero-length and data segments against an open and a
// closed offered window: unacceptable segments draw an ACK and change
// nothing; acceptable ones are taken.
TEST_F(TcpWireTest, AcceptabilityWithOpenAndClosedWindows) {
  HostServer srv("127.0.0.1", 16, 4096);
  GuestTcp g;
  Fd host = Open(g, srv);
  ASSERT_TRUE(host.ok());
  TcpConn *c = Conn(g);
  ASSERT_TRUE(c);
  int small = 4096;
  setsockopt(host.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);

  struct Case {
    const char *what;
    int32_t seqOff;  // from rcvNext
    uint32_t len;
    bool acceptable;
  };
  // Open window (64240 offered).
  const Case open[] = {
      {"empty at rcvNext", 0, 0, true},
      {"empty inside the window", 5000, 0, true},
      {"empty at the right edge", 64240, 0, false},
      {"empty below rcvNext", -1, 0, false},
      {"data at rcvNext", 0, 10, true},
      {"data overlapping rcvNext", -5, 10, true},
      {"data wholly old", -20, 10, false},
      {"data ending at the right edge", 64230, 10, true},
      {"data beyond the right edge", 64240, 10, false},
  };
  auto probe = [&](const Case &tc) {
    uint32_t before = c->recv.rcvNext;
    uint32_t seq = before + uint32_t(tc.seqOff);
    Frames();
    Put(g, tcp::kAckF | tcp::kPsh, Pattern(tc.len, 0x55), seq);
    auto segs = Segments(g);
    // An unacceptable segment draws an immediate ACK; an acceptable empty
    // one draws nothing; acceptable data is acknowledged by the delayed ACK.
    if (!tc.acceptable) {
      ASSERT_EQ(segs.size(), 1u) << tc.what;
      EXPECT_EQ(segs[0].flags, tcp::kAckF) << tc.what;
      EXPECT_EQ(segs[0].ack, before) << tc.what;
      EXPECT_EQ(c->recv.rcvNext, before) << tc.what;
    } else if (tc.len == 0) {
      EXPECT_TRUE(segs.empty()) << tc.what;
    } else {
      EXPECT_FALSE(segs.empty()) << tc.what;
    }
  };
  for (const Case &tc : open) {
    probe(tc);
    // Bring the guest's idea of the stream in line with what was taken.
    g.sndNxt = c->recv.rcvNext;
  }
  EXPECT_EQ(c->recv.outOfOrder.next != &c->recv.outOfOrder, true)
      << "the in-window data beyond rcvNext waits out of order";

  // Close the window: the host never reads, so once its buffers are full
  // the queued guest data closes the offered window.
  g.sndNxt = c->recv.rcvNext;
  for (int i = 0; i < 2000 && c->recv.rcvAdvertised != c->recv.rcvNext; i++)
    PutData(g, Pattern(std::min(c->recv.rcvAdvertised - c->recv.rcvNext, 1460u), uint8_t(i)));
  ASSERT_EQ(c->recv.rcvAdvertised, c->recv.rcvNext) << "window did not close";
  auto last = Segments(g);
  ASSERT_FALSE(last.empty());
  EXPECT_EQ(last.back().window, 0);
  const Case closed[] = {
      {"empty at rcvNext", 0, 0, true},
      {"empty past rcvNext", 1, 0, false},
      {"one byte at rcvNext", 0, 1, false},
      {"data at rcvNext", 0, 100, false},
  };
  for (const Case &tc : closed) probe(tc);

  // Reading on the host reopens the window; the ACK after the write says so.
  Bytes drained = HostRead(host.get(), 1 << 20, 50);
  EXPECT_GT(drained.size(), 64240u);
  bool reopened = false;
  for (int i = 0; i < 50 && !reopened; i++) {
    Poll_RunOnce(10);
    for (const TcpView &t : Segments(g)) reopened |= t.window > 0;
    HostRead(host.get(), 1 << 20, 1);
  }
  EXPECT_TRUE(reopened) << "no window update after the host drained";
}

// Out-of-order data overlapping queued data keeps the queued bytes and
// stores only the gaps; the stream reaches the host once the hole fills.
TEST_F(TcpWireTest, OutOfOrderDataKeepsQueuedBytes) {
  HostServer srv;
  GuestTcp g;
  Fd host = Open(g, srv);
  ASSERT_TRUE(host.ok());
  TcpConn *c = Conn(g);
  uint32_t base = g.sndNxt;
  // Queue [300, 400) and [600, 700) with 'Q', then send [200, 800) with 'N',
  // then [100, 250) with 'M', then the hole [0, 100) with 'H'.
  Put(g, tcp::kAckF, Bytes(100, 'Q'), base + 300);
  Put(g, tcp::kAckF, Bytes(100, 'Q'), base + 600);
  Put(g, tcp::kAckF, Bytes(600, 'N'), base + 200);
  Put(g, tcp::kAckF, Bytes(150, 'M'), base + 100);
  EXPECT_EQ(c->recv.rcvNext, base) << "nothing in order yet";
  size_t queued = 0, pieces = 0;
  for (ListLink *l = c->recv.outOfOrder.next; l != &c->recv.outOfOrder; l = l->next) {
    TcpSegment *s = List_Owner<TcpSegment>(l);
    queued += s->len;
    ++pieces;
  }
  EXPECT_EQ(queued, 700u) << "a byte is queued twice or lost";
  EXPECT_EQ(pieces, 6u);  // M[100,200) N[200,300) Q N[400,600) Q N[700,800)
  Bytes none = HostRead(host.get(), 1, 3);
  EXPECT_TRUE(none.empty());

  Put(g, tcp::kAckF | tcp::kPsh, Bytes(100, 'H'), base);
  Bytes want;
  for (int i = 0; i < 800; i++) {
    uint8_t v = i < 100 ? 'H' : i < 200 ? 'M' : (i >= 300 && i < 400) || (i >= 600 && i < 700) ? 'Q' : 'N';
    want.push_back(v);
  }
  EXPECT_EQ(HostRead(host.get(), 800), want);
  EXPECT_EQ(c->recv.rcvNext, base + 800);
  EXPECT_EQ(c->state, kTcpEstablished);
  auto acks = Segments(g);
  ASSERT_FALSE(acks.empty());
  EXPECT_EQ(acks.back().ack, base + 800);

  // A FIN queued out of order closes the stream when the hole fills.
  Put(g, tcp::kAckF | tcp::kFin, Bytes(50, 'F'), base + 850);
  Put(g, tcp::kAckF, Bytes(50, 'G'), base + 800);
  bool eof = false;
  Bytes tail = HostRead(host.get(), 101, 100, &eof);
  EXPECT_EQ(tail.size(), 100u);
  EXPECT_EQ(c->state, kTcpCloseWait);
  EXPECT_EQ(c->recv.rcvNext, base + 901);
}

// A SYN retransmitted while the host connect is still in progress matches
// the connecting record and is answered with a bare ACK carrying iss.
TEST_F(TcpWireTest, RetransmittedSynWhileConnectingDrawsAckWithIss) {
  // A listener whose accept queue is full drops further SYNs, so the
  // daemon's connect stays in progress.
  HostServer srv("127.0.0.1", 0);
  std::vector<Fd> fillers;
  for (int i = 0; i < 3; i++) {
    Fd f(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = kLoopbackIp;
    sa.sin_port = htons(srv.port());
    connect(f.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    fillers.push_back(std::move(f));
  }
  GuestTcp g{.remote = kGatewayIp, .rport = srv.port()};
  Put(g, tcp::kSyn);
  ExpectNoFrame("while the host connect is pending");
  TcpConn *c = Conn(g);
  ASSERT_NE(c, nullptr);
  ASSERT_EQ(c->state, kTcpConnecting);
  Put(g, tcp::kSyn);
  auto ack = Segments(g);
  ASSERT_EQ(ack.size(), 1u);
  EXPECT_EQ(ack[0].flags, tcp::kAckF);
  EXPECT_EQ(ack[0].seq, c->iss);
  EXPECT_EQ(ack[0].ack, g.sndNxt + 1);
  EXPECT_EQ(c->state, kTcpConnecting);
  EXPECT_EQ(Tcp_ConnCount(), 1u) << "the retransmitted SYN made a second record";
}

// Segments without a connection: an ACK draws a reset whose sequence is
// that acknowledgement; RST and bare FIN are dropped. A record answers an
// offending segment without ACK with RST+ACK for its length.
TEST_F(TcpWireTest, ResetsForStraySegments) {
  GuestTcp g{.remote = Ip4("198.51.100.7"), .gport = 40100, .rport = 9};
  g.rcvNxt = 0x12345678;
  Put(g, tcp::kAckF, Pattern(10));
  auto r = Segments(g);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].flags, tcp::kRst);
  EXPECT_EQ(r[0].seq, 0x12345678u);
  EXPECT_EQ(r[0].window, 32767);
  Put(g, tcp::kRst);
  Put(g, tcp::kFin, Pattern(3));
  EXPECT_TRUE(Segments(g).empty());
  EXPECT_EQ(Tcp_ConnCount(), 0u);

  // With a record: a different precedence in ESTABLISHED, without ACK.
  HostServer srv;
  GuestTcp e;
  Fd host = Open(e, srv);
  ASSERT_TRUE(host.ok());
  TcpConn *c = Conn(e);
  e.tos = 0xA0;
  Put(e, tcp::kPsh, Pattern(7), e.sndNxt);
  r = Segments(e);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].flags, tcp::kRst | tcp::kAckF);
  EXPECT_EQ(r[0].seq, 0u);
  EXPECT_EQ(r[0].ack, e.sndNxt + 7);
  EXPECT_EQ(c->recv.rcvNext, e.sndNxt) << "the offending data was taken";
}

// RST from the guest ends the connection in every state; the host side
// sees its socket closed.
TEST_F(TcpWireTest, GuestResetEndsEveryState) {
  struct StateCase {
    const char *name;
    int32_t state;
  };
  const StateCase cases[] = {
      {"SYN_RECEIVED", kTcpSynReceived}, {"ESTABLISHED", kTcpEstablished},
      {"CLOSE_WAIT", kTcpCloseWait},     {"FIN_WAIT_1", kTcpFinWait1},
      {"FIN_WAIT_2", kTcpFinWait2},      {"CLOSING", kTcpClosing},
      {"TIME_WAIT", kTcpTimeWait},
  };
  uint16_t gport = 44000;
  for (const StateCase &sc : cases) {
    SCOPED_TRACE(sc.name);
    HostServer srv;
    GuestTcp g{.remote = kGatewayIp, .gport = gport++, .rport = srv.port()};
    ASSERT_TRUE(Syn(g));
    Fd host = srv.Accept();
    ASSERT_TRUE(host.ok());
    if (sc.state != kTcpSynReceived) Put(g, tcp::kAckF);
    if (sc.state == kTcpCloseWait) PutData(g, {}, tcp::kFin);
    if (sc.state == kTcpFinWait1 || sc.state == kTcpFinWait2 || sc.state == kTcpClosing ||
        sc.state == kTcpTimeWait) {
      shutdown(host.get(), SHUT_WR);
      auto fin = WaitSegment(g);
      ASSERT_TRUE(fin && (fin->flags & tcp::kFin));
      if (sc.state == kTcpClosing) PutData(g, {}, tcp::kFin);  // our FIN not acknowledged
      if (sc.state == kTcpFinWait2 || sc.state == kTcpTimeWait) {
        g.rcvNxt = fin->seq + 1;
        Put(g, tcp::kAckF);
      }
      if (sc.state == kTcpTimeWait) PutData(g, {}, tcp::kFin);
    }
    Frames();
    TcpConn *c = Conn(g);
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(c->state, sc.state);
    Put(g, tcp::kRst | tcp::kAckF);
    EXPECT_EQ(Conn(g), nullptr);
    EXPECT_TRUE(Segments(g).empty()) << "a reset is never answered";
    EXPECT_TRUE(HostSeesEnd(host.get()));
  }

  // A reset outside the window is ignored.
  HostServer srv;
  GuestTcp g;
  Fd host = Open(g, srv);
  ASSERT_TRUE(host.ok());
  Put(g, tcp::kRst, {}, g.sndNxt + 100000);
  EXPECT_NE(Conn(g), nullptr);
  EXPECT_TRUE(Segments(g).empty());
}

// A guest that acknowledges what was never sent in SYN_RECEIVED gets a
// reset with that acknowledgement as its sequence.
TEST_F(TcpWireTest, BadAckInSynReceivedIsReset) {
  HostServer srv;
  GuestTcp g{.remote = kGatewayIp, .rport = srv.port()};
  ASSERT_TRUE(Syn(g));
  Fd host = srv.Accept();
  g.rcvNxt += 5000;
  Put(g, tcp::kAckF);
  auto r = Segments(g);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].flags, tcp::kRst);
  EXPECT_EQ(r[0].seq, g.rcvNxt);
  EXPECT_EQ(Conn(g)->state, kTcpSynReceived) << "the record itself stays";
}

// Random segments against a live connection: whatever the guest sends, the
// queues stay sorted, non-overlapping and inside the offered window, the
// ring never holds more than it can, and nothing leaks (checked by the
// fixture and, in the sanitizer build, by ASan).
TEST_F(TcpWireTest, RandomSegmentsKeepTheInvariants) {
  HostServer srv;
  GuestTcp g;
  Fd host = Open(g, srv);
  ASSERT_TRUE(host.ok());
  TcpConn *c = Conn(g);
  Bytes down = Pattern(20000, 4);
  ASSERT_EQ(write(host.get(), down.data(), down.size()), ssize_t(down.size()));
  uint32_t r = 2024;
  auto rnd = [&](uint32_t n) {
    r = r * 1664525u + 1013904223u;
    return (r >> 8) % n;
  };
  // FINs only in the last part, so that most segments meet an open stream.
  const uint8_t flagSets[] = {tcp::kAckF, tcp::kAckF | tcp::kPsh, tcp::kSyn, tcp::kAckF | tcp::kSyn,
                              0,          tcp::kAckF | tcp::kUrgF, tcp::kAckF | tcp::kFin, tcp::kFin};
  int i = 0;
  for (; i < 3000 && Conn(g) == c; i++) {
    uint32_t base = c->recv.rcvNext;
    uint32_t seq = base + rnd(70000) - 3000;
    g.rcvNxt = c->send.sndUna + rnd(3000) - 100;
    g.window = uint16_t(rnd(65536));
    uint32_t kinds = i < 2500 ? sizeof flagSets - 2 : sizeof flagSets;
    Put(g, flagSets[rnd(kinds)], Pattern(rnd(1461), uint8_t(i)), seq);
    if (Conn(g) != c) break;  // a FIN+ACK exchange or a reset may end it
    uint32_t prevEnd = c->recv.rcvNext;
    for (ListLink *l = c->recv.outOfOrder.next; l != &c->recv.outOfOrder; l = l->next) {
      TcpSegment *s = List_Owner<TcpSegment>(l);
      ASSERT_GT(s->len, 0u);
      ASSERT_LT(s->seq - c->recv.rcvNext, 0x80000000u) << "queued below rcvNext";
      ASSERT_LE(int32_t(prevEnd - s->seq), 0) << "overlap or disorder in the out-of-order queue";
      prevEnd = s->seq + s->len;
      ASSERT_LE(int32_t(prevEnd - c->recv.rcvAdvertised), 0) << "queued beyond the window";
    }
    ASSERT_LT(c->send.count, c->send.capacity + 1);
    ASSERT_LE(c->send.sndNext - c->send.sndUna, c->send.count);
    if (i % 50 == 0) HostRead(host.get(), 1 << 20, 1);
    Frames();
  }
  EXPECT_GE(i, 2500) << "the connection ended before the FINs were let in";
}

}  // namespace
}  // namespace wire
