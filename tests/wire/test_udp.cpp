// UDP NAT at the wire: guest datagrams relayed through host sockets to peers
// on loopback, replies back to the guest, expiry on the simulated clock,
// privileged source ports, incoming forwards, ICMP errors in both
// directions and the table dump.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "control/textbuf.h"
#include "core/config.h"
#include "core/settings.h"
#include "nat/udp.h"
#include "packet/skbuff.h"
#include "packet/wire.h"
#include "wire/harness.h"

namespace wire {
namespace {

WIRE_TEARDOWN(Udp_Reset);

/// A UDP socket on a loopback address: an outside host for the guest.
class LoopPeer {
 public:
  explicit LoopPeer(const char *addr = "127.0.0.1", uint16_t portH = 0) {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = Ip4(addr);
    sa.sin_port = htons(portH);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
      ADD_FAILURE() << "peer socket on " << addr << ": " << strerror(errno);
      return;
    }
    socklen_t len = sizeof addr_;
    getsockname(fd_, reinterpret_cast<sockaddr *>(&addr_), &len);
  }
  ~LoopPeer() {
    if (fd_ >= 0) close(fd_);
  }
  LoopPeer(const LoopPeer &) = delete;
  LoopPeer &operator=(const LoopPeer &) = delete;

  int fd() const { return fd_; }
  uint32_t ip() const { return addr_.sin_addr.s_addr; }
  uint16_t port() const { return ntohs(addr_.sin_port); }

  /// Next datagram (waits up to `waitMs` of real time), with its sender.
  std::optional<Bytes> Recv(sockaddr_in *from = nullptr, int waitMs = 1000) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, waitMs) <= 0) return std::nullopt;
    Bytes buf(65536);
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    ssize_t n = recvfrom(fd_, buf.data(), buf.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&sa), &len);
    if (n < 0) return std::nullopt;
    buf.resize(size_t(n));
    if (from) *from = sa;
    return buf;
  }

  void SendTo(uint32_t ipN, uint16_t portH, const Bytes &data) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = ipN;
    to.sin_port = htons(portH);
    ASSERT_EQ(sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to),
              ssize_t(data.size()))
        << strerror(errno);
  }

 private:
  int fd_ = -1;
  sockaddr_in addr_{};
};

/// IPv4 fields of a test packet (the rest as IpSpec's defaults).
IpSpec MakeIp(uint32_t src, uint32_t dst, uint8_t proto, uint8_t ttl = 64, uint16_t id = 0x4242,
              uint16_t frag = 0) {
  return {.src = src, .dst = dst, .proto = proto, .ttl = ttl, .id = id, .frag = frag};
}

class UdpTest : public WireTest {
 protected:
  void TearDown() override {
    WireTest::TearDown();
    EXPECT_EQ(Udp_FlowCount(), 0u) << "UDP flows left behind";
    if (!configPath_.empty()) {
      unlink(configPath_.c_str());
      Config_Path = savedConfigPath_;
    }
  }

  /// Writes a configuration file with `text`, points the daemon at it and
  /// reads the [udp] settings.
  void Configure(const std::string &text) {
    char path[] = "/tmp/natd-udp-test-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, text.data(), text.size()), ssize_t(text.size()));
    close(fd);
    if (!configPath_.empty()) {
      unlink(configPath_.c_str());
    } else {
      savedConfigPath_ = Config_Path;
    }
    configPath_ = path;
    Config_Path = configPath_;
    Udp_Init();
  }

  /// Guest datagram with full control of the IPv4 fields.
  void SendGuestUdp(uint32_t dst, uint16_t sport, uint16_t dportH, const Bytes &payload, uint16_t id = 0x4242,
                    uint8_t ttl = 64) {
    IpSpec s = MakeIp(kGuestIp, dst, kProtoUdp, ttl, id);
    SendIp(s, BuildUdp(kGuestIp, dst, {.sport = sport, .dport = dportH}, payload));
  }

