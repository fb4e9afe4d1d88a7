// Incoming TCP forwarding at the wire: listeners relaying host clients to a
// guest service, the accept rules (allowed address, connection limit), the
// SYN_SENT side of the state machine (our SYN, the guest's answers,
// simultaneous open, resets, a guest that never answers) and the accept
// table dump.
#include <fcntl.h>

#include "wire/test_tcp_guest.h"

namespace wire {
namespace {

uint16_t LocalPort(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
  return ntohs(sa.sin_port);
}

/// A client on the host connecting from `from` to 127.0.0.1:port.
Fd Client(uint16_t port, const char *from = "127.0.0.1") {
  Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = Ip4(from);
  bind(fd.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa);
  sa.sin_addr.s_addr = Ip4("127.0.0.1");
  sa.sin_port = htons(port);
  connect(fd.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa);
  return fd;
}

class TcpAcceptTest : public TcpWireTest {
 protected:
  /// A client connects to the listener; the guest receives our SYN. The
  /// returned guest endpoint has rcvNext set past our SYN.
  ::testing::AssertionResult Incoming(TcpAccept *acc, Fd *client, GuestTcp *g, TcpView *syn,
                                      const char *from = "127.0.0.1") {
    *client = Client(LocalPort(acc->poll.fd), from);
    g->remote = Ip4(from) == kLoopbackIp ? kGatewayIp : Ip4(from);
    g->rport = LocalPort(client->get());
    g->gport = ntohs(acc->guestPort);
    auto t = WaitSegment(*g);
    if (!t) return ::testing::AssertionFailure() << "no SYN to the guest";
    *syn = *t;
    g->rcvNxt = t->seq + 1;
    return ::testing::AssertionSuccess();
  }

  /// A persistent listener forwarding to guest port 80 and one client on it.
  Fd client;
  GuestTcp g;
  TcpView syn;
  ::testing::AssertionResult Open() {
    TcpAccept *acc = TcpAccept_Create(kGuestIp, htons(80), 0, 0, -1, 0);
    if (!acc) return ::testing::AssertionFailure() << "no listener";
    return Incoming(acc, &client, &g, &syn);
  }
};

TEST_F(TcpAcceptTest, ForwardRelaysAHostClientToTheGuestService) {
  TcpAccept *acc = TcpAccept_Create(kGuestIp, htons(80), 0, 0, -1, 0);
  ASSERT_NE(acc, nullptr);
  uint16_t port = LocalPort(acc->poll.fd);
  char want[160];
  snprintf(want, sizeof want,
           "260-TCP accept NAT table\r\n261-fd %d, from *:* via port %u to 10.254.254.10:80 "
           "(persistent)\r\n269-1 entries\r\n",
           acc->poll.fd, port);
  EXPECT_EQ(Dump(TcpAccept_DumpTable), want);

  ASSERT_TRUE(Incoming(acc, &client, &g, &syn));
  EXPECT_EQ(syn.flags, tcp::kSyn) << "our SYN carries no ACK";
  EXPECT_EQ(syn.Mss(), 1460);
  EXPECT_EQ(syn.ack, 0u);
  TcpConn *c = Conn(g);
  ASSERT_NE(c, nullptr) << "the client on loopback is shown as the gateway address";
  EXPECT_EQ(c->state, kTcpSynSent);
  EXPECT_EQ(c->iss, syn.seq);
  EXPECT_EQ(Poll_GetEvents(&c->poll), 0) << "the host socket is read only after the handshake";

  // Client data waits until the guest has answered.
  ASSERT_EQ(write(client.get(), "hello", 5), 5);
  ExpectNoFrame("before the guest's SYN+ACK");
  Put(g, tcp::kSyn | tcp::kAckF);
  g.sndNxt += 1;
  EXPECT_EQ(c->state, kTcpEstablished);
  Bytes got;
  for (int i = 0; i < 50 && got.size() < 5; i++) {
    Poll_RunOnce(10);
    for (const TcpView &t : Segments(g)) {
      EXPECT_EQ(t.ack, g.sndNxt);
      got.insert(got.end(), t.payload.begin(), t.payload.end());
    }
  }
  EXPECT_EQ(std::string(got.begin(), got.end()), "hello");
  g.rcvNxt += 5;
  PutData(g, Bytes{'w', 'o', 'r', 'l', 'd'});
  Bytes back = HostRead(client.get(), 5);
  EXPECT_EQ(std::string(back.begin(), back.end()), "world");
  EXPECT_EQ(TcpAccept_Count(), 1u) << "a persistent listener stays";
}

// The allowed address filters peers; a refused peer does not count against
// the limit; the listener goes after its last connection.
TEST_F(TcpAcceptTest, AllowedAddressAndLimit) {
  TcpAccept *acc = TcpAccept_Create(kGuestIp, htons(21000), Ip4("127.0.0.2"), 0, 1, 0);
  ASSERT_NE(acc, nullptr);
  EXPECT_NE(Dump(TcpAccept_DumpTable).find("from 127.0.0.2:* via port"), std::string::npos);
  EXPECT_NE(Dump(TcpAccept_DumpTable).find(" (1 conns left)\r\n"), std::string::npos);

  Fd refused = Client(LocalPort(acc->poll.fd));
  EXPECT_TRUE(HostSeesEnd(refused.get())) << "a peer from another address is closed";
  EXPECT_EQ(Tcp_ConnCount(), 0u);
  EXPECT_EQ(TcpAccept_Count(), 1u);
  EXPECT_TRUE(Frames().empty());

  ASSERT_TRUE(Incoming(acc, &client, &g, &syn, "127.0.0.2"));
  EXPECT_EQ(TcpAccept_Count(), 0u) << "the limited listener stays after its last connection";
  EXPECT_EQ(Dump(TcpAccept_DumpTable), "260-TCP accept NAT table\r\n269-0 entries\r\n");
  EXPECT_NE(Conn(g), nullptr) << "a peer other than loopback keeps its own address";

  // A port in use cannot be listened on twice.
  HostServer busy;
  EXPECT_EQ(TcpAccept_Create(kGuestIp, htons(80), 0, 0, -1, htons(busy.port())), nullptr);
  EXPECT_EQ(TcpAccept_Count(), 0u);
}

// A guest that never answers: the SYN is repeated every 100 ms, the
// connection goes 30 s after the SYN was queued and the client sees it.
TEST_F(TcpAcceptTest, UnansweredSynIsRepeatedThenGivenUp) {
  ASSERT_TRUE(Open());
  Advance(100);
  auto again = Segments(g);
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].flags, tcp::kSyn);
  EXPECT_EQ(again[0].seq, syn.seq);
  Advance(29800);
  EXPECT_NE(Conn(g), nullptr);
  Advance(200);
  EXPECT_EQ(Conn(g), nullptr);
  for (const TcpView &t : Segments(g)) EXPECT_EQ(t.flags, tcp::kSyn);
  EXPECT_TRUE(HostSeesEnd(client.get()));
}

