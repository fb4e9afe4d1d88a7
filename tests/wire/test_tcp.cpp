// TCP engine at the wire, data path: handshakes relayed to loopback servers,
// data in both directions with flow control bound to the guest's window,
// retransmission and the idle release on the simulated clock, closing in
// both directions with TIME_WAIT, host resets and refusals, keep-alive
// mirroring, ICMP errors, privileged ports and the table dump.
#include <fcntl.h>

#include <algorithm>

#include "nat/icmp.h"
#include "packet/arp.h"
#include "packet/dev.h"
#include "packet/skbuff.h"
#include "wire/test_tcp_guest.h"

namespace wire {
namespace {

WIRE_TEARDOWN(Tcp_Reset);

/// Writes as much of `data` from `*off` as the non-blocking socket takes.
void HostWrite(int fd, const Bytes &data, size_t *off) {
  while (*off < data.size()) {
    ssize_t r = write(fd, data.data() + *off, data.size() - *off);
    if (r <= 0) return;
    *off += size_t(r);
  }
}

uint16_t PeerPort(int fd) {
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &len);
  return ntohs(peer.sin_port);
}

/// Hands Tcp_IcmpError an ICMP 3/4 from `outerSrc` to `outerDst` whose
/// 28-byte quote `fill` writes.
template <typename Fill>
void InjectIcmpError(uint32_t outerSrc, uint32_t outerDst, Fill fill) {
  SkBuff *skb = SkBuff_Alloc(256);
  ASSERT_NE(skb, nullptr);
  SkBuff_Reserve(skb, 128);
  uint8_t *outer = SkBuff_Put(skb, 20);
  memset(outer, 0, 20);
  outer[0] = 0x45;
  outer[9] = kProtoIcmp;
  Wire_Put32n(outer + 12, outerSrc);
  Wire_Put32n(outer + 16, outerDst);
  skb->networkHdr = outer;
  SkBuff_Pull(skb, 20);
  uint8_t *icmp = SkBuff_Put(skb, 8 + 28);
  memset(icmp, 0, 36);
  icmp[0] = 3;
  icmp[1] = 4;
  uint8_t *q = icmp + 8;
  q[0] = 0x45;
  fill(q);
  Tcp_IcmpError(skb, q, q + 20, q + 22, q + 24);
  SkBuff_Free(skb);
}

int SockOpt(int fd, int level, int name) {
  int v = -1;
  socklen_t len = sizeof v;
  getsockopt(fd, level, name, &v, &len);
  return v;
}

TEST_F(TcpWireTest, HandshakeToGatewayReachesLoopbackAndIsListed) {
  HostServer srv;
  GuestTcp g{.remote = kGatewayIp, .gport = 40001, .rport = srv.port()};
  Put(g, tcp::kSyn, {}, std::nullopt, TcpMssOption(1460));
  g.sndNxt += 1;
  TcpConn *c = Conn(g);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->state, kTcpConnecting);
  EXPECT_EQ(c->localAddr, kLoopbackIp);
  char want[160];
  snprintf(want, sizeof want, "251-fd %d, from 10.254.254.10/40001 to 10.254.254.1/%u state 4099\r\n",
           c->poll.fd, srv.port());
  EXPECT_NE(Dump(Tcp_DumpTable).find(want), std::string::npos) << Dump(Tcp_DumpTable);

  auto sa = WaitSegment(g);
  ASSERT_TRUE(sa);
  EXPECT_EQ(sa->flags, tcp::kSyn | tcp::kAckF);
  EXPECT_EQ(sa->ack, g.sndNxt);
  EXPECT_EQ(sa->seq, c->iss);
  EXPECT_EQ(sa->Mss(), 1460);
  EXPECT_EQ(sa->hdrLen, 24);
  EXPECT_EQ(sa->window, 64240);
  EXPECT_EQ(c->state, kTcpSynReceived);
  g.rcvNxt = sa->seq + 1;

  Fd host = srv.Accept();
  ASSERT_TRUE(host.ok());
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  getpeername(host.get(), reinterpret_cast<sockaddr *>(&peer), &len);
  EXPECT_EQ(peer.sin_addr.s_addr, kLoopbackIp);
  EXPECT_EQ(peer.sin_port, c->localPort);