  /// The next frame to the guest, parsed as UDP.
  ::testing::AssertionResult ReceiveUdp(IpView *ip, UdpView *u) {
    auto f = WaitFrame();
    if (!f) return ::testing::AssertionFailure() << "no frame to the guest";
    auto r = ParseIp(*f, ip);
    if (!r) return r;
    return ParseUdp(*ip, u);
  }

  /// Host port from which the peer sees the guest's datagram `payload`.
  uint16_t HostPortSeenBy(LoopPeer &peer, const Bytes &payload) {
    sockaddr_in from{};
    auto got = peer.Recv(&from);
    EXPECT_TRUE(got) << "peer received nothing";
    if (!got) return 0;
    EXPECT_EQ(*got, payload);
    return ntohs(from.sin_port);
  }

  std::string Dump() {
    TextBuf tb;
    TextBuf_Init(&tb);
    Udp_DumpTable(&tb);
    std::string s(reinterpret_cast<const char *>(tb.data), tb.len);
    TextBuf_Free(&tb);
    return s;
  }

  std::string configPath_;
  std::string savedConfigPath_;
};

// ------------------------------------------------------------- relaying

TEST_F(UdpTest, DatagramRoundTripThroughLoopbackShowsGatewayAsSource) {
  LoopPeer server;
  Bytes query = Pattern(40, 1);
  SendGuestUdp(kLoopbackIp, 5000, server.port(), query);
  sockaddr_in from{};
  auto got = server.Recv(&from);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, query);
  UdpFlow *flow = Udp_FindFlow(kGuestIp, htons(5000));
  ASSERT_NE(flow, nullptr);
  EXPECT_EQ(from.sin_port, flow->local.sin_port) << "sent from the flow's own socket";

  Bytes answer = Pattern(17, 9);
  server.SendTo(from.sin_addr.s_addr, ntohs(from.sin_port), answer);
  IpView ip;
  UdpView u;
  ASSERT_TRUE(ReceiveUdp(&ip, &u));
  EXPECT_EQ(IpStr(ip.src), IpStr(kGatewayIp)) << "127.0.0.1 is shown as the gateway";
  EXPECT_EQ(IpStr(ip.dst), IpStr(kGuestIp));
  EXPECT_EQ(MacStr(ip.eth.dst), MacStr(kGuestMac));
  EXPECT_EQ(u.sport, server.port());
  EXPECT_EQ(u.dport, 5000);
  EXPECT_NE(u.csum, 0) << "the checksum is always computed";
  EXPECT_EQ(u.payload, answer);
}

TEST_F(UdpTest, TwoOutsideHostsShareOneFlowAndKeepTheirOwnSource) {
  LoopPeer a("127.0.0.2"), b("127.0.0.3");
  SendGuestUdp(a.ip(), 6000, a.port(), Pattern(8, 1));
  SendGuestUdp(b.ip(), 6000, b.port(), Pattern(8, 2));
  uint16_t pa = HostPortSeenBy(a, Pattern(8, 1));
  uint16_t pb = HostPortSeenBy(b, Pattern(8, 2));
  EXPECT_EQ(pa, pb) << "one host socket per guest address and port";
  EXPECT_EQ(Udp_FlowCount(), 1u);

  struct { LoopPeer *peer; uint8_t seed; } order[] = {{&b, 20}, {&a, 10}};
  for (auto &o : order) {
    o.peer->SendTo(Ip4("127.0.0.1"), pa, Pattern(12, o.seed));
    IpView ip;
    UdpView u;
    ASSERT_TRUE(ReceiveUdp(&ip, &u));
    EXPECT_EQ(IpStr(ip.src), IpStr(o.peer->ip()));
    EXPECT_EQ(u.sport, o.peer->port());
    EXPECT_EQ(u.dport, 6000);
    EXPECT_EQ(u.payload, Pattern(12, o.seed));
  }
}

TEST_F(UdpTest, GuestPort5353SeesTheGatewayAsEverySender) {
  LoopPeer peer("127.0.0.2");
  SendGuestUdp(peer.ip(), 5353, peer.port(), Pattern(4));
  uint16_t hostPort = HostPortSeenBy(peer, Pattern(4));
  peer.SendTo(Ip4("127.0.0.1"), hostPort, Pattern(6));
  IpView ip;
  UdpView u;
  ASSERT_TRUE(ReceiveUdp(&ip, &u));
  EXPECT_EQ(IpStr(ip.src), IpStr(kGatewayIp));
  EXPECT_EQ(u.sport, peer.port());
  EXPECT_EQ(u.dport, 5353);
}