// The guest's answers to our SYN: RST with an acceptable ACK ends it, an
// unacceptable ACK draws a reset, an RST without ACK is dropped.
TEST_F(TcpAcceptTest, GuestAnswersInSynSent) {
  ASSERT_TRUE(Open());
  TcpConn *c = Conn(g);

  Put(g, tcp::kRst);
  EXPECT_EQ(Conn(g), c) << "RST without ACK is dropped";
  g.rcvNxt = syn.seq + 7;
  Put(g, tcp::kSyn | tcp::kAckF);
  auto r = Segments(g);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].flags, tcp::kRst);
  EXPECT_EQ(r[0].seq, syn.seq + 7);
  EXPECT_EQ(c->state, kTcpSynSent);

  g.rcvNxt = syn.seq + 1;
  Put(g, tcp::kRst | tcp::kAckF);
  EXPECT_EQ(Conn(g), nullptr);
  EXPECT_TRUE(Segments(g).empty());
  EXPECT_TRUE(HostSeesEnd(client.get()));
}

// Simultaneous open: the guest answers our SYN with a SYN of its own; we
// answer SYN+ACK without options and the guest's ACK completes it.
TEST_F(TcpAcceptTest, SimultaneousOpen) {
  ASSERT_TRUE(Open());
  TcpConn *c = Conn(g);

  Put(g, tcp::kSyn);
  g.sndNxt += 1;
  auto sa = Segments(g);
  ASSERT_EQ(sa.size(), 1u);
  EXPECT_EQ(sa[0].flags, tcp::kSyn | tcp::kAckF);
  EXPECT_EQ(sa[0].seq, syn.seq);
  EXPECT_EQ(sa[0].ack, g.sndNxt);
  EXPECT_EQ(sa[0].hdrLen, 20) << "no options";
  EXPECT_EQ(c->state, kTcpSynReceived);

  Put(g, tcp::kAckF);
  EXPECT_EQ(c->state, kTcpEstablished);
  ASSERT_EQ(write(client.get(), "abc", 3), 3);
  auto t = WaitSegment(g, 50);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->seq, g.rcvNxt);
  EXPECT_EQ(std::string(t->payload.begin(), t->payload.end()), "abc");
}

}  // namespace
}  // namespace wire
