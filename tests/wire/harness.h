// Wire-level test harness: the daemon's modules run in this process with the
// device on one end of a UNIX datagram socket pair; the test plays a guest on
// the other end, building frames with the helpers below and checking what the
// daemon writes back. The daemon clock is simulated: tests move it forward
// with Advance(), so time-outs of seconds and minutes run in milliseconds.
//
// Addresses are kept in network byte order (as in the daemon's records);
// ports and other numbers in the specs and views are host order.
//
// Typical test:
//
//   TEST_F(WireTest, PingGateway) {
//     SendIcmpEcho(kGatewayIp, 7, 1, Pattern(32));
//     auto frame = WaitFrame();
//     ASSERT_TRUE(frame);
//     IpView ip;
//     ASSERT_TRUE(ParseIp(*frame, &ip));        // IPv4 checksum verified
//     IcmpView icmp;
//     ASSERT_TRUE(ParseIcmp(ip, &icmp));        // ICMP checksum verified
//     EXPECT_EQ(icmp.type, 0);
//   }
//
// Modules with tables of their own register a reset with WIRE_TEARDOWN(fn)
// (and, if needed, a start step with WIRE_SETUP(fn)) in their test file; the
// fixture runs them for every test, so each test starts from empty tables and
// ends by checking that no buffer, timer or poll entry is left behind.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/timer.h"