TEST_F(UdpTest, GuestTtlLoweredByOneIsMirroredOntoTheHostSocket) {
  LoopPeer server;
  int on = 1;
  ASSERT_EQ(setsockopt(server.fd(), IPPROTO_IP, IP_RECVTTL, &on, sizeof on), 0);
  for (uint8_t ttl : {10, 10, 33}) {
    SendGuestUdp(kLoopbackIp, 5002, server.port(), Pattern(3), 0x4242, ttl);
    pollfd p{server.fd(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 1000), 1);
    uint8_t data[16];
    alignas(cmsghdr) char control[64];
    iovec iov{data, sizeof data};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ASSERT_EQ(recvmsg(server.fd(), &msg, 0), 3);
    int seen = -1;
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
      if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL) memcpy(&seen, CMSG_DATA(c), sizeof seen);
    EXPECT_EQ(seen, ttl - 1);
  }
  EXPECT_EQ(Udp_FindFlow(kGuestIp, htons(5002))->sockTtl, 32);
}

TEST_F(UdpTest, ComputedChecksumZeroIsSentAsAllOnes) {
  // Two payload bytes chosen so that the one's-complement sum of the whole
  // datagram is all ones: the computed checksum is 0, which UDP reserves
  // for "no checksum".
  Bytes hdr = {0, 53, 0x13, 0x88, 0, 10, 0, 0};
  uint32_t sum = Csum_Partial(hdr.data(), hdr.size(), Csum_Pseudo(kGatewayIp, kGuestIp, kProtoUdp, 10));
  uint16_t filler = Csum_Fold(sum);
  SkBuff *skb = SkBuff_Alloc(256);
  ASSERT_NE(skb, nullptr);
  SkBuff_Reserve(skb, 128);
  Wire_Put16(SkBuff_Put(skb, 2), filler);
  Udp_Output(kGuestIp, htons(5000), kGatewayIp, htons(53), skb);
  SkBuff_Free(skb);
  IpView ip;
  UdpView u;
  ASSERT_TRUE(ReceiveUdp(&ip, &u));
  EXPECT_EQ(u.csum, 0xFFFF);
  EXPECT_EQ(u.sport, 53);
  EXPECT_EQ(u.dport, 5000);
  EXPECT_EQ(u.len, 10);
}

// ------------------------------------------------- what is not relayed

TEST_F(UdpTest, DatagramsThatAreDroppedCreateNoFlowAndDrawNoError) {
  LoopPeer server;
  struct Case {
    const char *what;
    uint32_t dst;
    uint16_t dport;
  } cases[] = {
      {"to the gateway, port 9", kGatewayIp, 9},
      {"to the gateway, port 53", kGatewayIp, 53},
      {"subnet broadcast, port 9", kSubnetBcast, 9},
      {"to the gateway, port 67 with the DHCP server off", kGatewayIp, 67},
      {"routed to port 67", kLoopbackIp, 67},
  };
  for (const Case &c : cases) {
    SendGuestUdp(c.dst, 5003, c.dport, Pattern(10));
    ExpectNoFrame(c.what);
    EXPECT_EQ(Udp_FlowCount(), 0u) << c.what;
  }
  EXPECT_FALSE(server.Recv(nullptr, 50));
}

