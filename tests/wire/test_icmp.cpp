// ICMP at the wire: echo to the gateway and broadcasts, echo NAT through
// the raw socket to hosts on loopback (127.0.0.x stand for the outside
// world), replies and errors from outside translated back, the rules for
// errors sent to guests, and the echo table.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "control/textbuf.h"
#include "nat/icmp.h"
#include "packet/arp.h"
#include "packet/skbuff.h"
#include "packet/wire.h"
#include "wire/harness.h"

namespace wire {
namespace {

std::string EchoDump() {
  TextBuf tb;
  TextBuf_Init(&tb);
  Icmp_DumpTable(&tb);
  std::string s(reinterpret_cast<const char *>(tb.data), tb.len);
  TextBuf_Free(&tb);
  return s;
}

// A raw ICMP socket of the test: sees what natd sends to loopback hosts and
// plays routers that send errors about relayed packets.
class RawIcmp {
 public:
  RawIcmp() { fd_ = socket(AF_INET, SOCK_RAW | SOCK_NONBLOCK, IPPROTO_ICMP); }
  ~RawIcmp() {
    if (fd_ >= 0) close(fd_);
  }
  bool Ok() const { return fd_ >= 0; }
  // Sends an ICMP message to 127.0.0.1 (the kernel adds the IPv4 header).
  void SendToHost(const Bytes &message) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(sendto(fd_, message.data(), message.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to),
              ssize_t(message.size()))
        << strerror(errno);
  }
  // The next echo request with identifier `id` seen on loopback (IPv4
  // header included), or an empty vector.
  Bytes NextRequest(uint16_t id) {
    for (int tries = 0; tries < 200; tries++) {
      uint8_t buf[70000];
      ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n < 0) {
        usleep(1000);
        continue;
      }
      size_t hl = size_t(buf[0] & 0x0F) * 4;
      if (size_t(n) >= hl + 8 && buf[hl] == 8 && Wire_Get16(buf + hl + 4) == id) return Bytes(buf, buf + n);
    }
    return {};
  }

 private:
  int fd_ = -1;
};

class IcmpTest : public WireTest {
 protected:
  void SetUp() override {
    WireTest::SetUp();
    id_ = uint16_t(getpid());  // parallel test processes share the loopback
  }
  // The daemon's raw ICMP socket and the test's own (both need root).
  ::testing::AssertionResult RawReady() {
    if (!Icmp_HaveSocket()) return ::testing::AssertionFailure() << "the raw ICMP socket needs root";
    if (!raw_.Ok()) return ::testing::AssertionFailure() << "no raw ICMP socket for the test";
    return ::testing::AssertionSuccess();
  }
  // Reads the next frame as an ICMP message to `guestMac`.
  ::testing::AssertionResult NextIcmp(IpView *ip, IcmpView *icmp, const Mac &guestMac = kGuestMac) {
    auto f = WaitFrame();
    if (!f) return ::testing::AssertionFailure() << "no frame";
    auto r = ParseIp(*f, ip);
    if (!r) return r;
    if (ip->eth.dst != guestMac)
      return ::testing::AssertionFailure() << "to " << MacStr(ip->eth.dst) << ", want " << MacStr(guestMac);
    return ParseIcmp(*ip, icmp);
  }
  // A guest echo request to `dst` and the kernel's reply relayed back.
  void PingThrough(uint32_t dst, uint16_t seq) {
    SendIcmpEcho(dst, id_, seq, Pattern(40, uint8_t(seq)));
    IpView ip;
    IcmpView icmp;
    ASSERT_TRUE(NextIcmp(&ip, &icmp));
    ASSERT_EQ(icmp.type, 0);
    ASSERT_EQ(icmp.seq, seq);
  }
  // An error of `type` from a router at 127.0.0.1 quoting the request
  // (127.0.0.1 -> quotedDst, identifier id_, sequence seq) plus `extra`
  // bytes of the echo payload.
  Bytes RouterError(uint8_t type, uint32_t quotedDst, uint16_t seq, uint8_t quotedProto = kProtoIcmp,
                    size_t quotedL4 = 8) {
    Bytes echo = BuildIcmp({.type = 8, .id = id_, .seq = seq}, Pattern(40, uint8_t(seq)));
    Bytes quoted = BuildIp({.src = kLoopbackIp, .dst = quotedDst, .proto = quotedProto, .ttl = 1, .id = 0x3333},
                           echo);
    quoted.resize(20 + quotedL4);
    return BuildIcmp({.type = type, .code = 0}, quoted);
  }

