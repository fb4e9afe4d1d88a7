// DHCP server at the wire: guests broadcast BOOTP/DHCP requests and get
// their address, netmask, router, DNS server and names; addresses are
// chosen through the ARP table and the 128..250 counter.
#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "core/settings.h"
#include "nat/dhcp.h"
#include "nat/udp.h"
#include "packet/arp.h"
#include "packet/wire.h"
#include "wire/harness.h"

namespace wire {
namespace {

WIRE_TEARDOWN(Dhcp_Reset);

constexpr Mac kClient1 = {0x02, 0x7D, 0x33, 0x00, 0x01, 0x01};
constexpr Mac kClient2 = {0x02, 0x7D, 0x33, 0x00, 0x01, 0x02};

struct Request {
  uint8_t op = 1, htype = 1, hlen = 6;
  uint32_t xid = 0x11223344;
  uint16_t flags = 0x8000;  // broadcast
  uint32_t giaddr = 0;      // network order
  Mac mac = kClient1;
  bool cookie = true;
  Bytes options{};          // after the cookie (an end option is added when not empty)
  Bytes file{};             // start of the file field
  Bytes sname{};            // start of the sname field
  int truncateTo = -1;      // cut the message to this many bytes
};

Bytes BuildBootp(const Request &r) {
  Bytes m(bootp::kFixedLen, 0);
  m[bootp::kOp] = r.op;
  m[bootp::kHtype] = r.htype;
  m[bootp::kHlen] = r.hlen;
  m[bootp::kHops] = 3;
  Wire_Put32(&m[bootp::kXid], r.xid);
  Wire_Put16(&m[bootp::kSecs], 9);
  Wire_Put16(&m[bootp::kFlags], r.flags);
  Wire_Put32n(&m[bootp::kCiaddr], Ip4("10.254.254.77"));
  Wire_Put32n(&m[bootp::kGiaddr], r.giaddr);
  memcpy(&m[bootp::kChaddr], r.mac.data(), 6);
  std::copy(r.sname.begin(), r.sname.end(), m.begin() + bootp::kSname);
  std::copy(r.file.begin(), r.file.end(), m.begin() + bootp::kFile);
  if (r.cookie) {
    m.resize(bootp::kOptions);
    Wire_Put32(&m[bootp::kCookie], bootp::kMagicCookie);
    m.insert(m.end(), r.options.begin(), r.options.end());
    if (!r.options.empty()) m.push_back(bootp::kOptEnd);
  }
  if (r.truncateTo >= 0) m.resize(size_t(r.truncateTo));
  return m;
}

Bytes MsgType(uint8_t type) { return {bootp::kOptMsgType, 1, type}; }
Bytes Concat(Bytes a, const Bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

/// The options a reply for `yiaddr` must carry, in order.
Bytes WantOptions(uint32_t yiaddrN, int replyType) {
  char name[16];
  snprintf(name, sizeof name, "vh%08X", unsigned(ntohl(yiaddrN)));
  Bytes o;
  if (replyType) o = MsgType(uint8_t(replyType));
  o = Concat(o, {1, 4, 255, 255, 255, 0});
  o = Concat(o, {3, 4, 10, 254, 254, 1});
  o = Concat(o, {6, 4, 10, 254, 254, 1});
  o = Concat(o, {12, uint8_t(strlen(name))});
  o.insert(o.end(), name, name + strlen(name));
  const char *domain = "virtual.localhost";
  o = Concat(o, {15, uint8_t(strlen(domain))});
  o.insert(o.end(), domain, domain + strlen(domain));
  o = Concat(o, {28, 4, 10, 254, 254, 255});
  if (replyType) o = Concat(o, {54, 4, 10, 254, 254, 1});
  o.push_back(255);
  return o;
}

struct Reply {
  IpView ip;
  UdpView udp;
  uint32_t yiaddr = 0;  // network order
  Bytes options{};          // after the cookie
};

class DhcpTest : public WireTest {
 protected:
  DhcpTest() { preLearnGuest_ = false; }
  void SetUp() override {
    WireTest::SetUp();
    g_settings.enableNatDhcp = 1;
  }

  /// Broadcasts the request from its client MAC, from 0.0.0.0 port `sport`.
  void Send(const Request &r, uint16_t sport = 68, uint32_t src = 0, uint32_t dst = INADDR_BROADCAST) {
    IpSpec s;
    s.src = src;
    s.dst = dst;
    s.proto = kProtoUdp;
    Mac dstMac = dst == INADDR_BROADCAST ? kBroadcastMac : kGatewayMac;
    SendIp(s, BuildUdp(src, dst, {.sport = sport, .dport = 67}, BuildBootp(r)), r.mac, dstMac);
  }

  /// The reply frame, checked for the fields every reply carries.
  ::testing::AssertionResult GetReply(const Request &r, Reply *out, uint16_t dport = 68) {
    auto f = WaitFrame(5);
    if (!f) return ::testing::AssertionFailure() << "no reply";
    auto res = ParseIp(*f, &out->ip);
    if (!res) return res;
    res = ParseUdp(out->ip, &out->udp);
    if (!res) return res;
    const Bytes &m = out->udp.payload;
    if (IpStr(out->ip.src) != IpStr(kGatewayIp)) return ::testing::AssertionFailure() << "source " << IpStr(out->ip.src);
    if (out->udp.sport != 67 || out->udp.dport != dport)
      return ::testing::AssertionFailure() << "ports " << out->udp.sport << " -> " << out->udp.dport;
    if (m.size() < bootp::kOptions) return ::testing::AssertionFailure() << "reply of " << m.size() << " bytes";
    Bytes zeros(bootp::kSnameLen + bootp::kFileLen, 0);
    Bytes chaddr(16, 0);
    memcpy(chaddr.data(), r.mac.data(), 6);
    struct { const char *field; bool ok; } checks[] = {
        {"op", m[bootp::kOp] == 2},
        {"htype/hlen", m[bootp::kHtype] == 1 && m[bootp::kHlen] == 6},
        {"hops", m[bootp::kHops] == 0},
        {"xid", Wire_Get32(&m[bootp::kXid]) == r.xid},
        {"secs", Wire_Get16(&m[bootp::kSecs]) == 0},
        {"flags", Wire_Get16(&m[bootp::kFlags]) == r.flags},
        {"ciaddr", Wire_Get32(&m[bootp::kCiaddr]) == 0},
        {"siaddr", Wire_Get32(&m[bootp::kSiaddr]) == 0},
        {"giaddr", Wire_Get32n(&m[bootp::kGiaddr]) == r.giaddr},
        {"chaddr", Bytes(&m[bootp::kChaddr], &m[bootp::kChaddr] + 16) == chaddr},
        {"sname/file", Bytes(&m[bootp::kSname], &m[bootp::kCookie]) == zeros},
        {"cookie", Wire_Get32(&m[bootp::kCookie]) == bootp::kMagicCookie},
    };
    for (auto &c : checks)
      if (!c.ok) return ::testing::AssertionFailure() << "reply field " << c.field << ": " << HexStr(m, 300);
    out->yiaddr = Wire_Get32n(&m[bootp::kYiaddr]);
    out->options.assign(m.begin() + bootp::kOptions, m.end());
    return ::testing::AssertionSuccess();
  }

  /// Broadcasts a DHCPDISCOVER from `mac`: the offered address, or why none.
  std::string Offer(const Mac &mac = kClient1) {
    Request r;
    r.mac = mac;
    r.options = MsgType(bootp::kDiscover);
    Send(r);
    Reply rep;
    auto ok = GetReply(r, &rep);
    return ok ? IpStr(rep.yiaddr) : std::string("no offer: ") + ok.message();
  }
};

// --------------------------------------------------------------- offers

TEST_F(DhcpTest, FirstDiscoverGetsTheFirstAddressWithEveryOptionInOrder) {
  Request r;
  r.options = MsgType(bootp::kDiscover);
  Send(r);
  Reply rep;
  ASSERT_TRUE(GetReply(r, &rep));
  EXPECT_EQ(IpStr(rep.yiaddr), "10.254.254.128");
  EXPECT_EQ(MacStr(rep.ip.eth.dst), MacStr(kBroadcastMac)) << "broadcast flag set";
  EXPECT_EQ(IpStr(rep.ip.dst), "255.255.255.255");
  EXPECT_EQ(rep.udp.payload.size(), 305u);
  EXPECT_EQ(HexStr(rep.options, 100), HexStr(WantOptions(rep.yiaddr, bootp::kOffer), 100));
  std::string opts(rep.options.begin(), rep.options.end());
  EXPECT_NE(opts.find("vh0AFEFE80"), std::string::npos);
  uint8_t mac[6];
  EXPECT_TRUE(Arp_EntryMac(Arp_Find(Ip4("10.254.254.128")), mac)) << "the address is learned at once";
}

TEST_F(DhcpTest, SecondClientGetsTheNextAddressAndTheFirstGetsItsOwnBackUnicast) {
  Request one, two;
  one.options = two.options = MsgType(bootp::kDiscover);
  two.mac = kClient2;
  two.xid = 0x55667788;
  Send(one);
  Reply r1, r2;
  ASSERT_TRUE(GetReply(one, &r1));
  Send(two);
  ASSERT_TRUE(GetReply(two, &r2));
  EXPECT_EQ(IpStr(r1.yiaddr), "10.254.254.128");
  EXPECT_EQ(IpStr(r2.yiaddr), "10.254.254.129");
  EXPECT_EQ(HexStr(r2.options, 100), HexStr(WantOptions(r2.yiaddr, bootp::kOffer), 100));

  Request again = one;
  again.options = MsgType(bootp::kRequest);
  again.flags = 0;
  Send(again);
  Reply r3;
  ASSERT_TRUE(GetReply(again, &r3));
  EXPECT_EQ(IpStr(r3.yiaddr), "10.254.254.128");
  EXPECT_EQ(r3.options[2], bootp::kAck);
  EXPECT_EQ(IpStr(r3.ip.dst), "10.254.254.128") << "no broadcast flag: unicast to the address";
  EXPECT_EQ(MacStr(r3.ip.eth.dst), MacStr(kClient1));
}

TEST_F(DhcpTest, RenewalUnicastToTheGatewayFromAnotherPortIsAnswered) {
  Request r;
  r.options = MsgType(bootp::kRequest);
  r.flags = 0;
  Send(r, 1068, Ip4("10.254.254.128"), kGatewayIp);
  Reply rep;
  ASSERT_TRUE(GetReply(r, &rep, 1068));
  EXPECT_EQ(IpStr(rep.yiaddr), "10.254.254.128");
  EXPECT_EQ(HexStr(rep.options, 100), HexStr(WantOptions(rep.yiaddr, bootp::kAck), 100));
}

TEST_F(DhcpTest, UntypedRequestsGetAPlainBootpReply) {
  struct Case {
    const char *what;
    Request req;
  } cases[] = {
      {"no cookie", {.cookie = false}},
      {"cookie without option 53", {.options = {bootp::kOptHostName, 2, 'x', 'y'}}},
      {"option 53 of length 2", {.options = {bootp::kOptMsgType, 2, 1, 1}}},
      {"message type only in an overloaded file field",
       {.options = {bootp::kOptOverload, 1, 1}, .file = Concat(MsgType(bootp::kDiscover), {255})}},
      {"truncated options with no type", {.options = {bootp::kOptHostName, 40, 'x'}}},
  };
  uint8_t last = 128;
  for (auto &c : cases) {
    c.req.mac[5] = last;  // a new client each time
    Send(c.req);
    Reply rep;
    ASSERT_TRUE(GetReply(c.req, &rep)) << c.what;
    EXPECT_EQ(rep.udp.payload.size(), 296u) << c.what;
    EXPECT_EQ(HexStr(rep.options, 100), HexStr(WantOptions(rep.yiaddr, 0), 100)) << c.what;
    EXPECT_EQ(Wire_Get32(reinterpret_cast<const uint8_t *>(&rep.yiaddr)) & 0xFF, last) << c.what;
    last++;
  }
}

TEST_F(DhcpTest, OverloadedFieldsReplaceTheMessageType) {
  struct Case {
    const char *what;
    uint8_t overload;
    uint8_t fileType, snameType;  // message type carried there, 0 = none
    int want;
  } cases[] = {
      {"file parsed", 1, bootp::kRequest, 0, bootp::kAck},
      {"sname parsed", 2, 0, bootp::kRequest, bootp::kAck},
      {"both: sname parsed last", 3, bootp::kRequest, bootp::kDiscover, bootp::kOffer},
      {"sname flag only: file ignored", 2, bootp::kRequest, 0, bootp::kOffer},
      {"file flag only: sname ignored", 1, 0, bootp::kRequest, bootp::kOffer},
  };
  uint8_t n = 1;
  for (const Case &c : cases) {
    Request r;
    r.mac[5] = n++;
    r.options = Concat(MsgType(bootp::kDiscover), {bootp::kOptOverload, 1, c.overload});
    if (c.fileType) r.file = Concat(Concat({0, 0}, MsgType(c.fileType)), {255});
    if (c.snameType) r.sname = Concat(MsgType(c.snameType), {255});
    Send(r);
    Reply rep;
    ASSERT_TRUE(GetReply(r, &rep)) << c.what;
    EXPECT_EQ(rep.options[2], c.want) << c.what;
  }
}

// -------------------------------------------------------------- refusals

TEST_F(DhcpTest, RequestsThatGetNoAnswer) {
  struct Case {
    const char *what;
    Request req;
  } cases[] = {
      {"DHCPDECLINE", {.options = MsgType(4)}},
      {"DHCPRELEASE", {.options = MsgType(7)}},
      {"DHCPINFORM", {.options = MsgType(8)}},
      {"op 2", {.op = 2}},
      {"htype 6", {.htype = 6}},
      {"hlen 16", {.hlen = 16}},
      {"235 bytes", {.cookie = false, .truncateTo = 235}},
      {"type 0 from an overloaded file",
       {.options = Concat(MsgType(bootp::kDiscover), {bootp::kOptOverload, 1, 1}), .file = {bootp::kOptMsgType, 0, 255}}},
      {"DHCPOFFER from a guest", {.options = MsgType(bootp::kOffer)}},
  };
  for (auto &c : cases) {
    Send(c.req);
    ExpectNoFrame(c.what);
  }
  EXPECT_EQ(Arp_Find(Ip4("10.254.254.128")), nullptr) << "no address was taken";
}

TEST_F(DhcpTest, DisabledServerAnswersNothing) {
  g_settings.enableNatDhcp = 0;
  Request r;
  r.options = MsgType(bootp::kDiscover);
  Send(r);
  ExpectNoFrame("enableNatDhcp 0");
  Send(r, 68, Ip4("10.254.254.128"), kGatewayIp);
  ExpectNoFrame("enableNatDhcp 0, unicast");
  EXPECT_EQ(Udp_FlowCount(), 0u);
}

// ------------------------------------------------------ address choice

TEST_F(DhcpTest, ResolvedArpEntryOnTheSubnetIsGivenBack) {
  ASSERT_NE(Arp_Learn(Ip4("10.254.254.50"), kClient1.data()), nullptr);
  EXPECT_EQ(Offer(), "10.254.254.50");
}

TEST_F(DhcpTest, UnusableArpAddressesAreNotGivenBack) {
  unsigned next = 128;
  for (const char *addr : {"10.254.254.0", "10.254.254.1", "10.254.254.255", "192.0.2.5"}) {
    Mac mac = kClient1;
    mac[4] = 0x20;
    mac[5] = uint8_t(next);
    ASSERT_NE(Arp_Learn(Ip4(addr), mac.data()), nullptr);
    EXPECT_EQ(Offer(mac), "10.254.254." + std::to_string(next++)) << addr;
  }
}

TEST_F(DhcpTest, AddressesWithAnyArpEntryAreSkipped) {
  ASSERT_NE(Arp_Create(Ip4("10.254.254.128"), nullptr), nullptr);  // unresolved still counts
  ASSERT_NE(Arp_Learn(Ip4("10.254.254.129"), kClient2.data()), nullptr);
  EXPECT_EQ(Offer(), "10.254.254.130");
}

TEST_F(DhcpTest, RangeIsExhaustedAfterTwoPasses) {
  Mac other = {0x02, 0x7D, 0x33, 0x00, 0x02, 0x00};
  for (int last = 128; last <= 249; last++) {
    other[5] = uint8_t(last);
    ASSERT_NE(Arp_Learn(htonl(ntohl(Ip4("10.254.254.0")) | uint32_t(last)), other.data()), nullptr);
  }
  EXPECT_EQ(Offer(), "10.254.254.250") << "the last free address";
  Request late;
  late.mac = kClient2;
  late.options = MsgType(bootp::kDiscover);
  Send(late);
  ExpectNoFrame("every address from 128 to 250 is taken");
}

TEST_F(DhcpTest, ClientWhoseEntryExpiredGetsANewAddress) {
  ASSERT_EQ(Offer(), "10.254.254.128");
  Advance(301 * 1000);  // the ARP entry expires after 300 s
  EXPECT_EQ(Offer(), "10.254.254.129") << "the old address stays taken";
}

// ------------------------------------------------------- option parser

TEST(DhcpParseOptions, ResultsAndTable) {
  struct Case {
    const char *what;
    Bytes area;
    int result;
    int code;       // option to look at
    int len;        // its expected length, -1 = absent
  } cases[] = {
      {"end option", {53, 1, 1, 255, 12, 1, 'x'}, 0, 12, -1},
      {"end of area", {0, 0, 53, 1, 3}, 0, 53, 1},
      {"pad bytes skipped", {0, 53, 1, 3, 0, 0}, 0, 53, 1},
      {"code without length", {53, 1, 1, 12}, -1, 53, 1},
      {"value past the end", {53, 1, 1, 12, 5, 'a'}, -2, 12, -1},
      {"later occurrence replaces", {12, 1, 'a', 12, 2, 'b', 'c'}, 0, 12, 2},
      {"empty value", {61, 0, 255}, 0, 61, 0},
      {"empty area", {}, 0, 53, -1},
  };
  for (const Case &c : cases) {
    DhcpOption table[256] = {};
    const uint8_t *start = c.area.data();
    EXPECT_EQ(Dhcp_ParseOptions(table, start, start + c.area.size()), c.result) << c.what;
    if (c.len < 0) {
      EXPECT_EQ(table[c.code].value, nullptr) << c.what;
    } else {
      ASSERT_NE(table[c.code].value, nullptr) << c.what;
      EXPECT_EQ(table[c.code].len, c.len) << c.what;
      EXPECT_GE(table[c.code].value, start) << c.what;
      EXPECT_LE(table[c.code].value + c.len, start + c.area.size()) << c.what;
    }
  }
}

}  // namespace
}  // namespace wire
