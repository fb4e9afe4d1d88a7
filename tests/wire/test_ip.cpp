// IP input and output at the wire: header checks and trimming, reassembly
// edges and lifetimes, destination classes, TTL handling, guest-to-guest
// re-sending, fragmentation on output, identifications and destination MACs.
#include <algorithm>
#include <string>
#include <vector>

#include "packet/arp.h"
#include "packet/ip.h"
#include "packet/skbuff.h"
#include "packet/wire.h"
#include "wire/harness.h"

namespace wire {
namespace {

class IpTest : public WireTest {
 protected:
  // An echo request of `payloadLen` bytes to the gateway, as one datagram
  // (ICMP header + payload) ready to be cut into fragments.
  Bytes EchoDatagram(size_t payloadLen, uint16_t seq = 1) {
    return BuildIcmp({.type = 8, .id = 0x1D, .seq = seq}, Pattern(payloadLen, uint8_t(seq)));
  }
  IpSpec FragSpec(uint16_t id, uint8_t ttl = 64) {
    return {.src = kGuestIp, .dst = kGatewayIp, .proto = kProtoIcmp, .ttl = ttl, .id = id};
  }
  void SendFrag(const IpSpec &fields, const Bytes &whole, size_t off, size_t len, bool more) {
    SendFrame(BuildEth(kGatewayMac, kGuestMac, kEtherTypeIp, BuildIpFragment(fields, whole, off, len, more)));
  }
  /// The next frame parsed as IPv4.
  ::testing::AssertionResult NextIp(IpView *ip) {
    auto f = NextFrame();
    if (!f) return ::testing::AssertionFailure() << "no frame";
    return ParseIp(*f, ip);
  }
  // Collects the frames of one (possibly fragmented) reply and joins them.
  ::testing::AssertionResult ReadDatagram(IpView *out, std::vector<IpView> *parts = nullptr) {
    std::vector<IpView> frags;
    for (int i = 0; i < 64; i++) {
      auto f = NextFrame();
      if (!f) break;
      IpView v;
      auto r = ParseIp(*f, &v);
      if (!r) return r;
      frags.push_back(v);
    }
    if (frags.empty()) return ::testing::AssertionFailure() << "no frame";
    if (parts) *parts = frags;
    return Reassemble(frags, out);
  }
  // The echo reply must carry exactly the datagram's payload.
  void ExpectEchoReply(const Bytes &request) {
    IpView ip;
    ASSERT_TRUE(ReadDatagram(&ip));
    IcmpView icmp;
    ASSERT_TRUE(ParseIcmp(ip, &icmp));
    EXPECT_EQ(icmp.type, 0);
    EXPECT_EQ(icmp.id, Wire_Get16(&request[4]));
    EXPECT_EQ(icmp.seq, Wire_Get16(&request[6]));
    EXPECT_TRUE(icmp.payload == Bytes(request.begin() + 8, request.end())) << "payload differs";
  }
};

// ---------------------------------------------------------------- checks

TEST_F(IpTest, MalformedHeadersAreDropped) {
  Bytes echo = EchoDatagram(32);
  struct Case {
    const char *name;
    Bytes packet;
  } cases[] = {
      {"IHL 4", BuildIp({.src = kGuestIp, .dst = kGatewayIp, .proto = 1, .ihl = 4}, echo)},
      {"version 6", BuildIp({.src = kGuestIp, .dst = kGatewayIp, .proto = 1, .version = 6}, echo)},
      {"total length beyond the frame",
       BuildIp({.src = kGuestIp, .dst = kGatewayIp, .proto = 1, .totalLen = 20 + 40 + 1}, echo)},
      {"total length below the header",
       BuildIp({.src = kGuestIp, .dst = kGatewayIp, .proto = 1, .totalLen = 19}, echo)},
      {"IHL 15 beyond the total",
       BuildIp({.src = kGuestIp, .dst = kGatewayIp, .proto = 1, .ihl = 15}, echo)},
      {"19 bytes", BuildIp({.src = kGuestIp, .dst = kGatewayIp, .proto = 1}, {})},
  };
  cases[std::size(cases) - 1].packet.resize(19);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    SendFrame(BuildEth(kGatewayMac, kGuestMac, kEtherTypeIp, c.packet));
    ExpectNoFrame(c.name);
  }
  // A bad header checksum is not looked at.
  SendFrame(BuildEth(kGatewayMac, kGuestMac, kEtherTypeIp,
                     BuildIp({.src = kGuestIp, .dst = kGatewayIp, .proto = 1, .badChecksum = true}, echo)));
  ExpectEchoReply(echo);
}

TEST_F(IpTest, EthernetPaddingIsTrimmedToTheTotalLength) {
  Bytes echo = EchoDatagram(4);
  Bytes packet = BuildIp({.src = kGuestIp, .dst = kGatewayIp, .proto = 1}, echo);
  packet.insert(packet.end(), 18, 0xEE);  // would spoil the ICMP checksum if kept
  SendFrame(BuildEth(kGatewayMac, kGuestMac, kEtherTypeIp, packet));
  ExpectEchoReply(echo);
}

TEST_F(IpTest, OptionsAreSkipped) {
  Bytes echo = EchoDatagram(20);
  IpSpec s{.src = kGuestIp, .dst = kGatewayIp, .proto = 1, .options = {0x94, 0x04, 0x00, 0x00}};  // router alert
  SendIp(s, echo);
  ExpectEchoReply(echo);
}

// ------------------------------------------------------------ reassembly

// Each case sends the pieces of one datagram in order; `reasm` is the number
// of new reassembly records expected after a piece (-1: not checked). A
// datagram that completes is answered only after its last piece.
TEST_F(IpTest, ReassemblyOrderDuplicatesAndOverlaps) {
  struct Piece {
    size_t off, len;
    bool more;
    int reasm = -1;
  };
  struct Case {
    const char *what;
    size_t size;
    std::vector<Piece> pieces;
    bool answered;
  } cases[] = {
      {"reverse order", 3008, {{2000, 1008, false}, {1000, 1000, true, 1}, {0, 1000, true, 0}}, true},
      {"gaps closed from both sides", 4000,
       {{800, 800, true}, {2400, 800, true}, {0, 800, true}, {3200, 800, false}, {1600, 800, true}}, true},
      {"duplicate middle fragment discards; later ones start a new record", 2400,
       {{800, 800, true}, {800, 800, true, 0}, {0, 800, true}, {1600, 800, false, 1}}, false},
      {"overlap into an earlier range, then one joining two ranges", 2400,
       {{0, 800, true}, {1600, 800, false}, {792, 808, true, 0},
        {0, 800, true}, {1600, 800, false}, {800, 808, true, 0}}, false},
      {"second copy of the last fragment is ignored", 1600,
       {{800, 800, false}, {800, 800, false, 1}, {0, 800, true}}, true},
      {"conflicting last fragment discards", 1600, {{800, 800, false}, {800, 400, false, 0}, {0, 800, true}}, false},
  };
  uint16_t id = 0x100;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Bytes whole = EchoDatagram(c.size - 8);
    IpSpec s = FragSpec(id++);
    size_t base = Ip_ReasmCount();
    for (size_t i = 0; i < c.pieces.size(); i++) {
      const Piece &p = c.pieces[i];
      if (i + 1 == c.pieces.size()) ExpectNoFrame("before the last piece");
      SendFrag(s, whole, p.off, p.len, p.more);
      if (p.reasm >= 0) {
        EXPECT_EQ(Ip_ReasmCount(), base + size_t(p.reasm)) << "after piece " << i;
      }
    }
    if (c.answered) {
      ExpectEchoReply(whole);
      EXPECT_EQ(Ip_ReasmCount(), base);
    } else {
      ExpectNoFrame();
    }
  }
}