  Put(g, tcp::kAckF);
  EXPECT_EQ(c->state, kTcpEstablished);
  std::string d = Dump(Tcp_DumpTable);
  EXPECT_EQ(d.rfind("250-TCP NAT table\r\n", 0), 0u);
  EXPECT_NE(d.find("state 1\r\n"), std::string::npos);
  EXPECT_NE(d.find("252-TCP segments sent to qlink: 1\r\n"), std::string::npos) << d;
  EXPECT_NE(d.find("253-TCP retransmissions: 0\r\n259-1 entries\r\n"), std::string::npos) << d;
}

TEST_F(TcpWireTest, DataFlowsBothWaysInFullSegments) {
  HostServer srv;
  GuestTcp g;
  Fd host = Open(g, srv);
  ASSERT_TRUE(host.ok());

  Bytes up = Pattern(3000, 7);
  PutData(g, Bytes(up.begin(), up.begin() + 1460));
  PutData(g, Bytes(up.begin() + 1460, up.end()));
  auto acks = Segments(g);
  ASSERT_FALSE(acks.empty());
  EXPECT_EQ(acks.back().ack, g.sndNxt);
  EXPECT_EQ(acks.back().flags, tcp::kAckF);
  EXPECT_EQ(HostRead(host.get(), up.size()), up);

  Bytes down = Pattern(5000, 99);
  ASSERT_EQ(write(host.get(), down.data(), down.size()), ssize_t(down.size()));
  Bytes got;
  std::vector<TcpView> segs;
  for (int i = 0; i < 50 && got.size() < down.size(); i++) {
    auto t = WaitSegment(g, 20);
    if (!t) continue;
    segs.push_back(*t);
    EXPECT_EQ(t->seq, g.rcvNxt);
    got.insert(got.end(), t->payload.begin(), t->payload.end());
    g.rcvNxt += uint32_t(t->payload.size());
  }
  EXPECT_EQ(got, down);
  ASSERT_FALSE(segs.empty());
  for (const TcpView &t : segs) {
    EXPECT_LE(t.payload.size(), 1460u);
    EXPECT_TRUE(t.flags & tcp::kAckF);
    EXPECT_EQ(t.ack, g.sndNxt);
  }
  // Whatever the host's read chunks were, a segment that is not the last of
  // its burst carries exactly one MSS and no PSH.
  for (size_t i = 0; i < segs.size(); i++) {
    bool psh = segs[i].flags & tcp::kPsh;
    EXPECT_TRUE(psh || segs[i].payload.size() == 1460u) << "segment " << i;
  }
  EXPECT_TRUE(segs.back().flags & tcp::kPsh);
}

// 100 000 bytes to a guest advertising 8192: the daemon reads 8192, sends
// them as five full segments and one of 892 with PSH, and reads again only
// when an acknowledgement makes room in the window.
TEST_F(TcpWireTest, ReadingIsBoundByTheGuestWindow) {
  HostServer srv;
  GuestTcp g{.window = 8192};
  Fd host = Open(g, srv);
  ASSERT_TRUE(host.ok());
  TcpConn *c = Conn(g);
  ASSERT_NE(c, nullptr);

  Bytes down = Pattern(100000, 3);
  size_t off = 0;
  HostWrite(host.get(), down, &off);
  ASSERT_GE(off, 8192u);
  // Wait for the first burst: the read must have filled the window.
  std::vector<TcpView> burst;
  for (int i = 0; i < 100 && c->send.count < 8192; i++) Poll_RunOnce(10);
  burst = Segments(g);
  ASSERT_EQ(burst.size(), 6u);
  for (int i = 0; i < 6; i++) {
    EXPECT_EQ(burst[i].payload.size(), i < 5 ? 1460u : 892u) << i;
    EXPECT_EQ(bool(burst[i].flags & tcp::kPsh), i == 5) << i;
    EXPECT_EQ(burst[i].seq, g.rcvNxt + 1460u * i);
  }
  EXPECT_FALSE(Poll_GetEvents(&c->poll) & POLLIN) << "reading goes on with the window used up";
  ExpectNoFrame("while the window is full");

  // One segment acknowledged: room for exactly 1460 more.
  Bytes got;
  for (const TcpView &t : burst) got.insert(got.end(), t.payload.begin(), t.payload.end());
  g.rcvNxt += 1460;
  Put(g, tcp::kAckF);
  auto next = WaitSegment(g, 50);
  ASSERT_TRUE(next);
  EXPECT_EQ(next->seq, g.rcvNxt + 8192 - 1460);
  EXPECT_EQ(next->payload.size(), 1460u);
  EXPECT_TRUE(next->flags & tcp::kPsh);
  got.insert(got.end(), next->payload.begin(), next->payload.end());
  uint32_t sent = g.rcvNxt + 8192;  // next sequence the daemon will send

  // The rest, acknowledging everything received each time.
  for (int i = 0; i < 2000 && got.size() < down.size(); i++) {
    HostWrite(host.get(), down, &off);
    for (const TcpView &t : Segments(g)) {
      EXPECT_EQ(t.seq, sent);
      sent += uint32_t(t.payload.size());
      got.insert(got.end(), t.payload.begin(), t.payload.end());
      EXPECT_LE(sent - g.rcvNxt, 8192u) << "more in flight than the window";
    }
    g.rcvNxt = sent;
    Put(g, tcp::kAckF);
    Poll_RunOnce(5);
  }
  EXPECT_EQ(got.size(), down.size());
  EXPECT_TRUE(got == down) << "stream corrupted";
  EXPECT_EQ(Tcp_Retransmissions(), 0u);
}

