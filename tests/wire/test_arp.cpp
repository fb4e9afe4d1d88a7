// ARP at the wire: replies for the gateway, learning, ignored packets,
// discovery with retries and the pending queue, expiry, and the table dump.
#include <string>

#include "control/textbuf.h"
#include "core/settings.h"
#include "packet/arp.h"
#include "packet/wire.h"
#include "wire/harness.h"

namespace wire {
namespace {

std::string ArpDump() {
  TextBuf tb;
  TextBuf_Init(&tb);
  Arp_DumpTable(&tb);
  std::string s(reinterpret_cast<const char *>(tb.data), tb.len);
  TextBuf_Free(&tb);
  return s;
}

Mac EntryMac(uint32_t ipN) {
  Mac m{};
  ArpEntry *e = Arp_Find(ipN);
  if (e) Arp_EntryMac(e, m.data());
  return m;
}

// The gateway starts without knowing the guest.
class ArpTest : public WireTest {
 protected:
  ArpTest() { preLearnGuest_ = false; }

  // A ping of the gateway from the guest: its reply needs the guest's MAC.
  void PingGateway(uint16_t seq) { SendIcmpEcho(kGatewayIp, 0x77, seq, Pattern(16)); }

  // The frame must be the gateway's broadcast request for `ipN`.
  void ExpectRequestFor(const std::optional<Bytes> &f, uint32_t ipN) {
    ASSERT_TRUE(f) << "no ARP request";
    ArpView a;
    ASSERT_TRUE(ParseArp(*f, &a));
    EXPECT_EQ(a.op, 1);
    EXPECT_EQ(MacStr(a.eth.dst), MacStr(kBroadcastMac));
    EXPECT_EQ(MacStr(a.sha), MacStr(kGatewayMac));
    EXPECT_EQ(IpStr(a.spa), IpStr(kGatewayIp));
    EXPECT_EQ(MacStr(a.tha), MacStr(kZeroMac));
    EXPECT_EQ(IpStr(a.tpa), IpStr(ipN));
  }