  uint16_t id_ = 0;
  RawIcmp raw_;  // sees natd's requests on loopback, plays outside routers
};

TEST_F(IcmpTest, EchoToTheGatewayAndBroadcastsIsAnsweredByTheGateway) {
  struct Case {
    const char *dst;
    Mac mac;
  } cases[] = {
      {"10.254.254.1", kGatewayMac},
      {"10.254.254.255", kBroadcastMac},
      {"255.255.255.255", kBroadcastMac},
      {"10.254.254.0", kBroadcastMac},
      {"0.0.0.0", kBroadcastMac},
  };
  uint16_t seq = 1;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.dst);
    Bytes payload = Pattern(56, uint8_t(seq));
    IpSpec s{.src = kGuestIp, .dst = Ip4(c.dst), .proto = kProtoIcmp};
    SendIp(s, BuildIcmp({.type = 8, .id = 0xBEEF, .seq = seq}, payload), kGuestMac, c.mac);
    IpView ip;
    IcmpView icmp;
    ASSERT_TRUE(NextIcmp(&ip, &icmp));
    EXPECT_EQ(IpStr(ip.src), IpStr(kGatewayIp));
    EXPECT_EQ(IpStr(ip.dst), IpStr(kGuestIp));
    EXPECT_EQ(ip.ttl, 128);
    EXPECT_EQ(icmp.type, 0);
    EXPECT_EQ(icmp.code, 0);
    EXPECT_EQ(icmp.id, 0xBEEF);
    EXPECT_EQ(icmp.seq, seq);
    EXPECT_TRUE(icmp.payload == payload);
    seq++;
  }
  EXPECT_EQ(Icmp_EchoCount(), 0u);
}

TEST_F(IcmpTest, OtherAndBrokenMessagesFromGuestsAreIgnored) {
  Bytes shortMsg = BuildIcmp({.type = 8}, {});
  shortMsg.resize(7);
  struct Case {
    const char *name;
    uint32_t dst;
    Bytes message;
  } cases[] = {
      {"bad checksum", kGatewayIp, BuildIcmp({.type = 8, .id = 1, .seq = 1, .badChecksum = true}, Pattern(8))},
      {"7 bytes", kGatewayIp, shortMsg},
      {"timestamp request", kGatewayIp, BuildIcmp({.type = 13}, Pattern(12))},
      {"echo reply", kGatewayIp, BuildIcmp({.type = 0, .id = 1, .seq = 1}, Pattern(8))},
      {"routed unreachable", Ip4("127.0.0.2"), BuildIcmp({.type = 3, .code = 1}, Pattern(28))},
      {"routed bad checksum", Ip4("127.0.0.2"), BuildIcmp({.type = 8, .id = 1, .badChecksum = true}, {})},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    SendIp({.src = kGuestIp, .dst = c.dst, .proto = kProtoIcmp}, c.message);
    ExpectNoFrame(c.name);
  }
  EXPECT_EQ(Icmp_EchoCount(), 0u);
}