TEST_F(UdpTest, UdpLengthFieldIsCheckedAndTrimsThePayload) {
  LoopPeer server;
  Bytes payload = Pattern(10, 5);
  struct Case {
    uint16_t udpLen;
    int delivered;  // bytes the server gets, -1 = dropped
  } cases[] = {{7, -1}, {8 + 11, -1}, {0, -1}, {8 + 10, 10}, {8 + 3, 3}, {8, 0}};
  for (const Case &c : cases) {
    Bytes dgram = BuildUdp(kGuestIp, kLoopbackIp, {.sport = 5004, .dport = server.port()}, payload);
    Wire_Put16(&dgram[udp::kLen], c.udpLen);
    SendIp(MakeIp(kGuestIp, kLoopbackIp, kProtoUdp), dgram);
    auto got = server.Recv(nullptr, 200);
    if (c.delivered < 0) {
      EXPECT_FALSE(got) << "UDP length " << c.udpLen << " must be dropped";
    } else {
      ASSERT_TRUE(got) << "UDP length " << c.udpLen;
      EXPECT_EQ(*got, Bytes(payload.begin(), payload.begin() + c.delivered));
    }
  }
  Bytes tiny = {0x13, 0x88, 0x00};  // shorter than a UDP header
  SendIp(MakeIp(kGuestIp, kLoopbackIp, kProtoUdp), tiny);
  EXPECT_FALSE(server.Recv(nullptr, 50));
}

// -------------------------------------------------------------- expiry

TEST_F(UdpTest, GuestTrafficKeepsAFlowAliveButRepliesDoNot) {
  Configure("[udp]\ntimeout = 60\nclusterDiff = 10\n");
  LoopPeer server;
  SendGuestUdp(kLoopbackIp, 7003, server.port(), Pattern(2));
  uint16_t hostPort = HostPortSeenBy(server, Pattern(2));
  Advance(30000);
  SendGuestUdp(kLoopbackIp, 7003, server.port(), Pattern(2));
  EXPECT_EQ(HostPortSeenBy(server, Pattern(2)), hostPort);
  Advance(20000);  // t = 50: a reply from outside does not refresh the flow
  server.SendTo(kLoopbackIp, hostPort, Pattern(5));
  ASSERT_TRUE(WaitFrame());
  Advance(89900 - 50000);
  EXPECT_EQ(Udp_FlowCount(), 1u) << "alive until 90 s (last guest datagram at 30 s)";
  Advance(100);
  EXPECT_EQ(Udp_FlowCount(), 0u);
}

TEST_F(UdpTest, FlowsExpireInClustersSetByClusterDiff) {
  // Flows at 0, 5 and 12 s: nothing closes before 60 s and the run at 60 s
  // closes the first; with a cluster of 10 s (a negative value counts as
  // its absolute value) the other two wait for one run at 72 s, without
  // clustering the 5 s flow has a run of its own at 65 s.
  struct Case {
    const char *clusterDiff;
    unsigned aliveAt65;  // and up to 71.9 s
  } cases[] = {{"10", 2}, {"-10", 2}, {"0", 1}};
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string("clusterDiff ") + c.clusterDiff);
    Configure(std::string("[udp]\ntimeout = 60\nclusterDiff = ") + c.clusterDiff + "\n");
    LoopPeer server;
    SendGuestUdp(kLoopbackIp, 7010, server.port(), Pattern(2));
    Advance(5000);
    SendGuestUdp(kLoopbackIp, 7011, server.port(), Pattern(2));
    Advance(7000);
    SendGuestUdp(kLoopbackIp, 7012, server.port(), Pattern(2));
    ASSERT_EQ(Udp_FlowCount(), 3u);
    Advance(59900 - 12000);
    EXPECT_EQ(Udp_FlowCount(), 3u);
    Advance(100);
    EXPECT_EQ(Udp_FlowCount(), 2u);
    EXPECT_EQ(Udp_FindFlow(kGuestIp, htons(7010)), nullptr) << "the 0 s flow closes at 60 s";
    Advance(5000);
    EXPECT_EQ(Udp_FlowCount(), c.aliveAt65);
    Advance(71900 - 65000);
    EXPECT_EQ(Udp_FlowCount(), c.aliveAt65);
    Advance(100);
    EXPECT_EQ(Udp_FlowCount(), 0u);
    Udp_Reset();
  }
}

TEST_F(UdpTest, TimeoutZeroNeverClosesAFlow) {
  Configure("[udp]\ntimeout = 0\n");
  LoopPeer server;
  SendGuestUdp(kLoopbackIp, 7004, server.port(), Pattern(2));
  Advance(1000 * 1000);
  EXPECT_EQ(Udp_FlowCount(), 1u);
  EXPECT_EQ(Dump().find("timeout"), std::string::npos) << Dump();
}