  void GuestReplies() {
    SendArp({.op = 2, .sha = kGuestMac, .spa = kGuestIp, .tha = kGatewayMac, .tpa = kGatewayIp}, kGuestMac,
            kGatewayMac);
  }
};

TEST_F(ArpTest, RequestForGatewayIsAnsweredAndCreatesResolvedEntry) {
  SendArp({.op = 1, .sha = kGuestMac, .spa = kGuestIp, .tpa = kGatewayIp}, kGuestMac);
  auto f = NextFrame();
  ASSERT_TRUE(f);
  ArpView a;
  ASSERT_TRUE(ParseArp(*f, &a));
  EXPECT_EQ(a.op, 2);
  EXPECT_EQ(MacStr(a.eth.dst), MacStr(kGuestMac));
  EXPECT_EQ(MacStr(a.sha), MacStr(kGatewayMac));
  EXPECT_EQ(IpStr(a.spa), "10.254.254.1");
  EXPECT_EQ(MacStr(a.tha), MacStr(kGuestMac));
  EXPECT_EQ(IpStr(a.tpa), "10.254.254.10");
  EXPECT_EQ(f->size(), 14u + 28u) << "replies are not padded";
  EXPECT_EQ(MacStr(EntryMac(kGuestIp)), MacStr(kGuestMac));
  EXPECT_EQ(Arp_Count(), 1u);
}

TEST_F(ArpTest, RequestForAnotherAddressCreatesNothingButRefreshesAKnownSender) {
  SendArp({.op = 1, .sha = kGuestMac, .spa = kGuestIp, .tpa = kGuest2Ip}, kGuestMac);
  ExpectNoFrame("for a request that is not for the gateway");
  EXPECT_EQ(Arp_Count(), 0u);

  // A packet for the guest starts a discovery; the guest's ARP for someone
  // else resolves the entry and releases the queued reply.
  PingGateway(1);
  ExpectRequestFor(NextFrame(), kGuestIp);
  SendArp({.op = 1, .sha = kGuestMac, .spa = kGuestIp, .tpa = kGuest2Ip}, kGuestMac);
  auto f = NextFrame();
  ASSERT_TRUE(f) << "queued echo reply not sent";
  IpView ip;
  ASSERT_TRUE(ParseIp(*f, &ip));
  EXPECT_EQ(MacStr(ip.eth.dst), MacStr(kGuestMac));
  EXPECT_FALSE(NextFrame()) << "no ARP reply for a request that is not for the gateway";
}

struct IgnoredCase {
  const char *name;
  ArpSpec fields;
  size_t cut;  // bytes of the ARP packet sent (28 = whole)
};

TEST_F(ArpTest, MalformedOrForeignPacketsAreIgnored) {
  const Mac multicast = {0x03, 0x7D, 0x33, 0, 0, 1};
  const ArpSpec good = {.op = 1, .sha = kGuestMac, .spa = kGuestIp, .tpa = kGatewayIp};
  auto with = [&](auto change) {
    ArpSpec s = good;
    change(s);
    return s;
  };
  const IgnoredCase cases[] = {
      {"sender 0.0.0.0", with([](ArpSpec &s) { s.spa = 0; }), 28},
      {"sender 0.1.2.3", with([](ArpSpec &s) { s.spa = Ip4("0.1.2.3"); }), 28},
      {"multicast sender", with([](ArpSpec &s) { s.spa = Ip4("224.0.0.9"); }), 28},
      {"class E sender", with([](ArpSpec &s) { s.spa = Ip4("250.0.0.9"); }), 28},
      {"network address", with([](ArpSpec &s) { s.spa = Ip4("10.254.254.0"); }), 28},
      {"subnet broadcast", with([](ArpSpec &s) { s.spa = kSubnetBcast; }), 28},
      {"group-bit MAC", with([&](ArpSpec &s) { s.sha = multicast; }), 28},
      {"zero MAC", with([](ArpSpec &s) { s.sha = kZeroMac; }), 28},
      {"operation 3", with([](ArpSpec &s) { s.op = 3; }), 28},
      {"operation 0", with([](ArpSpec &s) { s.op = 0; }), 28},
      {"hardware type 6", with([](ArpSpec &s) { s.htype = 6; }), 28},
      {"protocol 0x86DD", with([](ArpSpec &s) { s.ptype = 0x86DD; }), 28},
      {"hardware length 8", with([](ArpSpec &s) { s.hlen = 8; }), 28},
      {"protocol length 16", with([](ArpSpec &s) { s.plen = 16; }), 28},
      {"27 bytes", good, 27},
      {"fixed header only", good, 8},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Bytes arp = BuildArp(c.fields);
    arp.resize(c.cut);
    SendFrame(BuildEth(kBroadcastMac, kGuestMac, kEtherTypeArp, arp));
    ExpectNoFrame(c.name);
    EXPECT_EQ(Arp_Count(), 0u);
  }
}

TEST_F(ArpTest, GratuitousArpChangesTheMacAtOnceWithoutExtendingExpiry) {
  ASSERT_NE(Arp_Learn(kGuestIp, kGuestMac.data()), nullptr);
  Advance(100000);
  const Mac moved = {0x02, 0x7D, 0x33, 0x00, 0x09, 0x09};
  SendArp({.op = 1, .sha = moved, .spa = kGuestIp, .tpa = kGuestIp}, moved);
  ExpectNoFrame("for a gratuitous ARP");
  EXPECT_EQ(MacStr(EntryMac(kGuestIp)), MacStr(moved));
  EXPECT_NE(ArpDump().find("221-10.254.254.10 => 02:7D:33:00:09:09, 200.00 sec valid\r\n"), std::string::npos)
      << ArpDump();
  // The gateway's replies follow the new MAC.
  PingGateway(1);
  auto f = NextFrame();
  ASSERT_TRUE(f);
  IpView ip;
  ASSERT_TRUE(ParseIp(*f, &ip));
  EXPECT_EQ(MacStr(ip.eth.dst), MacStr(moved));
}

TEST_F(ArpTest, DiscoveryRetriesEverySecondAndDropsTheQueueAtSevenSeconds) {
  PingGateway(1);
  for (int second = 0; second <= 6; second++) {
    SCOPED_TRACE("second " + std::to_string(second));
    ExpectRequestFor(NextFrame(), kGuestIp);
    EXPECT_FALSE(NextFrame()) << "one request per second";
    ArpEntry *e = Arp_Find(kGuestIp);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(Arp_QueueLength(e), 1u);
    Advance(999);
    EXPECT_FALSE(NextFrame()) << "request before the second is over";
    Advance(1);
  }
  // Seventh second: the discovery gives up and drops the echo reply.
  ArpEntry *e = Arp_Find(kGuestIp);
  EXPECT_EQ(Arp_QueueLength(e), 0u);
  EXPECT_EQ(Arp_EntryAttempts(e), 0);
  Advance(5000);
  EXPECT_FALSE(NextFrame()) << "no request after giving up";
  // A late answer finds nothing to send.
  GuestReplies();
  ExpectNoFrame("after the queue was dropped");
  EXPECT_TRUE(Arp_EntryMac(e, nullptr));
}

TEST_F(ArpTest, QueuedPacketsLeaveInOrderWhenTheGuestAnswers) {
  for (uint16_t seq = 1; seq <= 3; seq++) PingGateway(seq);
  ExpectRequestFor(NextFrame(), kGuestIp);
  EXPECT_FALSE(NextFrame()) << "one discovery for three packets";
  EXPECT_NE(ArpDump().find("221-10.254.254.10 => ??:??:??:??:??:??, doing discovery, 1 attempt, queued packets\r\n"),
            std::string::npos)
      << ArpDump();
  Advance(1000);
  ExpectRequestFor(NextFrame(), kGuestIp);
  GuestReplies();
  for (uint16_t seq = 1; seq <= 3; seq++) {
    auto f = NextFrame();
    ASSERT_TRUE(f) << "echo reply " << seq;
    IpView ip;
    ASSERT_TRUE(ParseIp(*f, &ip));
    IcmpView icmp;
    ASSERT_TRUE(ParseIcmp(ip, &icmp));
    EXPECT_EQ(MacStr(ip.eth.dst), MacStr(kGuestMac));
    EXPECT_EQ(icmp.seq, seq);
  }
  EXPECT_FALSE(NextFrame());
  Advance(10000);
  EXPECT_FALSE(NextFrame()) << "the retry timer was cancelled by the reply";
}

TEST_F(ArpTest, EntryExpiresAndTheNextPacketStartsDiscoveryThatContinuesTheCount) {
  PingGateway(1);
  ExpectRequestFor(NextFrame(), kGuestIp);
  Advance(1000);
  ExpectRequestFor(NextFrame(), kGuestIp);
  GuestReplies();
  ASSERT_TRUE(NextFrame());  // the echo reply
  Advance(299000);
  PingGateway(2);
  ASSERT_TRUE(NextFrame()) << "still resolved at 299 s";
  Advance(1000);
  PingGateway(3);
  ExpectRequestFor(NextFrame(), kGuestIp);
  // The attempt counter was not reset by the earlier resolution.
  EXPECT_NE(ArpDump().find("02:7D:33:00:00:01, doing discovery, 2 attempt, queued packets\r\n"), std::string::npos)
      << ArpDump();
}

TEST_F(ArpTest, ExpireTimeoutZeroKeepsEntriesForever) {
  g_settings.arpExpireTimeout = 0;
  SendArp({.op = 1, .sha = kGuestMac, .spa = kGuestIp, .tpa = kGatewayIp}, kGuestMac);
  ASSERT_TRUE(NextFrame());
  EXPECT_EQ(Timer_Count(), 0u) << "no expiry timer armed";
  Advance(3600 * 1000);
  PingGateway(1);
  auto f = NextFrame();
  ASSERT_TRUE(f);
  IpView ip;
  ASSERT_TRUE(ParseIp(*f, &ip)) << "reply went out without discovery";
  EXPECT_EQ(ArpDump(), "220-ARP table\r\n221-10.254.254.10 => 02:7D:33:00:00:01\r\n229-1 entries\r\n");
}

TEST_F(ArpTest, DumpListsNewestFirstWithTimeLeft) {
  EXPECT_EQ(ArpDump(), "220-ARP table\r\n229-0 entries\r\n");
  ASSERT_NE(Arp_Learn(kGuestIp, kGuestMac.data()), nullptr);
  Advance(2480);
  ASSERT_NE(Arp_Learn(kGuest2Ip, kGuest2Mac.data()), nullptr);
  Advance(520);
  EXPECT_EQ(ArpDump(),
            "220-ARP table\r\n"
            "221-10.254.254.11 => 02:7D:33:00:00:02, 299.48 sec valid\r\n"
            "221-10.254.254.10 => 02:7D:33:00:00:01, 297.00 sec valid\r\n"
            "229-2 entries\r\n");
  Advance(297000);
  EXPECT_EQ(ArpDump(),
            "220-ARP table\r\n"
            "221-10.254.254.11 => 02:7D:33:00:00:02, 2.48 sec valid\r\n"
            "221-10.254.254.10 => 02:7D:33:00:00:01\r\n"
            "229-2 entries\r\n");
  EXPECT_EQ(Arp_FindByMac(kGuestMac.data()), nullptr) << "expired entries are not found by MAC";
  EXPECT_EQ(Arp_FindByMac(kGuest2Mac.data()), Arp_Find(kGuest2Ip));
}

}  // namespace
}  // namespace wire
