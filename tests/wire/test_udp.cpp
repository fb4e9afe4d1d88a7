// UDP NAT through host sockets on loopback, and the DHCP server, at the wire.
#include "wire/harness.h"

namespace wire {
namespace {

TEST_F(WireTest, UdpIsRelayedThroughAHostSocketBothWays) {
  int srv = Sock(SOCK_DGRAM);
  Send(G({.dst = kLo, .proto = 17}, Udp(kGuest, kLo, 5000, Port(srv), Pattern(40))));
  EXPECT_EQ(Recv(srv, 40), Pattern(40));
  UdpFlow *flow = Udp_FindFlow(kGuest, htons(5000));
  ASSERT_NE(flow, nullptr);
  sockaddr_in to{AF_INET, flow->local.sin_port, {kLo}, {}};
  for (const Bytes &d : {Pattern(300, 9), Bytes{}}) {  // 127.0.0.1 is shown as the gateway
    ASSERT_EQ(sendto(srv, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to), ssize_t(d.size()));
    EXPECT_TRUE(Check(Next(), {.dst = kGuestMac, .sport = Port(srv), .dport = 5000, .ipSrc = kGw, .ipDst = kGuest,
                               .data = d}));
  }
}

// A flow closes 60 s after the guest's last datagram; replies do not count.
TEST_F(WireTest, UdpFlowExpiresSixtySecondsAfterTheGuestsLastDatagram) {
  int srv = Sock(SOCK_DGRAM);
  const Bytes out = G({.dst = kLo, .proto = 17}, Udp(kGuest, kLo, 7003, Port(srv), {1}));
  Send(out);
  Advance(30000);
  Send(out);
  Advance(20000);
  sockaddr_in to{AF_INET, Udp_FindFlow(kGuest, htons(7003))->local.sin_port, {kLo}, {}};
  ASSERT_EQ(sendto(srv, "x", 1, 0, reinterpret_cast<sockaddr *>(&to), sizeof to), 1);
  EXPECT_TRUE(Check(Next(), {.dport = 7003}));
  Advance(39900);
  EXPECT_EQ(Udp_FlowCount(), 1u);
  Advance(200);
  EXPECT_EQ(Udp_FlowCount(), 0u);
}

// The host stack's port unreachable about a relayed datagram reaches the
// guest quoting the guest's own datagram.
TEST_F(WireTest, PortUnreachableFromTheHostQuotesTheGuestsDatagram) {
  ASSERT_TRUE(Icmp_HaveSocket()) << "the raw ICMP socket needs root";
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
}

// A BOOTP message with the given op, flags, yiaddr and client MAC, the
// rest zero; options follow the cookie unless there is no cookie.
Bytes Bootp(uint8_t op, uint16_t flags, uint32_t yiaddr, const Mac &mac, const Bytes &opts, bool cookie = true) {
  Bytes m(236);
  m[0] = op, m[1] = 1, m[2] = 6;
  Wire_Put32(&m[4], 0x11223344);
  Wire_Put16(&m[10], flags);
  Wire_Put32n(&m[16], yiaddr);
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
  return Cat(Cat(o, type ? Bytes{54, 4, 10, 254, 254, 1} : Bytes{}), {255});
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
      {"DISCOVER with the broadcast flag", req(Bootp(1, 0x8000, 0, c1, {53, 1, 1, 255}), c1), reply(c1, 128, 0x8000, 2)},
      {"plain BOOTP of 236 bytes", req(Bootp(1, 0, 0, c2, {}, false), c2), reply(c2, 129, 0, 0)},
      {"REQUEST in an overloaded file field, known client", req(overload, c1), reply(c1, 128, 0, 5)},
      {"DECLINE", req(Bootp(1, 0, 0, c1, {53, 1, 4, 255}), c1), {}},
      {"235 bytes", req(Sub(Bootp(1, 0, 0, c1, {}, false), 0, 235), c1), {}},
  });
}

}  // namespace
}  // namespace wire