// A guest that stops acknowledging gets the data again every 100 ms and no
// reset; the connection goes 30 s after the last read from the host.
TEST_F(TcpWireTest, UnacknowledgedDataIsResentUntilTheIdleRelease) {
  HostServer srv;
  GuestTcp g;
  Fd host = Open(g, srv);
  ASSERT_TRUE(host.ok());
  Bytes down = Pattern(2000, 1);
  ASSERT_EQ(write(host.get(), down.data(), down.size()), ssize_t(down.size()));
  std::vector<TcpView> first;
  for (int i = 0; i < 100 && first.size() < 2; i++) {
    Poll_RunOnce(10);
    for (auto &t : Segments(g)) first.push_back(t);
  }
  ASSERT_EQ(first.size(), 2u);
  uint32_t base = first[0].seq;

  for (int round = 1; round <= 3; round++) {
    Advance(100);
    auto again = Segments(g);
    ASSERT_EQ(again.size(), 2u) << "round " << round;
    EXPECT_EQ(again[0].seq, base);
    EXPECT_EQ(again[0].payload, first[0].payload);
    EXPECT_EQ(again[1].payload, first[1].payload);
    EXPECT_EQ(Tcp_Retransmissions(), uint32_t(round));
  }
  Advance(29000);
  EXPECT_NE(Conn(g), nullptr) << "released before 30 s";
  size_t resets = 0;
  Advance(1000);
  for (const TcpView &t : Segments(g)) resets += (t.flags & tcp::kRst) != 0;
  EXPECT_EQ(Conn(g), nullptr) << "still there 30 s after the last read";
  EXPECT_EQ(resets, 0u);
  EXPECT_TRUE(HostSeesEnd(host.get()));
}

// Host end of stream with an empty ring: a FIN alone at once; then the
// guest's half of the stream still flows until its own FIN.
TEST_F(TcpWireTest, HostCloseFirstThenGuestDataThenTimeWait) {
  struct Case {
    int period;
    bool guestFinBeforeAck;  // FIN_WAIT_1 -> CLOSING -> TIME_WAIT
  };
  for (Case tc : {Case{45, false}, Case{45, true}, Case{0, false}}) {
    SCOPED_TRACE(testing::Message() << "period " << tc.period << " closing " << tc.guestFinBeforeAck);
    g_settings.tcpTimeWaitTimeout = tc.period;
    HostServer srv;
    GuestTcp g{.gport = uint16_t(41000 + tc.period + tc.guestFinBeforeAck)};
    Fd host = Open(g, srv);
    ASSERT_TRUE(host.ok());
    TcpConn *c = Conn(g);
    ASSERT_TRUE(c);
    uint32_t sndNext = c->send.sndNext;
    shutdown(host.get(), SHUT_WR);
    auto fin = WaitSegment(g);
    ASSERT_TRUE(fin);
    EXPECT_EQ(fin->flags & (tcp::kFin | tcp::kAckF), tcp::kFin | tcp::kAckF);
    EXPECT_TRUE(fin->payload.empty());
    EXPECT_EQ(fin->seq, sndNext);
    EXPECT_EQ(c->state, kTcpFinWait1);

    if (tc.guestFinBeforeAck) {
      PutData(g, Pattern(100), tcp::kFin);  // acknowledges nothing of our FIN
      EXPECT_EQ(c->state, kTcpClosing);
      g.rcvNxt = fin->seq + 1;
      Put(g, tcp::kAckF);
    } else {
      g.rcvNxt = fin->seq + 1;
      Put(g, tcp::kAckF);
      EXPECT_EQ(c->state, kTcpFinWait2);
      PutData(g, Pattern(100));
      PutData(g, {}, tcp::kFin);
    }
    bool eof = false;
    EXPECT_EQ(HostRead(host.get(), 200, 100, &eof), Pattern(100));
    EXPECT_TRUE(eof || HostSeesEnd(host.get()));
    if (tc.period == 0) {
      EXPECT_EQ(Conn(g), nullptr) << "period 0 releases at the next timer run";
      Frames();
      continue;
    }
    ASSERT_EQ(Conn(g), c);
    EXPECT_EQ(c->state, kTcpTimeWait);
    Advance(44900);
    EXPECT_EQ(Conn(g), c);
    Advance(200);
    EXPECT_EQ(Conn(g), nullptr);
    Frames();
  }
}