TEST_F(IcmpTest, EchoToALoopbackHostIsRelayedWithTtlLoweredAndAnswered) {
  ASSERT_TRUE(RawReady());
  Bytes payload = Pattern(100, 3);
  SendIcmpEcho(Ip4("127.0.0.2"), id_, 1, payload, 5);

  Bytes req = raw_.NextRequest(id_);
  ASSERT_FALSE(req.empty()) << "request not seen on loopback";
  EXPECT_EQ(req[ip::kTtl], 4) << "TTL lowered by one";
  EXPECT_TRUE(Bytes(req.begin() + 28, req.end()) == payload) << "sent unchanged";

  IpView ip;
  IcmpView icmp;
  ASSERT_TRUE(NextIcmp(&ip, &icmp));
  EXPECT_EQ(IpStr(ip.src), "127.0.0.2");
  EXPECT_EQ(IpStr(ip.dst), IpStr(kGuestIp));
  EXPECT_EQ(icmp.type, 0);
  EXPECT_EQ(icmp.id, id_);
  EXPECT_EQ(icmp.seq, 1);
  EXPECT_TRUE(icmp.payload == payload);

  // A second request a moment later makes a second entry; the table lists
  // the oldest first and forgets each 20 s after its request.
  Advance(1500);
  SendIcmpEcho(Ip4("127.0.0.2"), id_, 2, payload);
  ASSERT_TRUE(WaitFrame());
  char want[512];
  snprintf(want, sizeof want,
           "240-ICMP ECHO NAT table\r\n"
           "241-from 10.254.254.10 to 127.0.0.2, id=%u, seq=1, expires at Tue Nov 14 22:13:40 2023 GMT\r\n"
           "241-from 10.254.254.10 to 127.0.0.2, id=%u, seq=2, expires at Tue Nov 14 22:13:41 2023 GMT\r\n"
           "249-2 entries\r\n",
           unsigned(id_), unsigned(id_));
  EXPECT_EQ(EchoDump(), want);
  Advance(18400);
  EXPECT_EQ(Icmp_EchoCount(), 2u) << "at 19.9 s";
  Advance(200);
  EXPECT_EQ(Icmp_EchoCount(), 1u) << "at 20.1 s";
  Advance(1500);
  EXPECT_EQ(EchoDump(), "240-ICMP ECHO NAT table\r\n249-0 entries\r\n");
}

TEST_F(IcmpTest, SameRequestFromTwoGuestsIsSentTwiceAndAnsweredToTheOlderEntry) {
  ASSERT_TRUE(RawReady());
  ASSERT_NE(Arp_Learn(kGuest2Ip, kGuest2Mac.data()), nullptr);
  SendIcmpEcho(Ip4("127.0.0.3"), id_, 7, Pattern(16));
  IpSpec s{.src = kGuest2Ip, .dst = Ip4("127.0.0.3"), .proto = kProtoIcmp};
  SendIp(s, BuildIcmp({.type = 8, .id = id_, .seq = 7}, Pattern(16)), kGuest2Mac);
  EXPECT_FALSE(raw_.NextRequest(id_).empty());
  EXPECT_FALSE(raw_.NextRequest(id_).empty()) << "the second guest's request is sent too";
  EXPECT_EQ(Icmp_EchoCount(), 2u);
  for (int i = 0; i < 2; i++) {
    IpView ip;
    IcmpView icmp;
    ASSERT_TRUE(NextIcmp(&ip, &icmp, kGuestMac)) << "reply " << i;
    EXPECT_EQ(IpStr(ip.dst), IpStr(kGuestIp));
  }
  ExpectNoFrame("for the second guest");
}

TEST_F(IcmpTest, DuplicateRepliesPassUntilTheEntryExpires) {
  ASSERT_TRUE(RawReady());
  PingThrough(kLoopbackIp, 9);
  Bytes reply = BuildIcmp({.type = 0, .id = id_, .seq = 9}, Pattern(40, 9));
  raw_.SendToHost(reply);
  IpView ip;
  IcmpView icmp;
  ASSERT_TRUE(NextIcmp(&ip, &icmp)) << "duplicate reply passed on";
  EXPECT_EQ(icmp.seq, 9);
  EXPECT_EQ(IpStr(ip.src), "127.0.0.1") << "echo replies keep their source";

  Advance(21000);
  raw_.SendToHost(reply);
  EXPECT_FALSE(WaitFrame(20)) << "reply 21 s after the request";
  // Replies for requests nobody sent are dropped as well.
  raw_.SendToHost(BuildIcmp({.type = 0, .id = id_, .seq = 10}, Pattern(40, 10)));
  EXPECT_FALSE(WaitFrame(20));
}