// ---------------------------------------------------- privileged ports

TEST_F(UdpTest, PrivilegedSourcePortsComeFromTheCounter) {
  LoopPeer server;
  g_settings.privUdpAutodetect = true;
  SendGuestUdp(kLoopbackIp, 123, server.port(), Pattern(1));
  EXPECT_EQ(HostPortSeenBy(server, Pattern(1)), 1023);
  SendGuestUdp(kLoopbackIp, 124, server.port(), Pattern(1));
  EXPECT_EQ(HostPortSeenBy(server, Pattern(1)), 1022);
  SendGuestUdp(kLoopbackIp, 40000, server.port(), Pattern(1));
  EXPECT_GT(HostPortSeenBy(server, Pattern(1)), 1023) << "unprivileged guest port, unlisted destination";
}

TEST_F(UdpTest, ListedDestinationPortGetsAPrivilegedPort) {
  LoopPeer server, other;
  g_settings.privUdpPorts[0] = 7;
  g_settings.privUdpPorts[1] = server.port();
  g_settings.privUdpCount = 2;
  SendGuestUdp(kLoopbackIp, 40001, server.port(), Pattern(1));
  EXPECT_EQ(HostPortSeenBy(server, Pattern(1)), 1023) << "listed destination, autodetect off";
  SendGuestUdp(kLoopbackIp, 123, other.port(), Pattern(1));
  EXPECT_GT(HostPortSeenBy(other, Pattern(1)), 1023) << "privileged guest port without autodetect";
}

// ------------------------------------------------------ incoming forward

TEST_F(UdpTest, IncomingForwardDeliversToTheGuestAndRepliesLeaveThroughIt) {
  ASSERT_EQ(Udp_AddForward(kGuestIp, htons(6001), kLoopbackIp, 0), 0);
  UdpFlow *fwd = Udp_FindFlow(kGuestIp, htons(6001));
  ASSERT_NE(fwd, nullptr);
  uint16_t hostPort = ntohs(fwd->local.sin_port);
  ASSERT_NE(hostPort, 0);

  LoopPeer client("127.0.0.2");
  client.SendTo(kLoopbackIp, hostPort, Pattern(30, 7));
  IpView ip;
  UdpView u;
  ASSERT_TRUE(ReceiveUdp(&ip, &u));
  EXPECT_EQ(IpStr(ip.src), "127.0.0.2");
  EXPECT_EQ(u.sport, client.port());
  EXPECT_EQ(u.dport, 6001);
  EXPECT_EQ(u.payload, Pattern(30, 7));

  SendGuestUdp(client.ip(), 6001, client.port(), Pattern(11, 4));
  sockaddr_in from{};
  auto back = client.Recv(&from);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, Pattern(11, 4));
  EXPECT_EQ(ntohs(from.sin_port), hostPort) << "the reply leaves through the forwarded port";
  EXPECT_EQ(Udp_FlowCount(), 1u);

  Advance(600 * 1000);
  EXPECT_EQ(Udp_FindFlow(kGuestIp, htons(6001)), fwd) << "forwards never expire";
}

TEST_F(UdpTest, IncomingForwardOnABusyPortFailsWithCode2) {
  LoopPeer holder;
  EXPECT_EQ(Udp_AddForward(kGuestIp, htons(6002), kLoopbackIp, htons(holder.port())), 2);
  EXPECT_EQ(Udp_FlowCount(), 0u);
}

// -------------------------------------------------------------- errors