// Guest FIN with data: written, then shutdown; CLOSE_WAIT until the host's
// end of stream is acknowledged.
TEST_F(TcpWireTest, GuestCloseFirstThenHostDataThenLastAck) {
  HostServer srv;
  GuestTcp g;
  Fd host = Open(g, srv);
  ASSERT_TRUE(host.ok());
  TcpConn *c = Conn(g);
  PutData(g, Pattern(500, 5), tcp::kFin);
  bool eof = false;
  EXPECT_EQ(HostRead(host.get(), 501, 100, &eof), Pattern(500, 5));
  EXPECT_TRUE(eof || HostSeesEnd(host.get()));
  EXPECT_EQ(c->state, kTcpCloseWait);
  auto ack = Segments(g);
  ASSERT_FALSE(ack.empty());
  EXPECT_EQ(ack.back().ack, g.sndNxt) << "the FIN is acknowledged";

  Bytes down = Pattern(700, 9);
  ASSERT_EQ(write(host.get(), down.data(), down.size()), 700);
  auto t = WaitSegment(g);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->payload, down);
  g.rcvNxt += 700;
  Put(g, tcp::kAckF);
  shutdown(host.get(), SHUT_WR);
  auto fin = WaitSegment(g);
  ASSERT_TRUE(fin);
  EXPECT_TRUE(fin->flags & tcp::kFin);
  EXPECT_EQ(fin->seq, g.rcvNxt);
  EXPECT_EQ(c->state, kTcpCloseWait);
  g.rcvNxt += 1;
  Put(g, tcp::kAckF);
  EXPECT_EQ(Conn(g), nullptr);
}