TEST_F(IcmpTest, TimeExceededFromARouterReachesTheGuestTranslated) {
  ASSERT_TRUE(RawReady());
  PingThrough(Ip4("127.0.0.4"), 2);
  PingThrough(kLoopbackIp, 3);

  struct Case {
    const char *name;
    uint32_t quotedDst;
    uint16_t seq;
    uint8_t type;
    const char *wantQuotedDst;
  } cases[] = {
      {"time exceeded", Ip4("127.0.0.4"), 2, 11, "127.0.0.4"},
      {"unreachable about 127.0.0.1", kLoopbackIp, 3, 3, "10.254.254.1"},
      {"parameter problem", Ip4("127.0.0.4"), 2, 12, "127.0.0.4"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    raw_.SendToHost(RouterError(c.type, c.quotedDst, c.seq));
    IpView ip;
    IcmpView icmp;
    ASSERT_TRUE(NextIcmp(&ip, &icmp));  // outer checksums verified
    EXPECT_EQ(icmp.type, c.type);
    EXPECT_EQ(IpStr(ip.src), IpStr(kGatewayIp)) << "a router at 127.0.0.1 is shown as the gateway";
    EXPECT_EQ(IpStr(ip.dst), IpStr(kGuestIp));
    ASSERT_EQ(icmp.payload.size(), 28u);
    Bytes quoted(icmp.payload.begin(), icmp.payload.begin() + 20);
    EXPECT_EQ(IpStr(Wire_Get32n(&quoted[ip::kSrc])), IpStr(kGuestIp));
    EXPECT_EQ(IpStr(Wire_Get32n(&quoted[ip::kDst])), c.wantQuotedDst);
    EXPECT_EQ(Csum_Compute(quoted.data(), quoted.size()), 0) << "quoted header checksum";
    EXPECT_EQ(Wire_Get16(&icmp.payload[24]), id_);
  }
}

TEST_F(IcmpTest, ErrorsFromOutsideThatMatchNothingOrAreTruncatedAreDropped) {
  ASSERT_TRUE(RawReady());
  PingThrough(Ip4("127.0.0.5"), 4);
  Bytes badVersion = RouterError(11, Ip4("127.0.0.5"), 4);
  badVersion[8] = 0x65;  // quoted version 6
  Wire_Put16(&badVersion[2], 0);
  Wire_Put16(&badVersion[2], Csum_Compute(badVersion.data(), badVersion.size()));
  struct Case {
    const char *name;
    Bytes message;
  } cases[] = {
      {"unknown sequence", RouterError(11, Ip4("127.0.0.5"), 99)},
      {"other destination", RouterError(11, Ip4("127.0.0.6"), 4)},
      {"quoted protocol 99", RouterError(11, Ip4("127.0.0.5"), 4, 99)},
      {"7 bytes after the quoted header", RouterError(11, Ip4("127.0.0.5"), 4, kProtoIcmp, 7)},
      {"quoted IPv6", badVersion},
      {"source quench", RouterError(4, Ip4("127.0.0.5"), 4)},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    raw_.SendToHost(c.message);
    EXPECT_FALSE(WaitFrame(20));
  }
}

// Icmp_SendError on a guest packet built here: which packets may draw an
// error, and what the error holds.
TEST_F(IcmpTest, ErrorRules) {
  struct Case {
    const char *name;
    uint32_t pktType;
    const char *src;
    const char *dst;
    uint16_t frag;
    bool sent;
  } cases[] = {
      {"unicast guest packet", kPktHost, "10.254.254.10", "198.51.100.2", 0, true},
      {"first fragment", kPktHost, "10.254.254.10", "198.51.100.2", 0x2000, true},
      {"to the subnet broadcast", kPktHost, "10.254.254.10", "10.254.254.255", 0, true},
      {"Ethernet broadcast", kPktBroadcast, "10.254.254.10", "198.51.100.2", 0, false},
      {"Ethernet multicast", kPktMulticast, "10.254.254.10", "198.51.100.2", 0, false},
      {"non-first fragment", kPktHost, "10.254.254.10", "198.51.100.2", 0x2001, false},
      {"to a multicast group", kPktHost, "10.254.254.10", "224.0.0.5", 0, false},
      {"to class E", kPktHost, "10.254.254.10", "250.1.2.3", 0, false},
      {"to 255.255.255.255", kPktHost, "10.254.254.10", "255.255.255.255", 0, false},
      {"from 127.0.0.5", kPktHost, "127.0.0.5", "198.51.100.2", 0, false},
      {"from 0.0.0.0", kPktHost, "0.0.0.0", "198.51.100.2", 0, false},
      {"from 0.0.0.7", kPktHost, "0.0.0.7", "198.51.100.2", 0, false},
      {"from a multicast group", kPktHost, "230.1.1.1", "198.51.100.2", 0, false},
      {"from 255.255.255.255", kPktHost, "255.255.255.255", "198.51.100.2", 0, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Bytes packet = BuildIp({.src = Ip4(c.src), .dst = Ip4(c.dst), .proto = 99, .frag = c.frag}, Pattern(30));
    SkBuff *skb = SkBuff_Alloc(uint32_t(packet.size() + 64));
    ASSERT_NE(skb, nullptr);
    SkBuff_Reserve(skb, 64);
    memcpy(SkBuff_Put(skb, uint32_t(packet.size())), packet.data(), packet.size());
    skb->networkHdr = skb->data;
    (void)SkBuff_Pull(skb, 20);
    skb->transportHdr = skb->data;
    skb->pktType = c.pktType;
    Icmp_SendError(skb, 3, 1, 0);
    SkBuff_Free(skb);
    if (!c.sent) {
      ExpectNoFrame(c.name);
      continue;
    }
    IpView ip;
    IcmpView icmp;
    ASSERT_TRUE(NextIcmp(&ip, &icmp));
    EXPECT_EQ(IpStr(ip.src), IpStr(kGatewayIp));
    EXPECT_EQ(IpStr(ip.dst), c.src);
    EXPECT_EQ(icmp.type, 3);
    EXPECT_EQ(icmp.code, 1);
    EXPECT_TRUE(icmp.payload == packet) << "whole packet quoted";
  }
}

TEST_F(IcmpTest, SocketErrorsMapToUnreachableCodes) {
  struct Case {
    int err;
    int code;  // -1: nothing sent
  } cases[] = {
      {ENETUNREACH, 0}, {EHOSTUNREACH, 1}, {ENOPROTOOPT, 2}, {ECONNREFUSED, 3}, {EMSGSIZE, 4}, {EOPNOTSUPP, 5},
      {ENETDOWN, 6},    {EHOSTDOWN, 7},    {ENONET, 8},      {EPERM, -1},       {EAGAIN, -1}, {0, -1},
  };
  Bytes packet = BuildIp({.src = kGuestIp, .dst = Ip4("198.51.100.2"), .proto = kProtoUdp},
                         BuildUdp(kGuestIp, Ip4("198.51.100.2"), {.sport = 1, .dport = 2}, Pattern(4)));
  for (const auto &c : cases) {
    SCOPED_TRACE("errno " + std::to_string(c.err));
    SkBuff *skb = SkBuff_Alloc(uint32_t(packet.size()));
    ASSERT_NE(skb, nullptr);
    memcpy(SkBuff_Put(skb, uint32_t(packet.size())), packet.data(), packet.size());
    skb->networkHdr = skb->data;
    skb->pktType = kPktHost;
    Icmp_SendErrnoUnreach(skb, c.err);
    SkBuff_Free(skb);
    if (c.code < 0) {
      ExpectNoFrame();
      continue;
    }
    IpView ip;
    IcmpView icmp;
    ASSERT_TRUE(NextIcmp(&ip, &icmp));
    EXPECT_EQ(icmp.type, 3);
    EXPECT_EQ(icmp.code, c.code);
    EXPECT_EQ(icmp.rest, 0u);
  }
}

class IcmpNoSocketTest : public IcmpTest {
 protected:
  IcmpNoSocketTest() { initIcmp_ = false; }
};

TEST_F(IcmpNoSocketTest, RoutedEchoIsDroppedWithoutTheRawSocket) {
  EXPECT_FALSE(Icmp_HaveSocket());
  SendIcmpEcho(Ip4("127.0.0.2"), id_, 1, Pattern(8));
  EXPECT_FALSE(WaitFrame(20));
  EXPECT_EQ(Icmp_EchoCount(), 0u);
  SendIcmpEcho(kGatewayIp, id_, 1, Pattern(8));
  EXPECT_TRUE(WaitFrame(2)) << "the gateway still answers";
}

}  // namespace
}  // namespace wire