TEST_F(IpTest, FragmentWithDontFragmentIsDropped) {
  Bytes whole = EchoDatagram(1600 - 8);
  IpSpec s = FragSpec(0x106);
  Bytes frag = BuildIpFragment(s, whole, 0, 800, true);
  Wire_Put16(&frag[ip::kFragOff], 0x4000 | 0x2000);
  Wire_Put16(&frag[ip::kCsum], 0);
  Wire_Put16(&frag[ip::kCsum], Csum_Compute(frag.data(), 20));
  SendFrame(BuildEth(kGatewayMac, kGuestMac, kEtherTypeIp, frag));
  EXPECT_EQ(Ip_ReasmCount(), 0u);
  SendFrag(s, whole, 800, 800, false);
  ExpectNoFrame();
}

TEST_F(IpTest, DatagramsAreKeptApartByIdentificationSourceAndProtocol) {
  Bytes a = EchoDatagram(1600 - 8, 1);
  Bytes b = EchoDatagram(1600 - 8, 2);
  SendFrag(FragSpec(0x200), a, 0, 800, true);
  SendFrag(FragSpec(0x201), b, 800, 800, false);
  IpSpec otherProto = FragSpec(0x200);
  otherProto.proto = 99;
  SendFrag(otherProto, b, 800, 800, false);
  EXPECT_EQ(Ip_ReasmCount(), 3u);
  ExpectNoFrame();
  SendFrag(FragSpec(0x200), a, 800, 800, false);
  ExpectEchoReply(a);
  SendFrag(FragSpec(0x201), b, 0, 800, true);
  ExpectEchoReply(b);
  EXPECT_EQ(Ip_ReasmCount(), 1u);
}