TEST_F(UdpTest, FailedSendBecomesDestinationUnreachable) {
  // A fresh network namespace has only a loopback that is down: the send
  // fails with "network unreachable" and nothing leaves the process.
  int saved = open("/proc/self/ns/net", O_RDONLY);
  ASSERT_GE(saved, 0);
  ASSERT_EQ(unshare(CLONE_NEWNET), 0) << "needs root: " << strerror(errno);
  Bytes payload = Pattern(20);
  SendGuestUdp(Ip4("192.0.2.1"), 5005, 9, payload, 0x7777);
  ASSERT_EQ(setns(saved, CLONE_NEWNET), 0) << strerror(errno);
  close(saved);

  IpView ip;
  auto f = WaitFrame();
  ASSERT_TRUE(f);
  ASSERT_TRUE(ParseIp(*f, &ip));
  IcmpView icmp;
  ASSERT_TRUE(ParseIcmp(ip, &icmp));
  EXPECT_EQ(icmp.type, 3);
  EXPECT_EQ(icmp.code, 0) << "network unreachable";
  ASSERT_GE(icmp.payload.size(), 28u);
  EXPECT_EQ(Wire_Get16(&icmp.payload[ip::kId]), 0x7777);
  EXPECT_EQ(Wire_Get16(&icmp.payload[20 + udp::kSport]), 5005);
}

/// Hands Udp_ForwardIcmpError a port unreachable from 127.0.0.1 as the
/// host's stack would receive it, quoting `quoted` (IPv4 header, UDP
/// header, payload).
void ForwardHostError(const Bytes &quoted) {
  Bytes message = BuildIcmp({.type = 3, .code = 3}, quoted);
  Bytes outer = BuildIp(MakeIp(kLoopbackIp, kLoopbackIp, kProtoIcmp), message);
  SkBuff *skb = SkBuff_Alloc(uint32_t(outer.size() + 128));
  ASSERT_NE(skb, nullptr);
  SkBuff_Reserve(skb, 128);
  memcpy(SkBuff_Put(skb, uint32_t(outer.size())), outer.data(), outer.size());
  skb->networkHdr = skb->data;
  SkBuff_Pull(skb, 20);
  skb->transportHdr = skb->data;
  Udp_ForwardIcmpError(skb, skb->data + 8, skb->data + 28);
  SkBuff_Free(skb);
}

TEST_F(UdpTest, IcmpErrorFromOutsideIsRestoredForTheGuestByteForByte) {
  LoopPeer server;
  Bytes payload = Pattern(24, 0x30);
  Bytes guestDgram = BuildUdp(kGuestIp, kLoopbackIp, {.sport = 5006, .dport = server.port()}, payload);
  SendIp(MakeIp(kGuestIp, kLoopbackIp, kProtoUdp, 64, 0x1234), guestDgram);
  ASSERT_TRUE(server.Recv());
  UdpFlow *flow = Udp_FindFlow(kGuestIp, htons(5006));
  ASSERT_NE(flow, nullptr);

  // What the host sent, quoted by the outside: its own port, id, checksum.
  Bytes hostUdp = guestDgram;
  Wire_Put16n(&hostUdp[udp::kSport], flow->local.sin_port);
  Wire_Put16(&hostUdp[udp::kCsum], 0xABCD);
  Bytes hostDgram = BuildIp(MakeIp(kLoopbackIp, kLoopbackIp, kProtoUdp, 63, 0x9999, 0x4000), hostUdp);

  Bytes stranger = hostDgram;  // a port no flow has
  Wire_Put16(&stranger[20 + udp::kSport], uint16_t(ntohs(flow->local.sin_port) + 1));
  ForwardHostError(stranger);
  ExpectNoFrame("no flow has that local port");

  ForwardHostError(hostDgram);
  auto f = WaitFrame(3);
  ASSERT_TRUE(f);
  IpView ip;
  ASSERT_TRUE(ParseIp(*f, &ip));
  EXPECT_EQ(IpStr(ip.src), IpStr(kGatewayIp)) << "an error from 127.0.0.1 comes from the gateway";
  EXPECT_EQ(IpStr(ip.dst), IpStr(kGuestIp));
  IcmpView icmp;
  ASSERT_TRUE(ParseIcmp(ip, &icmp));  // outer ICMP checksum recomputed
  EXPECT_EQ(icmp.type, 3);
  EXPECT_EQ(icmp.code, 3);

  // Expected quote: the host's header with the guest's source, the gateway
  // as destination, the guest's identification and a fresh checksum, then
  // the guest's own UDP header and payload.
  Bytes want(hostDgram.begin(), hostDgram.begin() + 20);
  Wire_Put32n(&want[ip::kSrc], kGuestIp);
  Wire_Put32n(&want[ip::kDst], kGatewayIp);
  Wire_Put16(&want[ip::kId], 0x1234);
  Wire_Put16(&want[ip::kCsum], 0);
  Wire_Put16(&want[ip::kCsum], Csum_Compute(want.data(), 20));
  want.insert(want.end(), guestDgram.begin(), guestDgram.end());
  EXPECT_EQ(HexStr(icmp.payload, 200), HexStr(want, 200));
}