// A host reset, and a host connect that is refused, reach the guest as
// RST+ACK from our next sequence acknowledging all it sent; the record goes.
TEST_F(TcpWireTest, HostResetAndRefusedConnectResetTheGuest) {
  auto expectReset = [&](const GuestTcp &g, uint32_t seq) {
    auto rst = WaitSegment(g);
    ASSERT_TRUE(rst);
    EXPECT_EQ(rst->flags, tcp::kRst | tcp::kAckF);
    EXPECT_EQ(rst->seq, seq);
    EXPECT_EQ(rst->ack, g.sndNxt);
    EXPECT_EQ(Conn(g), nullptr);
  };
  uint16_t closedPort;
  {
    HostServer srv;
    closedPort = srv.port();
    GuestTcp g;
    Fd host = Open(g, srv);
    ASSERT_TRUE(host.ok());
    uint32_t seq = Conn(g)->send.sndNext;
    PutData(g, Pattern(10));  // unread by the host: its close then resets
    Frames();
    linger lg{1, 0};
    setsockopt(host.get(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    host.Reset();
    SCOPED_TRACE("host reset");
    expectReset(g, seq);
  }
  // Refused: the SYN is answered with a reset instead of SYN+ACK.
  GuestTcp g{.remote = kGatewayIp, .gport = 40002, .rport = closedPort};
  Put(g, tcp::kSyn);
  g.sndNxt += 1;
  TcpConn *c = Conn(g);
  ASSERT_NE(c, nullptr);
  SCOPED_TRACE("refused connect");
  expectReset(g, c->iss);
}

// Guest bytes are written to the host in the loop pass that reads them,
// PSH or not, without the clock moving; the delayed ACK of that pass
// offers the whole window again, since the write reopened it.
TEST_F(TcpWireTest, GuestBytesWithoutPushReachTheHostInTheSamePass) {
  HostServer srv;
  GuestTcp g;
  Fd host = Open(g, srv);
  ASSERT_TRUE(host.ok());
  TcpConn *c = Conn(g);
  ASSERT_NE(c, nullptr);
  Frames();
  for (uint8_t extra : {uint8_t(0), tcp::kPsh, uint8_t(0)}) {
    SCOPED_TRACE(testing::Message() << "flags 0x" << std::hex << int(tcp::kAckF | extra));
    Bytes up = Pattern(1000, uint8_t(g.sndNxt));
    PutData(g, up, extra);  // exactly one pass
    EXPECT_EQ(c->toHostBytes, 0u) << "bytes left waiting after the pass";
    EXPECT_EQ(ReadWithoutPass(host.get(), up.size()), up);
    auto acks = Segments(g);
    ASSERT_EQ(acks.size(), 1u) << "one ACK for the segment";
    EXPECT_EQ(acks[0].flags, tcp::kAckF);
    EXPECT_EQ(acks[0].ack, g.sndNxt);
    EXPECT_EQ(acks[0].window, 64240) << "the ACK offers the window the write reopened";
  }
}

// Segments that a guest sends before the daemon's next pass are read in one
// batch and written to the host in order, in one gathering write per batch,
// up to a whole window, a FIN included. The batch draws a single ACK for
// everything, which offers the whole window again. The test turns Nagle
// off on the daemon's host socket, so that each write leaves as one
// segment of its own and the kernel's count of data segments counts
// the writes; that holds for writes below half the peer's window, so the
// whole window (44 segments) is checked for order and ACK only.
TEST_F(TcpWireTest, OneBatchOfGuestSegmentsGoesOutInOrderInFewWrites) {
  struct Case {
    int segments;
    bool fin;
    int64_t writes;  // -1: not counted
  };
  const Case cases[] = {{1, false, 1}, {10, false, 1}, {20, false, 1}, {5, true, 1}, {44, false, -1}};
  HostServer srv;
  std::vector<Fd> hosts;  // kept open, so earlier connections stay quiet
  uint16_t gport = 42000;
  for (const Case &tc : cases) {
    SCOPED_TRACE(testing::Message() << tc.segments << " segments" << (tc.fin ? " and FIN" : ""));
    GuestTcp g{.gport = gport++};
    hosts.push_back(Open(g, srv));
    Fd &host = hosts.back();
    ASSERT_TRUE(host.ok());
    TcpConn *c = Conn(g);
    ASSERT_NE(c, nullptr);
    int one = 1;
    ASSERT_EQ(setsockopt(c->poll.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one), 0);
    int64_t before = TcpDataSegmentsOut(c->poll.fd);
    ASSERT_GE(before, 0) << "no data segment count from the kernel";
    Frames();

    Bytes up = Pattern(size_t(tc.segments) * 1460, uint8_t(tc.segments));
    for (int i = 0; i < tc.segments; i++) {
      uint8_t flags = tcp::kAckF;
      if (tc.fin && i == tc.segments - 1) flags |= tcp::kFin;
      Queue(g, flags, Bytes(up.begin() + 1460 * i, up.begin() + 1460 * (i + 1)),
            g.sndNxt + 1460u * uint32_t(i));
    }
    g.sndNxt += uint32_t(up.size()) + (tc.fin ? 1 : 0);
    Step();
    EXPECT_EQ(c->toHostBytes, 0u);
    EXPECT_EQ(ReadWithoutPass(host.get(), up.size()), up);
    if (tc.writes >= 0) {
      EXPECT_EQ(TcpDataSegmentsOut(c->poll.fd) - before, tc.writes) << "host writes";
    }
    auto acks = Segments(g);
    ASSERT_EQ(acks.size(), 1u) << "one ACK for the batch";
    EXPECT_EQ(acks[0].ack, g.sndNxt);
    if (tc.fin) {
      EXPECT_EQ(c->state, kTcpCloseWait);
      EXPECT_TRUE(HostSeesEnd(host.get()));
    } else {
      EXPECT_EQ(acks[0].window, 64240);
    }
  }
}

// Segments handed to the input path outside a device batch wait for the
// next Tcp_FlushPending; a connection that ends meanwhile leaves the
// pending list when it is released (a stale entry would be a use after
// free in the flush).
TEST_F(TcpWireTest, ConnectionReleasedWhileItsBytesWaitLeavesThePendingList) {
  HostServer srv;
  GuestTcp a{.gport = 40100};
  GuestTcp b{.gport = 40101};
  Fd hostA = Open(a, srv);
  Fd hostB = Open(b, srv);
  ASSERT_TRUE(hostA.ok() && hostB.ok());
  TcpConn *cb = Conn(b);
  ASSERT_NE(cb, nullptr);
  Frames();
  auto input = [](const Bytes &frame) { Dev_InputFrame(frame.data(), frame.size()); };
  Bytes bytesB = Pattern(700, 2);
  input(SegmentFrame(a, tcp::kAckF, Pattern(500, 1), a.sndNxt));
  a.sndNxt += 500;
  input(SegmentFrame(b, tcp::kAckF, bytesB, b.sndNxt));
  EXPECT_EQ(cb->toHostBytes, 700u) << "written before the batch ended";
  input(SegmentFrame(a, tcp::kRst, {}, a.sndNxt));
  Step();  // releases a; no frame is read, so nothing is flushed
  EXPECT_EQ(Conn(a), nullptr);
  ASSERT_EQ(Conn(b), cb);
  EXPECT_EQ(cb->toHostBytes, 700u);
  Tcp_FlushPending();
  EXPECT_EQ(cb->toHostBytes, 0u);
  EXPECT_EQ(ReadWithoutPass(hostB.get(), bytesB.size()), bytesB);
  Frames();
}

TEST_F(TcpWireTest, DisablePushLeavesPshOff) {
  g_settings.tcpDisablePush = 1;
  HostServer srv;
  GuestTcp g;
  Fd host = Open(g, srv);
  ASSERT_TRUE(host.ok());
  Bytes down = Pattern(3000);
  ASSERT_EQ(write(host.get(), down.data(), down.size()), 3000);
  size_t got = 0;
  for (int i = 0; i < 100 && got < down.size(); i++) {
    Poll_RunOnce(10);
    for (const TcpView &t : Segments(g)) {
      got += t.payload.size();
      EXPECT_FALSE(t.flags & tcp::kPsh);
    }
  }
  EXPECT_EQ(got, down.size());
}

// Keep-alive probes of the guest set the host socket's keep-alive timing:
// the first probe's idle time, then the interval between probes.
TEST_F(TcpWireTest, KeepaliveProbesAreMirroredOnTheHostSocket) {
  HostServer srv;
  GuestTcp g;
  Fd host = Open(g, srv);
  ASSERT_TRUE(host.ok());
  TcpConn *c = Conn(g);
  int fd = c->poll.fd;
  EXPECT_EQ(SockOpt(fd, SOL_SOCKET, SO_KEEPALIVE), 0);

  Advance(7200 * 1000);
  ASSERT_NE(Arp_Learn(kGuestIp, kGuestMac.data()), nullptr);  // the entry aged meanwhile
  Frames();
  Put(g, tcp::kAckF, Bytes{0}, g.sndNxt - 1);
  auto ack = WaitSegment(g, 5);
  ASSERT_TRUE(ack) << "a probe is answered";
  EXPECT_EQ(ack->flags, tcp::kAckF);
  EXPECT_EQ(ack->ack, g.sndNxt);
  EXPECT_EQ(SockOpt(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_EQ(SockOpt(fd, IPPROTO_TCP, TCP_KEEPIDLE), 7200);
  EXPECT_EQ(c->kaState, 1u);

  Advance(75 * 1000);
  Put(g, tcp::kAckF, Bytes{0}, g.sndNxt - 1);
  EXPECT_EQ(SockOpt(fd, IPPROTO_TCP, TCP_KEEPINTVL), 75);
  EXPECT_EQ(c->kaState, 2u);
  Frames();

  // Activity stops the mirroring; the next probe sets the idle time anew.
  PutData(g, Pattern(5));
  EXPECT_EQ(c->kaState, 3u);
  Advance(600 * 1000);
  ASSERT_NE(Arp_Learn(kGuestIp, kGuestMac.data()), nullptr);
  Put(g, tcp::kAckF, Bytes{0}, g.sndNxt - 1);
  EXPECT_EQ(SockOpt(fd, IPPROTO_TCP, TCP_KEEPIDLE), 600);
  EXPECT_EQ(c->kaState, 1u);
  Frames();
}

// An ICMP error quoting the host socket's segment reaches the guest as if
// its own segment had caused it.
TEST_F(TcpWireTest, IcmpErrorIsTranslatedForTheGuest) {
  HostServer srv;
  GuestTcp g;
  Fd host = Open(g, srv);
  ASSERT_TRUE(host.ok());
  TcpConn *c = Conn(g);

  // From 127.0.0.1, quoting the host socket's segment.
  InjectIcmpError(kLoopbackIp, c->localAddr, [&](uint8_t *q) {
    q[9] = kProtoTcp;
    Wire_Put16(q + 4, 0x7777);
    Wire_Put32n(q + 12, c->localAddr);
    Wire_Put32n(q + 16, kLoopbackIp);
    Wire_Put16n(q + 20, c->localPort);
    Wire_Put16(q + 22, srv.port());
    Wire_Put32(q + 24, 0xDEADBEEF);
  });
  auto f = NextFrame();
  ASSERT_TRUE(f);
  IpView ip;
  ASSERT_TRUE(ParseIp(*f, &ip));
  EXPECT_EQ(ip.src, kGatewayIp);
  EXPECT_EQ(ip.dst, kGuestIp);
  IcmpView m;
  ASSERT_TRUE(ParseIcmp(ip, &m));
  EXPECT_EQ(m.type, 3);
  EXPECT_EQ(m.code, 4);
  ASSERT_GE(m.payload.size(), 28u);
  const uint8_t *qq = m.payload.data();
  EXPECT_EQ(Wire_Get32n(qq + 12), kGuestIp);
  EXPECT_EQ(Wire_Get32n(qq + 16), kGatewayIp);
  EXPECT_EQ(Wire_Get16(qq + 4), 0x4242) << "the guest SYN's identification";
  EXPECT_EQ(Csum_Compute(qq, 20), 0) << "quoted header checksum";
  EXPECT_EQ(Wire_Get16(qq + 20), g.gport);
  EXPECT_EQ(Wire_Get16(qq + 22), g.rport);
  EXPECT_EQ(Wire_Get32(qq + 24), 1000u) << "the guest SYN's sequence number";

  // No connection for the quoted ports: nothing is sent.
  InjectIcmpError(Wire_Get32n(&ip.header[12]), Wire_Get32n(&ip.header[16]),
                  [](uint8_t *q) { Wire_Put16(q + 20, 1); });
  EXPECT_FALSE(NextFrame());
}

// Destination port in the privileged list, or autodetect with a guest port
// below 1024: the host socket is bound to 1023, 1022, ... in turn.
TEST_F(TcpWireTest, PrivilegedSourcePortsCountDown) {
  ASSERT_EQ(geteuid(), 0u) << "binding ports below 1024 needs root";
  HostServer srv;
  g_settings.privTcpPorts[0] = 514;
  g_settings.privTcpPorts[1] = srv.port();
  g_settings.privTcpCount = 2;
  std::vector<uint16_t> seen;
  std::vector<Fd> hosts;  // kept open: a close would send FINs meanwhile
  for (uint16_t i = 0; i < 2; i++) {
    GuestTcp g{.gport = uint16_t(42000 + i)};
    Fd host = Open(g, srv);
    ASSERT_TRUE(host.ok());
    seen.push_back(PeerPort(host.get()));
    hosts.push_back(std::move(host));
  }
  EXPECT_EQ(seen, (std::vector<uint16_t>{1023, 1022}));

  g_settings.privTcpCount = 1;  // only 514: the server's port is ordinary now
  g_settings.privTcpAutodetect = true;
  for (uint16_t gport : {uint16_t(1000), uint16_t(43000)}) {
    GuestTcp g{.gport = gport};
    Fd host = Open(g, srv);
    ASSERT_TRUE(host.ok());
    uint16_t port = PeerPort(host.get());
    hosts.push_back(std::move(host));
    if (gport < 1024)
      EXPECT_EQ(port, 1021);
    else
      EXPECT_GE(port, 1024);
  }
  Frames();
}

}  // namespace
}  // namespace wire
