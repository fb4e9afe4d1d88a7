// ARP, IPv4 input and output with reassembly, ICMP, UDP through host sockets
// on loopback, and the DHCP server, at the wire.
#include <random>

#include "wire/harness.h"

namespace wire {
namespace {

Bytes ArpFrame(uint16_t op, const Mac &sha, uint32_t spa, uint32_t tpa) {
  return Eth(op == 2 ? kGwMac : kBcast, sha, 0x0806, Arp(op, sha, spa, tpa, op == 2 ? kGwMac : Mac{}));
}

TEST_F(WireTest, ArpRequestsForTheGatewayAreAnsweredAndNothingElse) {
  Arp_Reset();
  Run({
      {"request for the gateway", ArpFrame(1, kGuestMac, kGuest, kGw),
       Want{.dst = kGuestMac, .data = Arp(2, kGwMac, kGw, kGuest, kGuestMac)}},
      {"request for another guest", ArpFrame(1, kGuest2Mac, kGuest2, kGuest), {}},
      {"operation 3", ArpFrame(3, kGuest2Mac, kGuest2, kGw), {}},
      {"sender 0.1.2.3", ArpFrame(1, kGuest2Mac, A(0, 1, 2, 3), kGw), {}},
      {"sender the subnet broadcast", ArpFrame(1, kGuest2Mac, kBcastIp, kGw), {}},
      {"group MAC", ArpFrame(1, {3, 0x7D, 0x33, 0, 0, 9}, kGuest2, kGw), {}},
  });
  EXPECT_EQ(Arp_Count(), 1u) << "only the gateway's requester is learned";
}

// Packets for a guest whose MAC is unknown wait while the gateway asks once
// a second; after the seventh request the queue is dropped. A resolved entry
// expires after 300 s and the next packet starts a new discovery.
TEST_F(WireTest, ArpDiscoveryRetriesQueuesInOrderAndExpires) {
  Arp_Reset();
  auto ping = [&](uint16_t seq) { Send(G({}, Icmp(8, 0, 7, seq, {}))); };
  const Want request{.dst = kBcast, .data = Arp(1, kGwMac, kGw, kGuest)};
  ping(1), ping(2);
  for (int second = 0; second < 7; second++, Advance(1000)) EXPECT_TRUE(Check(Next(0), request)) << second;
  const Bytes answer = ArpFrame(2, kGuestMac, kGuest, kGw);
  Send(answer);
  EXPECT_EQ(Out().size(), 0u) << "one request a second, none after the seventh, and the queue went with it";
  ping(3);
  EXPECT_TRUE(Check(Next(0), {.dst = kGuestMac, .rest = 7 << 16 | 3})) << "resolved";
  Advance(300 * 1000);
  ping(4), ping(5);
  EXPECT_TRUE(Check(Next(0), request)) << "expired";
  Send(answer);
  auto out = Out();  // in the order queued
  ASSERT_EQ(out.size(), 2u);
  EXPECT_TRUE(Check(out[0], {.dst = kGuestMac, .rest = 7 << 16 | 4}) && Check(out[1], {.rest = 7 << 16 | 5}));
}

TEST_F(WireTest, IpPacketsAreAnsweredAsTheirHeadersSay) {
  ASSERT_NE(Arp_Learn(kGuest2, kGuest2Mac.data()), nullptr);
  const uint32_t out = A(198, 51, 100, 9);
  const Bytes echo = Icmp(8, 0, 0x1D, 1, Pattern(32)), big = Pattern(1400), udp = Udp(kGuest, kGuest2, 1, 2, {5});
  const Want reply{.dst = kGuestMac, .ipSrc = kGw, .ipDst = kGuest, .rest = 0x1D0001, .proto = 1, .ttl = 128,
                   .type = 0, .data = Pattern(32)};
  Bytes v6 = G({}, echo), badSum = G({}, echo);
  v6[14] = 0x65, badSum[24] ^= 0xFF;
  Run({
      {"echo to the gateway", G({}, echo), reply},
      {"Ethernet padding cut at the total length", Cat(G({}, echo), Bytes(18, 0xEE)), reply},
      {"options skipped", G({.opt = {0x94, 4, 0, 0}}, echo), reply},
      {"header checksum not looked at", badSum, reply},
      {"echo to the subnet broadcast", G({.dst = kBcastIp}, echo), reply},
      {"echo to 255.255.255.255", G({.dst = 0xFFFFFFFF}, echo), reply},
      {"reply to a multicast source", G({.src = A(239, 129, 2, 3)}, echo), Want{.dst = Mac{1, 0, 0x5E, 1, 2, 3}}},
      {"reply to a 0.x source", G({.src = A(0, 1, 2, 3)}, echo), Want{.dst = kBcast}},
      {"IHL 4", G({.ihl = 4}, echo), {}},
      {"version 6", v6, {}},
      {"total length beyond the frame", G({.len = 61}, echo), {}},
      {"fragment with don't-fragment", G({.frag = 0x6000}, echo), {}},
      {"TTL 1 to the outside", G({.dst = out, .ttl = 1}, echo),
       Want{.ipSrc = kGw, .ipDst = kGuest, .rest = 0, .type = 11, .code = 0, .data = Ip({.dst = out, .ttl = 1}, echo)}},
      {"unknown protocol", G({.dst = out, .proto = 99}, big),
       Want{.ipSrc = kGw, .type = 3, .code = 2, .data = Sub(Ip({.dst = out, .proto = 99}, big), 0, 536)}},
      {"GRE", G({.dst = out, .proto = 47}, big), {}},
      {"to another guest", G({.dst = kGuest2, .proto = 17, .ttl = 9, .tos = 16, .frag = 0x4000, .opt = {1, 1, 1, 0}},
                             udp),
       Want{.dst = kGuest2Mac, .frag = 0, .ipSrc = kGuest, .ipDst = kGuest2, .ttl = 128, .data = Bytes{5}}},
  });
}

// Any cutting of a datagram, sent in any order, is answered once, after the
// last missing piece, with the request's payload (the answer fragmented to
// the MTU when larger). A second copy of a piece discards the datagram,
// unless it is the last piece.
TEST_F(WireTest, FragmentsInAnyOrderAreReassembledOnce) {
  std::mt19937 rng(7);
  for (uint16_t round = 0; round < 60; round++) {
    SCOPED_TRACE(round);
    Bytes echo = Icmp(8, 0, 0x77, round, Pattern(8 + rng() % 4000, uint8_t(round)));
    std::vector<size_t> cuts = {0, echo.size()};
    for (int k = rng() % 9; k > 0; k--) cuts.push_back(8 * (1 + rng() % ((echo.size() - 1) / 8)));
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    std::vector<size_t> order(cuts.size() - 1);
    for (size_t i = 0; i < order.size(); i++) order[i] = i;
    std::shuffle(order.begin(), order.end(), rng);
    bool dup = round % 3 == 0 && order.size() > 1, answered = !dup || cuts[order[0] + 1] == echo.size();
    if (dup) order.insert(order.begin() + 1, order[0]);
    for (size_t i : order) {
      EXPECT_EQ(Out().size(), 0u) << "answered before the last piece";
      Send(Frag({.ttl = uint8_t(1 + rng() % 60), .id = round}, echo, cuts[i], cuts[i + 1] - cuts[i],
                cuts[i + 1] != echo.size()));
    }
    auto out = Out();
    Bytes reply;
    EXPECT_TRUE(answered ? Join(out, &reply) && reply.size() == echo.size() && reply[0] == 0 &&
                               Sum(reply.data(), reply.size()) == 0 &&
                               std::equal(reply.begin() + 4, reply.end(), echo.begin() + 4)
                         : out.empty());
  }
  // Found by fuzzing: pieces that reach past the largest datagram (the last
  // at offset 65528 with 8000 bytes) make no datagram and draw no answer.
  Bytes huge = Icmp(8, 0, 9, 9, Pattern(65528 + 8000 - 8));
  for (size_t off = 0, len; off < huge.size(); off += len) {
    len = off < 65528 ? std::min<size_t>(1480, 65528 - off) : 8000;
    Send(Frag({.id = 9999}, huge, off, len, off < 65528));
  }
  EXPECT_EQ(Out().size(), 0u);
}

TEST_F(WireTest, ReassemblyLivesFifteenSecondsOrTheLargestTtl) {
  Bytes echo = Icmp(8, 0, 1, 1, Pattern(1000));
  Send(Frag({.ttl = 5, .id = 1}, echo, 0, 504, true));
  Send(Frag({.ttl = 64, .id = 2}, echo, 0, 504, true));
  Lives(15000, Ip_ReasmCount, 2, 1);
  Lives(48900, Ip_ReasmCount, 1);
}

// A flow's host socket relays both ways; the flow closes 60 s after the
// guest's last datagram: replies do not count.
TEST_F(WireTest, UdpIsRelayedBothWaysUntilSixtySecondsAfterTheGuestsLastDatagram) {
  int srv = Sock(SOCK_DGRAM);
  const Bytes out = G({.dst = kLo, .proto = 17}, Udp(kGuest, kLo, 5000, Port(srv), Pattern(40)));
  Send(out);
  EXPECT_EQ(Recv(srv, 40), Pattern(40));
  UdpFlow *flow = Udp_FindFlow(kGuest, htons(5000));
  ASSERT_NE(flow, nullptr);
  sockaddr_in to{AF_INET, flow->local.sin_port, {kLo}, {}};
  Advance(30000), Send(out), Advance(20000);
  for (const Bytes &d : {Pattern(300, 9), Bytes{}}) {  // 127.0.0.1 is shown as the gateway
    ASSERT_EQ(sendto(srv, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to), ssize_t(d.size()));
    EXPECT_TRUE(Check(Next(), {.dst = kGuestMac, .sport = Port(srv), .dport = 5000, .ipSrc = kGw, .ipDst = kGuest,
                               .data = d}));
  }
  Lives(40000, Udp_FlowCount, 1);
}

// Past udpFlows (2) a new guest port evicts the least recently used flow;
// a flow's socket gives udpReadBudget (2) datagrams per loop pass.
TEST_F(WireTest, UdpLimitsEvictTheIdlestFlowAndSpreadReads) {
  Limits_Set(kLimitUdpFlows, 2), Limits_Set(kLimitUdpReadBudget, 2);
  int srv = Sock(SOCK_DGRAM);
  for (uint16_t port : {1, 2, 1, 3}) Send(G({.dst = kLo, .proto = 17}, Udp(kGuest, kLo, port, Port(srv), {})));
  EXPECT_TRUE(Udp_FindFlow(kGuest, htons(1)) && !Udp_FindFlow(kGuest, htons(2)) && Udp_FindFlow(kGuest, htons(3)));
  sockaddr_in to{AF_INET, Udp_FindFlow(kGuest, htons(3))->local.sin_port, {kLo}, {}};
  for (int i = 0; i < 5; i++) sendto(srv, "x", 1, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
  for (size_t want : {2, 2, 1}) EXPECT_EQ((Step(), Out().size()), want);
  EXPECT_TRUE(Limits_Count(kLimitUdpFlows) == 1 && Limits_Count(kLimitUdpReadBudget) == 2);
}

// A BOOTP message with the given op, flags, yiaddr and client MAC, the
// rest zero; options follow the cookie unless there is no cookie.
Bytes Bootp(uint8_t op, uint16_t flags, uint32_t yiaddr, const Mac &mac, const Bytes &opts, bool cookie = true) {
  Bytes m(236);
  m[0] = op, m[1] = 1, m[2] = 6;
  Wire_Put32(&m[4], 0x11223344), Wire_Put16(&m[10], flags), Wire_Put32n(&m[16], yiaddr);
  std::copy(mac.begin(), mac.end(), m.begin() + 28);
  return cookie ? Cat(Cat(m, {99, 130, 83, 99}), opts) : m;
}

// The options of a reply giving 10.254.254.last, with message type `type` (0: untyped).
Bytes Options(uint8_t last, uint8_t type) {
  char name[12];
  snprintf(name, sizeof name, "vh0AFEFE%02X", last);
  const char *domain = "virtual.localhost";
  Bytes o = Cat(type ? Bytes{53, 1, type} : Bytes{}, {1, 4, 255, 255, 255, 0, 3, 4, 10, 254, 254, 1, 6, 4, 10, 254, 254, 1});
  o = Cat(Cat(Cat(Cat(o, {12, 10}), Bytes(name, name + 10)), {15, 17}), Bytes(domain, domain + 17));
  o = Cat(o, {28, 4, 10, 254, 254, 255});
  return Cat(o, type ? Bytes{54, 4, 10, 254, 254, 1, 255} : Bytes{255});
}

TEST_F(WireTest, DhcpGivesAddressesFromTheCounterAndTheArpTable) {
  g_settings.enableNatDhcp = 1;
  const Mac c1 = {0x02, 0x7D, 0x33, 0, 1, 1}, c2 = {0x02, 0x7D, 0x33, 0, 1, 2};
  auto req = [](const Bytes &msg, const Mac &mac) {
    return Eth(kBcast, mac, 0x0800, Ip({.src = 0, .dst = 0xFFFFFFFF, .proto = 17}, Udp(0, 0xFFFFFFFF, 68, 67, msg)));
  };
  auto reply = [](const Mac &mac, uint8_t last, uint16_t flags, uint8_t type) {
    const uint32_t y = A(10, 254, 254, last);
    return Want{.dst = flags ? kBcast : mac, .sport = 67, .dport = 68, .ipSrc = kGw, .ipDst = flags ? 0xFFFFFFFF : y,
                .data = Bootp(2, flags, y, mac, Options(last, type))};
  };
  // The type in the options is DISCOVER; the overloaded file field makes it REQUEST.
  Bytes overload = Bootp(1, 0, 0, c1, {53, 1, 1, 52, 1, 1, 255});
  std::copy_n(Bytes{53, 1, 3, 255}.begin(), 4, overload.begin() + 108);
  Run({
      {"DISCOVER, broadcast flag", req(Bootp(1, 0x8000, 0, c1, {53, 1, 1, 255}), c1), reply(c1, 128, 0x8000, 2)},
      {"plain BOOTP of 236 bytes", req(Bootp(1, 0, 0, c2, {}, false), c2), reply(c2, 129, 0, 0)},
      {"REQUEST in an overloaded file field, known client", req(overload, c1), reply(c1, 128, 0, 5)},
      {"DECLINE", req(Bootp(1, 0, 0, c1, {53, 1, 4, 255}), c1), {}},
      {"235 bytes", req(Sub(Bootp(1, 0, 0, c1, {}, false), 0, 235), c1), {}},
  });
}

}  // namespace
}  // namespace wire