namespace wire {

using Bytes = std::vector<uint8_t>;
using Mac = std::array<uint8_t, 6>;

// ---------------------------------------------------------------- addresses

/// "a.b.c.d" in network byte order (the test aborts on a bad literal).
uint32_t Ip4(const char *dotted);
/// Dotted text of a network-order address.
std::string IpStr(uint32_t addrN);
/// "02:7D:33:00:00:01".
std::string MacStr(const Mac &mac);
/// Hex dump of a byte range (for failure messages).
std::string HexStr(const Bytes &bytes, size_t max = 64);
/// `n` bytes of a recognisable pattern (byte i = seed + i).
Bytes Pattern(size_t n, uint8_t seed = 0);

inline constexpr Mac kGatewayMac = {0x02, 0x4E, 0xA1, 0x00, 0x00, 0x01};
inline constexpr Mac kGuestMac = {0x02, 0x7D, 0x33, 0x00, 0x00, 0x01};
inline constexpr Mac kGuest2Mac = {0x02, 0x7D, 0x33, 0x00, 0x00, 0x02};
inline constexpr Mac kBroadcastMac = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
inline constexpr Mac kZeroMac = {0, 0, 0, 0, 0, 0};
extern const uint32_t kGatewayIp;    // 10.254.254.1
extern const uint32_t kGuestIp;      // 10.254.254.10
extern const uint32_t kGuest2Ip;     // 10.254.254.11
extern const uint32_t kSubnetBcast;  // 10.254.254.255
extern const uint32_t kLoopbackIp;   // 127.0.0.1

/// Start of the simulated clock: 2023-11-14 22:13:20 UTC.
inline constexpr int64_t kSimStartSec = 1700000000;

// ----------------------------------------------------------------- builders

/// Ethernet II frame.
Bytes BuildEth(const Mac &dst, const Mac &src, uint16_t type, const Bytes &payload);

struct ArpSpec {
  uint16_t op = 1;  // 1 request, 2 reply
  Mac sha = kZeroMac;
  uint32_t spa = 0;  // network order
  Mac tha = kZeroMac;
  uint32_t tpa = 0;  // network order
  uint16_t htype = 1;
  uint16_t ptype = 0x0800;
  uint8_t hlen = 6;
  uint8_t plen = 4;
};
/// The 28-byte ARP packet (no Ethernet header).
Bytes BuildArp(const ArpSpec &fields);

struct IpSpec {
  uint32_t src = 0;  // network order
  uint32_t dst = 0;  // network order
  uint8_t proto = 0;
  uint8_t ttl = 64;
  uint16_t id = 0x4242;
  uint16_t frag = 0;       // flags and offset field as on the wire (0x2000 MF, 0x4000 DF, offset/8)
  uint8_t tos = 0;
  Bytes options{};         // padded to a multiple of 4 by the caller
  int version = 4;
  int ihl = -1;            // -1: from the options
  int totalLen = -1;       // -1: header + payload
  bool badChecksum = false;
};
/// IPv4 header (checksum filled in unless badChecksum) followed by payload.
Bytes BuildIp(const IpSpec &fields, const Bytes &payload);
/// One fragment of `whole` (a transport header plus payload): bytes
/// [off, off+len) with more-fragments as given. `fields.frag` is ignored.
Bytes BuildIpFragment(IpSpec fields, const Bytes &whole, size_t off, size_t len, bool more);

struct IcmpSpec {
  uint8_t type = 8;
  uint8_t code = 0;
  uint16_t id = 0;   // echo identifier (bytes 4-5)
  uint16_t seq = 0;  // echo sequence (bytes 6-7)
  bool badChecksum = false;
};
/// ICMP message with its checksum.
Bytes BuildIcmp(const IcmpSpec &fields, const Bytes &payload);

struct UdpSpec {
  uint16_t sport = 0;
  uint16_t dport = 0;
  bool badChecksum = false;
  bool noChecksum = false;  // checksum field 0
};
/// UDP datagram with the pseudo-header checksum over src/dst (network order).
Bytes BuildUdp(uint32_t src, uint32_t dst, const UdpSpec &fields, const Bytes &payload);

struct TcpSpec {
  uint16_t sport = 0;
  uint16_t dport = 0;
  uint32_t seq = 0;
  uint32_t ack = 0;
  uint8_t flags = 0;  // tcp::kSyn | tcp::kAckF ...
  uint16_t window = 65535;
  uint16_t urg = 0;
  Bytes options{};    // padded to a multiple of 4 by the caller
  bool badChecksum = false;
};
/// TCP segment with the pseudo-header checksum.
Bytes BuildTcp(uint32_t src, uint32_t dst, const TcpSpec &fields, const Bytes &payload);
/// MSS option (kind 2) for TcpSpec::options.
Bytes TcpMssOption(uint16_t mss);

// ------------------------------------------------------------------ parsers
//
// Each parser returns an AssertionResult: use ASSERT_TRUE(ParseIp(f, &ip)).
// Failures say what was wrong ("IPv4 checksum: got 0x1234, want 0x4321").

struct EthView {
  Mac dst{};
  Mac src{};
  uint16_t type = 0;
  Bytes payload;
};
::testing::AssertionResult ParseEth(const Bytes &frame, EthView *out);

struct ArpView {
  EthView eth;
  uint16_t htype = 0, ptype = 0, op = 0;
  uint8_t hlen = 0, plen = 0;
  Mac sha{}, tha{};
  uint32_t spa = 0, tpa = 0;  // network order
};
/// An Ethernet frame of type 0x0806 carrying an Ethernet/IPv4 ARP packet;
/// the frame source must be the gateway MAC.
::testing::AssertionResult ParseArp(const Bytes &frame, ArpView *out);

struct IpView {
  EthView eth;
  uint8_t version = 0, ihl = 0, tos = 0, ttl = 0, proto = 0;
  uint16_t totalLen = 0, id = 0, frag = 0;
  uint32_t src = 0, dst = 0;  // network order
  Bytes header;   // the whole IPv4 header as sent
  Bytes payload;  // total length minus header
  bool MoreFragments() const { return (frag & 0x2000) != 0; }
  bool DontFragment() const { return (frag & 0x4000) != 0; }
  uint32_t OffsetBytes() const { return uint32_t(frag & 0x1FFF) * 8; }
  bool IsFragment() const { return (frag & 0x3FFF) != 0; }
};
/// An Ethernet frame of type 0x0800 from the gateway MAC carrying a
/// well-formed IPv4 packet with a valid header checksum; the frame must not
/// carry bytes after the packet.
::testing::AssertionResult ParseIp(const Bytes &frame, IpView *out);
/// Joins fragments (any order) into one unfragmented datagram: same
/// id/src/dst/proto, no gaps or overlaps, exactly one last fragment.
::testing::AssertionResult Reassemble(const std::vector<IpView> &frags, IpView *out);

struct IcmpView {
  uint8_t type = 0, code = 0;
  uint16_t id = 0, seq = 0;  // bytes 4-5 and 6-7
  uint32_t rest = 0;         // bytes 4-7
  Bytes payload;             // after the 8-byte header
  Bytes message;             // the whole ICMP message
};
/// The ICMP message of an unfragmented IPv4 packet; checksum verified.
::testing::AssertionResult ParseIcmp(const IpView &ip, IcmpView *out);

struct UdpView {
  uint16_t sport = 0, dport = 0, len = 0, csum = 0;
  Bytes payload;
};
/// UDP of an unfragmented packet; length and checksum (unless 0) verified.
::testing::AssertionResult ParseUdp(const IpView &ip, UdpView *out);

struct TcpView {
  uint16_t sport = 0, dport = 0, window = 0, urg = 0;
  uint32_t seq = 0, ack = 0;
  uint8_t flags = 0, hdrLen = 0;
  Bytes options;
  Bytes payload;
  /// MSS option value, 0 when absent.
  uint16_t Mss() const;
};
/// TCP of an unfragmented packet; checksum verified.
::testing::AssertionResult ParseTcp(const IpView &ip, TcpView *out);

// ------------------------------------------------------------ module hooks

using WireHookFn = void (*)();
/// Runs `fn` in every WireTest::SetUp after the device and ICMP socket are
/// in place (e.g. a module's start operation).
bool Wire_RegisterSetUp(WireHookFn fn);
/// Runs `fn` in every WireTest::TearDown before the poll table is emptied
/// (e.g. a module's table reset: release flows, cancel timers).
bool Wire_RegisterTeardown(WireHookFn fn);

#define WIRE_CAT2(a, b) a##b
#define WIRE_CAT(a, b) WIRE_CAT2(a, b)
#define WIRE_SETUP(fn) \
  static const bool WIRE_CAT(wireSetUp_, __LINE__) = ::wire::Wire_RegisterSetUp(fn)
#define WIRE_TEARDOWN(fn) \
  static const bool WIRE_CAT(wireTeardown_, __LINE__) = ::wire::Wire_RegisterTeardown(fn)

// ------------------------------------------------------------------ fixture

class WireTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Set in a derived constructor to change what SetUp does.
  bool preLearnGuest_ = true;  // Arp_Learn(kGuestIp, kGuestMac) in SetUp
  bool initIcmp_ = true;       // Icmp_Init() in SetUp (raw socket; needs root)