TEST_F(IpTest, RangeTableHolds256SeparateRangesAndDiscardsThe257th) {
  Bytes whole = EchoDatagram(520 * 8 - 8);
  IpSpec s = FragSpec(0x300);
  for (size_t k = 0; k < 256; k++) SendFrag(s, whole, 16 * k + 8, 8, true);  // every other 8-byte block
  EXPECT_EQ(Ip_ReasmCount(), 1u);
  SendFrag(s, whole, 16 * 256 + 8, 8, true);
  EXPECT_EQ(Ip_ReasmCount(), 0u) << "the 257th range discards the datagram";

  // A datagram that stays within the table completes.
  s.id = 0x301;
  Bytes small = EchoDatagram(64 * 8 - 8);
  for (size_t k = 1; k < 64; k += 2) SendFrag(s, small, 8 * k, 8, k != 63);
  for (size_t k = 0; k < 64; k += 2) SendFrag(s, small, 8 * k, 8, true);
  ExpectEchoReply(small);
}

TEST_F(IpTest, LifetimeIsFifteenSecondsOrTheLargestTtl) {
  Bytes whole = EchoDatagram(1600 - 8);
  SendFrag(FragSpec(0x400, 5), whole, 0, 800, true);
  SendFrag(FragSpec(0x401, 64), whole, 0, 800, true);
  EXPECT_EQ(Ip_ReasmCount(), 2u);
  Advance(14900);
  EXPECT_EQ(Ip_ReasmCount(), 2u);
  Advance(200);
  EXPECT_EQ(Ip_ReasmCount(), 1u) << "TTL 5 datagram released after 15 s";
  Advance(63700 - 15100);
  EXPECT_EQ(Ip_ReasmCount(), 1u) << "TTL 64 datagram alive at 63.7 s";
  Advance(400);
  EXPECT_EQ(Ip_ReasmCount(), 0u) << "TTL 64 datagram released after 64 s";
  SendFrag(FragSpec(0x401, 64), whole, 800, 800, false);
  ExpectNoFrame("for the second half of an expired datagram");
}

TEST_F(IpTest, LaterFragmentWithLargerTtlExtendsTheLifetime) {
  Bytes whole = EchoDatagram(2400 - 8);
  SendFrag(FragSpec(0x402, 5), whole, 0, 800, true);
  Advance(10000);
  SendFrag(FragSpec(0x402, 30), whole, 800, 800, true);  // now 10 s: until 40 s
  SendFrag(FragSpec(0x402, 1), whole, 0, 0, true);       // zero bytes at 0: ignored
  Advance(29000);
  EXPECT_EQ(Ip_ReasmCount(), 1u);
  SendFrag(FragSpec(0x402, 5), whole, 1600, 800, false);
  ExpectEchoReply(whole);
}

// -------------------------------------------------------------- dispatch

TEST_F(IpTest, PacketForAnotherGuestIsResentWithAFreshHeader) {
  ASSERT_NE(Arp_Learn(kGuest2Ip, kGuest2Mac.data()), nullptr);
  Bytes udp = BuildUdp(kGuestIp, kGuest2Ip, {.sport = 4000, .dport = 5000}, Pattern(100));
  IpSpec s{.src = kGuestIp, .dst = kGuest2Ip, .proto = kProtoUdp, .ttl = 9, .id = 0x5555, .frag = 0x4000,
           .tos = 0x10, .options = {1, 1, 1, 0}};
  SendIp(s, udp);
  IpView ip;
  ASSERT_TRUE(NextIp(&ip));
  EXPECT_EQ(MacStr(ip.eth.dst), MacStr(kGuest2Mac));
  EXPECT_EQ(IpStr(ip.src), IpStr(kGuestIp));
  EXPECT_EQ(IpStr(ip.dst), IpStr(kGuest2Ip));
  EXPECT_EQ(ip.ttl, 128);
  EXPECT_EQ(ip.ihl, 5);
  EXPECT_EQ(ip.tos, 0);
  EXPECT_EQ(ip.frag, 0) << "DF is not kept";
  EXPECT_EQ(ip.id, 0xFEDD);
  UdpView u;
  ASSERT_TRUE(ParseUdp(ip, &u));
  EXPECT_EQ(u.dport, 5000);
  EXPECT_TRUE(u.payload == Pattern(100));
}