TEST_F(UdpTest, PortUnreachableFromTheHostStackReachesTheGuest) {
  // The loopback stack answers a closed port with port unreachable; the
  // raw ICMP socket picks it up and hands it to the flow it quotes.
  uint16_t closed = LoopPeer().port();  // nothing listens there once it is gone
  Bytes payload = Pattern(16, 0x50);
  Bytes guestDgram = BuildUdp(kGuestIp, kLoopbackIp, {.sport = 5008, .dport = closed}, payload);
  SendIp(MakeIp(kGuestIp, kLoopbackIp, kProtoUdp, 64, 0x2345), guestDgram);

  std::optional<Bytes> f;
  IpView ip;
  IcmpView icmp;
  for (int tries = 0; tries < 5; tries++) {
    f = WaitFrame();
    ASSERT_TRUE(f) << "no ICMP error reached the guest";
    ASSERT_TRUE(ParseIp(*f, &ip));
    if (ip.proto == kProtoIcmp) break;
  }
  ASSERT_TRUE(ParseIcmp(ip, &icmp));
  EXPECT_EQ(icmp.type, 3);
  EXPECT_EQ(icmp.code, 3);
  EXPECT_EQ(IpStr(ip.src), IpStr(kGatewayIp));
  ASSERT_GE(icmp.payload.size(), 28u + payload.size());
  const uint8_t *q = icmp.payload.data();
  EXPECT_EQ(Csum_Compute(q, 20), 0) << "quoted header checksum recomputed";
  EXPECT_EQ(Wire_Get16(q + ip::kId), 0x2345);
  EXPECT_EQ(IpStr(Wire_Get32n(q + ip::kSrc)), IpStr(kGuestIp));
  EXPECT_EQ(IpStr(Wire_Get32n(q + ip::kDst)), IpStr(kGatewayIp));
  EXPECT_EQ(HexStr(Bytes(q + 20, q + 28 + payload.size()), 100), HexStr(guestDgram, 100))
      << "the guest's own UDP header and payload";
}

// ---------------------------------------------------------------- dump

TEST_F(UdpTest, DumpListsFlowsNewestFirstWithPortAndTimeLeft) {
  Configure("[udp]\ntimeout = 60\n");
  ASSERT_EQ(Udp_AddForward(kGuestIp, htons(6003), kLoopbackIp, 0), 0);
  LoopPeer server;
  SendGuestUdp(kLoopbackIp, 5009, server.port(), Pattern(1));
  Advance(25000);
  UdpFlow *fwd = Udp_FindFlow(kGuestIp, htons(6003));
  UdpFlow *flow = Udp_FindFlow(kGuestIp, htons(5009));
  ASSERT_TRUE(fwd && flow);
  char want[512];
  snprintf(want, sizeof want,
           "230-UDP NAT table\r\n"
           "231-fd %d, from 10.254.254.10/5009 via local port %u (timeout 35 sec)\r\n"
           "231-fd %d, from 10.254.254.10/6003 via local port %u\r\n"
           "239-2 entries\r\n",
           flow->poll.fd, ntohs(flow->local.sin_port), fwd->poll.fd, ntohs(fwd->local.sin_port));
  EXPECT_EQ(Dump(), want);
}

TEST_F(UdpTest, DumpOfAnEmptyTable) { EXPECT_EQ(Dump(), "230-UDP NAT table\r\n239-0 entries\r\n"); }

}  // namespace
}  // namespace wire