  // ---- the guest side
  /// Writes one frame to the device and runs one loop pass, so the daemon
  /// reads it (with any other frames already queued: up to 64 per pass).
  void SendFrame(const Bytes &frame);
  /// IPv4 packet from `srcMac` (default guest) to the gateway MAC.
  void SendIp(const IpSpec &fields, const Bytes &payload, const Mac &srcMac = kGuestMac,
              const Mac &dstMac = kGatewayMac);
  /// Echo request from the default guest (or fields.src when set).
  void SendIcmpEcho(uint32_t dst, uint16_t id, uint16_t seq, const Bytes &payload,
                    uint8_t ttl = 64);
  void SendUdp(uint32_t dst, uint16_t sport, uint16_t dport, const Bytes &payload,
               uint32_t src = 0);
  void SendTcp(uint32_t dst, const TcpSpec &fields, const Bytes &payload = {}, uint32_t src = 0);
  /// ARP packet in an Ethernet frame from `srcMac` to `dstMac`.
  void SendArp(const ArpSpec &fields, const Mac &srcMac, const Mac &dstMac = kBroadcastMac);
  /// Guest `mac`/`ip` asks for the gateway; consumes and checks the reply.
  void ArpExchange(const Mac &mac, uint32_t ip);

  // ---- the event loop and the clock
  /// Runs `passes` loop passes without waiting.
  void Step(int passes = 1);
  /// Moves the simulated clock forward by `ms` in slices of at most 100 ms,
  /// running the due timers and one loop pass after each slice.
  void Advance(int64_t ms);
  /// Current simulated time.
  static ClockTime SimNow();

  // ---- what the daemon sent to the guest
  /// The next frame already written, without running the loop.
  std::optional<Bytes> NextFrame();
  /// Every frame already written, without running the loop.
  std::vector<Bytes> Frames();
  /// Runs loop passes (each waiting up to 10 ms of real time for host
  /// sockets on loopback) until a frame is there or `maxPasses` have run.
  std::optional<Bytes> WaitFrame(int maxPasses = 200);
  /// Runs a few passes and fails the test if a frame arrives.
  void ExpectNoFrame(const char *why = "");

  int guestFd_ = -1;  // the guest's end of the socket pair
  int devFd_ = -1;    // the daemon's end
};

}  // namespace wire