TEST_F(IpTest, TtlOneToTheOutsideDrawsTimeExceededButNotToTheGateway) {
  SendIcmpEcho(Ip4("198.51.100.9"), 3, 4, Pattern(24), 1);
  IpView ip;
  ASSERT_TRUE(NextIp(&ip));
  IcmpView icmp;
  ASSERT_TRUE(ParseIcmp(ip, &icmp));
  EXPECT_EQ(IpStr(ip.src), IpStr(kGatewayIp));
  EXPECT_EQ(IpStr(ip.dst), IpStr(kGuestIp));
  EXPECT_EQ(icmp.type, 11);
  EXPECT_EQ(icmp.code, 0);
  EXPECT_EQ(icmp.rest, 0u);
  ASSERT_EQ(icmp.payload.size(), 20u + 8 + 24) << "the whole offending packet is quoted";
  EXPECT_EQ(icmp.payload[ip::kTtl], 1) << "quoted as received";
  EXPECT_EQ(IpStr(Wire_Get32n(&icmp.payload[ip::kDst])), "198.51.100.9");
  EXPECT_EQ(Ip_ReasmCount(), 0u);

  Bytes echo = EchoDatagram(8);
  SendIp({.src = kGuestIp, .dst = kGatewayIp, .proto = 1, .ttl = 1}, echo);
  ExpectEchoReply(echo);
  SendIp({.src = kGuestIp, .dst = kGatewayIp, .proto = 1, .ttl = 0}, echo);
  ExpectEchoReply(echo);
}

TEST_F(IpTest, UnknownProtocolDrawsProtocolUnreachableAndGreIsDropped) {
  Bytes body = Pattern(1400);
  SendIp({.src = kGuestIp, .dst = Ip4("198.51.100.9"), .proto = 99}, body);
  IpView ip;
  ASSERT_TRUE(NextIp(&ip));
  IcmpView icmp;
  ASSERT_TRUE(ParseIcmp(ip, &icmp));
  EXPECT_EQ(icmp.type, 3);
  EXPECT_EQ(icmp.code, 2);
  EXPECT_EQ(icmp.payload.size(), 536u) << "quote limited to 536 bytes";
  EXPECT_EQ(icmp.payload[ip::kProto], 99);
  EXPECT_TRUE(Bytes(icmp.payload.begin() + 20, icmp.payload.end()) == Bytes(body.begin(), body.begin() + 516));

  SendIp({.src = kGuestIp, .dst = kGatewayIp, .proto = 99}, body);
  ASSERT_TRUE(NextFrame()) << "to the gateway too";
  SendIp({.src = kGuestIp, .dst = Ip4("198.51.100.9"), .proto = kProtoGre}, body);
  ExpectNoFrame("for GRE");
}

// ---------------------------------------------------------------- output

class IpOutputTest : public IpTest {
 protected:
  // Sends `len` bytes of transport data through Ip_Output.
  void Output(uint32_t dst, size_t len, uint8_t proto = 99) {
    SkBuff *skb = SkBuff_Alloc(uint32_t(len + 128));
    ASSERT_NE(skb, nullptr);
    SkBuff_Reserve(skb, 128);
    Bytes p = Pattern(len, 7);
    if (len) memcpy(SkBuff_Put(skb, uint32_t(len)), p.data(), len);
    Ip_Output(dst, kGatewayIp, proto, skb);
    SkBuff_Free(skb);
  }
};

TEST_F(IpOutputTest, FragmentSizesOrderAndOffsets) {
  struct Case {
    size_t len;
    std::vector<std::pair<uint32_t, size_t>> frames;  // (offset bytes, payload), in the order sent
  } cases[] = {
      {1480, {{0, 1480}}},
      {1481, {{1480, 1}, {0, 1480}}},
      {2960, {{1480, 1480}, {0, 1480}}},
      {4000, {{2960, 1040}, {1480, 1480}, {0, 1480}}},
      {0, {{0, 0}}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE("length " + std::to_string(c.len));
    Output(kGuestIp, c.len);
    std::vector<IpView> got;
    IpView whole;
    ASSERT_TRUE(ReadDatagram(&whole, &got));
    ASSERT_EQ(got.size(), c.frames.size());
    for (size_t i = 0; i < got.size(); i++) {
      EXPECT_EQ(got[i].OffsetBytes(), c.frames[i].first) << "frame " << i;
      EXPECT_EQ(got[i].payload.size(), c.frames[i].second) << "frame " << i;
      EXPECT_EQ(got[i].MoreFragments(), got[i].OffsetBytes() + got[i].payload.size() != c.len) << "frame " << i;
      EXPECT_FALSE(got[i].DontFragment());
      EXPECT_EQ(got[i].ttl, 128);
      EXPECT_EQ(got[i].tos, 0);
      EXPECT_LE(got[i].eth.payload.size(), 1500u);
      EXPECT_EQ(got[i].id, got[0].id) << "one identification per packet";
    }
    EXPECT_TRUE(whole.payload == Pattern(c.len, 7));
  }
}

TEST_F(IpOutputTest, IdentificationsCountFromFEDDAndWrap) {
  std::vector<uint16_t> ids;
  for (int i = 0; i < 0x125; i++) {
    Output(kGuestIp, 8);
    IpView ip;
    ASSERT_TRUE(NextIp(&ip));
    ids.push_back(ip.id);
  }
  EXPECT_EQ(ids.front(), 0xFEDD);
  EXPECT_EQ(ids[0x122], 0xFFFF);
  EXPECT_EQ(ids[0x123], 0x0000);
  EXPECT_EQ(ids[0x124], 0x0001);
  for (size_t i = 1; i < ids.size(); i++) EXPECT_EQ(uint16_t(ids[i - 1] + 1), ids[i]) << "at " << i;
}

TEST_F(IpOutputTest, DestinationMacByAddress) {
  struct Case {
    const char *dst;
    Mac mac;
  } cases[] = {
      {"255.255.255.255", kBroadcastMac},
      {"10.254.254.255", kBroadcastMac},
      {"10.254.254.0", kBroadcastMac},
      {"0.1.2.3", kBroadcastMac},
      {"240.0.0.1", kBroadcastMac},
      {"239.1.2.3", {0x01, 0x00, 0x5E, 0x01, 0x02, 0x03}},
      {"224.129.2.3", {0x01, 0x00, 0x5E, 0x01, 0x02, 0x03}},
      {"224.0.0.251", {0x01, 0x00, 0x5E, 0x00, 0x00, 0xFB}},
      {"10.254.254.10", kGuestMac},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.dst);
    Output(Ip4(c.dst), 16);
    IpView ip;
    ASSERT_TRUE(NextIp(&ip));
    EXPECT_EQ(MacStr(ip.eth.dst), MacStr(c.mac));
    EXPECT_EQ(IpStr(ip.dst), c.dst);
  }
  EXPECT_EQ(Arp_Count(), 1u) << "no ARP entry for broadcast or multicast addresses";
}

TEST_F(IpOutputTest, FragmentsOfAPacketForAnUnknownGuestWaitForArpInOrder) {
  Output(kGuest2Ip, 3000);
  auto req = NextFrame();
  ASSERT_TRUE(req);
  ArpView a;
  ASSERT_TRUE(ParseArp(*req, &a));
  EXPECT_EQ(IpStr(a.tpa), IpStr(kGuest2Ip));
  EXPECT_FALSE(NextFrame()) << "one request for all three fragments";
  SendArp({.op = 2, .sha = kGuest2Mac, .spa = kGuest2Ip, .tha = kGatewayMac, .tpa = kGatewayIp}, kGuest2Mac,
          kGatewayMac);
  std::vector<IpView> got;
  IpView whole;
  ASSERT_TRUE(ReadDatagram(&whole, &got));
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].OffsetBytes(), 2960u);
  EXPECT_EQ(got[2].OffsetBytes(), 0u);
  for (const auto &g : got) EXPECT_EQ(MacStr(g.eth.dst), MacStr(kGuest2Mac));
  EXPECT_TRUE(whole.payload == Pattern(3000, 7));
}

TEST_F(IpTest, LargeEchoIsReassembledAndAnsweredInFragments) {
  Bytes whole = EchoDatagram(20000);
  IpSpec s = FragSpec(0x500);
  for (size_t off = 0; off < whole.size(); off += 1480)
    SendFrag(s, whole, off, std::min<size_t>(1480, whole.size() - off), off + 1480 < whole.size());
  std::vector<IpView> parts;
  IpView ip;
  ASSERT_TRUE(ReadDatagram(&ip, &parts));
  EXPECT_EQ(parts.size(), 14u);
  IcmpView icmp;
  ASSERT_TRUE(ParseIcmp(ip, &icmp));
  EXPECT_EQ(icmp.type, 0);
  EXPECT_TRUE(icmp.payload == Bytes(whole.begin() + 8, whole.end()));
}

}  // namespace
}  // namespace wire
