// Hostile guests at the wire: valid frames of every kind (ARP, ICMP echo and
// errors, IPv4 options and fragments, UDP, DHCP, TCP segments of a live
// connection) are mutated by a seeded generator and fed through the device
// between valid traffic. The daemon must keep answering ARP and echo to the
// gateway and end every test with no buffer, timer, poll entry, flow,
// connection, segment or reassembly record left. The named tests after the
// generator are regressions for faults the generator and the fuzz target
// found. Each test runs in a network namespace of its own (loopback up, a
// TCP and a UDP server on 127.0.0.1); mutated destinations outside loopback,
// the guest subnet and TEST-NET are rewritten into TEST-NET-2 (onto loopback
// when no namespace can be made) before the daemon reads the packet.
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <random>

#include "core/config.h"
#include "nat/dhcp.h"
#include "nat/icmp.h"
#include "nat/udp.h"
#include "packet/arp.h"
#include "packet/dev_backend.h"
#include "packet/ip.h"
#include "packet/skbuff.h"
#include "wire/test_tcp_guest.h"

namespace wire {
namespace {

using ::testing::AssertionFailure;
using ::testing::AssertionResult;
using ::testing::AssertionSuccess;

// ------------------------------------------------------------ namespace

bool g_inOwnNamespace = false;

bool SafeDestination(uint32_t dN) {
  const uint8_t *d = reinterpret_cast<const uint8_t *>(&dN);
  if (d[0] == 127 || dN == 0xFFFFFFFFu) return true;
  if (d[0] == 10 && d[1] == 254 && d[2] == 254) {
    // A TCP segment to the subnet's broadcast or network address reaches a
    // host connect(); outside a namespace of our own that is not allowed.
    return g_inOwnNamespace || (d[3] != 0 && d[3] != 255);
  }
  if (!g_inOwnNamespace) return false;
  return (d[0] == 192 && d[1] == 0 && d[2] == 2) || (d[0] == 198 && d[1] == 51 && d[2] == 100) ||
         (d[0] == 203 && d[1] == 0 && d[2] == 113);
}

// Rewrites an unsafe destination of the IPv4 packet at `iph` (`len` bytes
// present), adjusting the header checksum and a first fragment's TCP or UDP
// checksum so that a valid packet stays valid.
void MakeDestinationSafe(uint8_t *iph, size_t len) {
  if (len < kIpHdrLen || (iph[ip::kVerIhl] >> 4) != 4) return;
  uint32_t oldN = Wire_Get32n(iph + ip::kDst);
  if (SafeDestination(oldN)) return;
  uint8_t last = iph[ip::kDst + 3];
  uint32_t newN = g_inOwnNamespace ? Ip4("198.51.100.0") : Ip4("127.0.0.0");
  reinterpret_cast<uint8_t *>(&newN)[3] = g_inOwnNamespace ? last : uint8_t(last | 1);
  uint32_t oldH = Wire_Get32(iph + ip::kDst);
  Wire_Put32n(iph + ip::kDst, newN);
  uint32_t newH = Wire_Get32(iph + ip::kDst);
  Wire_Put16(iph + ip::kCsum, Csum_Update32(Wire_Get16(iph + ip::kCsum), oldH, newH));
  size_t hlen = ip::HdrLen(iph);
  if ((Wire_Get16(iph + ip::kFragOff) & ip::kOffMask) != 0 || hlen < kIpHdrLen) return;
  uint8_t proto = iph[ip::kProto];
  size_t field = proto == kProtoTcp ? tcp::kCsum : proto == kProtoUdp ? udp::kCsum : 0;
  if (field == 0 || hlen + field + 2 > len) return;
  uint8_t *c = iph + hlen + field;
  if (proto == kProtoUdp && Wire_Get16(c) == 0) return;
  Wire_Put16(c, Csum_Update32(Wire_Get16(c), oldH, newH));
}

void SafeDeliver(uint16_t protocol, SkBuff *skb) {
  if (protocol == kEtherTypeIp) {
    MakeDestinationSafe(skb->data, skb->len);
    Ip_Input(skb);
  } else {
    Arp_Input(skb);
  }
}

/// The calling thread's network namespace for the life of a test.
class OwnNetns {
 public:
  // True once in a new namespace with loopback up.
  bool Enter() {
    saved_ = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    if (saved_ >= 0 && unshare(CLONE_NEWNET) != 0) {
      close(saved_);
      saved_ = -1;
    }
    if (saved_ < 0) return false;
    Fd s(socket(AF_INET, SOCK_DGRAM, 0));
    ifreq ifr{};
    strcpy(ifr.ifr_name, "lo");
    if (!s.ok() || ioctl(s.get(), SIOCGIFFLAGS, &ifr) != 0) return false;
    ifr.ifr_flags |= IFF_UP;
    return ioctl(s.get(), SIOCSIFFLAGS, &ifr) == 0;
  }
  void Leave() {
    if (saved_ < 0) return;
    EXPECT_EQ(setns(saved_, CLONE_NEWNET), 0) << "cannot return to the test's namespace";
    close(saved_);
    saved_ = -1;
  }

 private:
  int saved_ = -1;
};

// ------------------------------------------------------------ frame surgery

constexpr size_t kIpAt = 14;  // IPv4 header offset in an Ethernet II frame
// Fragment fields at the limits of the offset and the flags.
constexpr uint16_t kFragFields[] = {0x0001, 0x1FFF, 0x2000, 0x2001, 0x3FFF,
                                    0x4000, 0x6000, 0x7FFF, 0x8000, 0xFFFF};

size_t IpHdrLenOf(const Bytes &f) { return f.size() > kIpAt ? size_t(f[kIpAt] & 0x0F) * 4 : 0; }

/// Offset of the transport header of an Ethernet II IPv4 frame.
size_t L4At(const Bytes &f) { return kIpAt + IpHdrLenOf(f); }

/// Recomputes the IPv4 header checksum and the ICMP, UDP or TCP checksum of
/// an unfragmented Ethernet II frame over what the frame carries, so that a
/// mutation gets past the checksum checks.
void FixChecksums(Bytes &f) {
  if (f.size() < kIpAt + kIpHdrLen || Wire_Get16(&f[12]) != kEtherTypeIp) return;
  uint8_t *h = &f[kIpAt];
  size_t avail = f.size() - kIpAt;
  size_t hlen = ip::HdrLen(h);
  if (hlen < kIpHdrLen || hlen > avail) return;
  Wire_Put16(h + ip::kCsum, 0);
  Wire_Put16(h + ip::kCsum, Csum_Compute(h, hlen));
  if ((Wire_Get16(h + ip::kFragOff) & (ip::kOffMask | ip::kFlagMF)) != 0) return;
  size_t total = std::min<size_t>(Wire_Get16(h + ip::kTotLen), avail);
  if (total < hlen) return;
  uint8_t *t = h + hlen;
  size_t tlen = total - hlen;
  uint32_t srcN = Wire_Get32n(h + ip::kSrc), dstN = Wire_Get32n(h + ip::kDst);
  if (h[ip::kProto] == kProtoIcmp && tlen >= 4) {
    Wire_Put16(t + 2, 0);
    Wire_Put16(t + 2, Csum_Compute(t, tlen));
  } else if (h[ip::kProto] == kProtoUdp && tlen >= 8) {
    size_t ulen = Wire_Get16(t + udp::kLen);
    if (ulen < 8 || ulen > tlen) ulen = tlen;
    Wire_Put16(t + udp::kCsum, 0);
    uint16_t c = Csum_Fold(Csum_Partial(t, ulen, Csum_Pseudo(srcN, dstN, kProtoUdp, uint32_t(ulen))));
    Wire_Put16(t + udp::kCsum, c ? c : 0xFFFF);
  } else if (h[ip::kProto] == kProtoTcp && tlen >= 20) {
    Wire_Put16(t + tcp::kCsum, 0);
    Wire_Put16(t + tcp::kCsum, Csum_Fold(Csum_Partial(t, tlen, Csum_Pseudo(srcN, dstN, kProtoTcp, uint32_t(tlen)))));
  }
}

struct BaseFrame {
  const char *name;
  Bytes frame;
};

Bytes EthIp(const IpSpec &fields, const Bytes &payload, const Mac &dst = kGatewayMac) {
  return BuildEth(dst, kGuestMac, kEtherTypeIp, BuildIp(fields, payload));
}

IpSpec Ip(uint32_t dst, uint8_t proto, Bytes options = {}) {
  IpSpec s{.src = kGuestIp, .dst = dst, .proto = proto};
  s.options = std::move(options);
  return s;
}

Bytes Bootp(uint8_t msgType, const Mac &mac, const Bytes &extra, uint8_t overload = 0) {
  Bytes m(bootp::kOptions, 0);
  m[bootp::kOp] = 1;
  m[bootp::kHtype] = 1;
  m[bootp::kHlen] = 6;
  Wire_Put32(&m[bootp::kXid], 0xC0FFEE01);
  Wire_Put16(&m[bootp::kFlags], bootp::kFlagBroadcast);
  std::copy(mac.begin(), mac.end(), m.begin() + bootp::kChaddr);
  Wire_Put32(&m[bootp::kCookie], bootp::kMagicCookie);
  Bytes opts = {bootp::kOptMsgType, 1, msgType, 55, 3, 1, 3, 6};
  if (overload) {
    opts.insert(opts.end(), {bootp::kOptOverload, 1, overload});
    // The file and sname fields then carry options of their own.
    Bytes inFile = {bootp::kOptMsgType, 1, msgType, 12, 4, 'n', 'a', 'm', 'e', bootp::kOptEnd};
    std::copy(inFile.begin(), inFile.end(), m.begin() + bootp::kFile);
    Bytes inSname = {61, 7, 1, mac[0], mac[1], mac[2], mac[3], mac[4], mac[5], bootp::kOptEnd};
    std::copy(inSname.begin(), inSname.end(), m.begin() + bootp::kSname);
  }
  opts.insert(opts.end(), extra.begin(), extra.end());
  opts.push_back(bootp::kOptEnd);
  m.insert(m.end(), opts.begin(), opts.end());
  return m;
}

Bytes DhcpFrame(const Bytes &message) {
  uint32_t any = 0, all = Ip4("255.255.255.255");
  IpSpec s{.src = any, .dst = all, .proto = kProtoUdp};
  return BuildEth(kBroadcastMac, kGuestMac, kEtherTypeIp,
                  BuildIp(s, BuildUdp(any, all, {.sport = 68, .dport = 67}, message)));
}

// ------------------------------------------------------------ the fixture

constexpr uint16_t kEchoId = 0x4E47;

class HostileTest : public TcpWireTest {
 protected:
  void SetUp() override {
    g_inOwnNamespace = netns_.Enter();
    if (!g_inOwnNamespace)
      fprintf(stderr, "[hostile] no network namespace of our own: destinations kept on loopback\n");
    savedConfigPath_ = Config_Path;
    Config_Path = "/nonexistent/natd-hostile.conf";
    TcpWireTest::SetUp();
    g_settings.enableNatDhcp = 1;
    Udp_Init();
    Dev_DeliverHook = SafeDeliver;
    server_.emplace();
    fcntl(server_->fd(), F_SETFL, fcntl(server_->fd(), F_GETFL) | O_NONBLOCK);
    udpServer_.Reset(socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = kLoopbackIp;
    ASSERT_EQ(bind(udpServer_.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    socklen_t len = sizeof sa;
    getsockname(udpServer_.get(), reinterpret_cast<sockaddr *>(&sa), &len);
    udpPort_ = ntohs(sa.sin_port);
  }

  void TearDown() override {
    Dev_DeliverHook = nullptr;
    Tcp_Reset();
    Udp_Reset();
    Dhcp_Reset();
    TcpWireTest::TearDown();
    EXPECT_EQ(Udp_FlowCount(), 0u) << "UDP flows left behind";
    EXPECT_EQ(Ip_ReasmCount(), 0u) << "reassembly records left behind";
    EXPECT_EQ(Icmp_EchoCount(), 0u) << "echo entries left behind";
    accepted_.clear();
    server_.reset();
    udpServer_.Reset();
    Config_Path = savedConfigPath_;
    netns_.Leave();
  }

  /// Sends a frame and lets the outside servers answer. What the daemon
  /// sent to the guest must be well-formed ARP or IPv4 (gateway MAC, valid
  /// header, total length equal to the frame, fragments within 65535
  /// bytes); the first few offending inputs are reported.
  void Feed(const Bytes &frame) {
    SendFrame(frame);
    ServePeers();
    Step();
    for (const Bytes &out : Frames()) {
      AssertionResult ok = AssertionSuccess();
      if (out.size() >= 14 && Wire_Get16(&out[12]) == kEtherTypeArp) {
        ArpView a;
        ok = ParseArp(out, &a);
      } else {
        IpView ip;
        ok = ParseIp(out, &ip);
        if (ok && ip.OffsetBytes() + ip.header.size() + ip.payload.size() > 0xFFFF)
          ok = AssertionFailure() << "fragment beyond 65535 bytes";
      }
      if (!ok && ++badOutputs_ <= 5)
        ADD_FAILURE() << ok.message() << "\n  sent: " << HexStr(out) << "\n  after input: " << HexStr(frame, 200);
    }
    ++fed_;
  }

  /// The outside hosts: accept connections, echo TCP data and UDP datagrams.
  void ServePeers() {
    for (;;) {
      int c = accept4(server_->fd(), nullptr, nullptr, SOCK_NONBLOCK);
      if (c < 0) break;
      accepted_.emplace_back(c);
    }
    uint8_t buf[4096];
    for (Fd &c : accepted_) {
      ssize_t n = read(c.get(), buf, sizeof buf);
      if (n > 0) (void)!send(c.get(), buf, size_t(n), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    sockaddr_in from{};
    socklen_t flen = sizeof from;
    ssize_t n;
    while ((n = recvfrom(udpServer_.get(), buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &flen)) >= 0) {
      (void)sendto(udpServer_.get(), buf, size_t(n), 0, reinterpret_cast<sockaddr *>(&from), flen);
      flen = sizeof from;
    }
  }

  /// Waits for the first frame `match` accepts, skipping others.
  std::optional<Bytes> AwaitFrame(const std::function<bool(const Bytes &)> &match, int frames = 64) {
    for (int i = 0; i < frames; i++) {
      auto f = WaitFrame(5);
      if (!f) return std::nullopt;
      if (match(*f)) return f;
    }
    return std::nullopt;
  }

  /// The guest asks for the gateway's MAC and must get a correct reply;
  /// this also points the guest's ARP entry back at the guest.
  AssertionResult GatewayAnswersArp() {
    (void)Frames();
    SendArp({.op = 1, .sha = kGuestMac, .spa = kGuestIp, .tpa = kGatewayIp}, kGuestMac);
    auto f = AwaitFrame([](const Bytes &b) { return b.size() >= 14 && Wire_Get16(&b[12]) == kEtherTypeArp; });
    if (!f) return AssertionFailure() << "no ARP reply after " << fed_ << " hostile frames";
    ArpView a;
    auto r = ParseArp(*f, &a);
    if (!r) return r << " (after " << fed_ << " hostile frames)";
    if (a.op != 2 || a.sha != kGatewayMac || a.spa != kGatewayIp || a.tha != kGuestMac || a.tpa != kGuestIp ||
        a.eth.dst != kGuestMac)
      return AssertionFailure() << "wrong ARP reply after " << fed_ << " hostile frames: " << HexStr(*f);
    return AssertionSuccess();
  }

  /// An echo request to the gateway must come back with the same
  /// identifier, sequence number and data.
  AssertionResult GatewayAnswersEcho() {
    (void)Frames();
    uint16_t seq = ++echoSeq_;
    Bytes data = Pattern(40, uint8_t(seq));
    SendIcmpEcho(kGatewayIp, kEchoId, seq, data);
    auto f = AwaitFrame([](const Bytes &b) {
      IpView ip;
      return ParseIp(b, &ip) && ip.proto == kProtoIcmp && ip.payload.size() >= 8 && ip.payload[0] == 0 &&
             Wire_Get16(&ip.payload[4]) == kEchoId;
    });
    if (!f) return AssertionFailure() << "no echo reply after " << fed_ << " hostile frames";
    IpView ip;
    IcmpView icmp;
    auto r = ParseIp(*f, &ip);
    if (r) r = ParseIcmp(ip, &icmp);
    if (!r) return r << " (after " << fed_ << " hostile frames)";
    if (ip.src != kGatewayIp || ip.dst != kGuestIp || ip.eth.dst != kGuestMac || icmp.seq != seq ||
        icmp.payload != data)
      return AssertionFailure() << "wrong echo reply after " << fed_ << " hostile frames: " << HexStr(*f);
    return AssertionSuccess();
  }

  /// Opens `g` through the gateway to the loopback server, skipping
  /// unrelated frames while waiting for the SYN+ACK.
  AssertionResult OpenLive(GuestTcp &g) {
    (void)Frames();
    g.remote = kGatewayIp;
    g.rport = server_->port();
    Put(g, tcp::kSyn, {}, std::nullopt, TcpMssOption(1460));
    g.sndNxt += 1;
    const uint16_t port = g.gport;
    auto f = AwaitFrame([port](const Bytes &b) {
      IpView ip;
      TcpView t;
      return ParseIp(b, &ip) && ip.proto == kProtoTcp && ParseTcp(ip, &t) && t.dport == port &&
             t.flags == (tcp::kSyn | tcp::kAckF);
    });
    if (!f) return AssertionFailure() << "no SYN+ACK for guest port " << port;
    IpView ip;
    TcpView t;
    if (!ParseIp(*f, &ip) || !ParseTcp(ip, &t)) return AssertionFailure() << "unparsable SYN+ACK";
    if (t.ack != g.sndNxt) return AssertionFailure() << "SYN+ACK acknowledges " << t.ack;
    g.rcvNxt = t.seq + 1;
    Put(g, tcp::kAckF);
    ServePeers();
    return AssertionSuccess();
  }

  /// Sends an ICMP error quoting `quote` from the host network to loopback,
  /// where the daemon's raw socket sees it, and lets the daemon run.
  void HostIcmp(const Fd &raw, uint8_t type, uint8_t code, const Bytes &quote) {
    Bytes m = BuildIcmp({.type = type, .code = code}, quote);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = kLoopbackIp;
    if (raw.ok()) {
      EXPECT_EQ(sendto(raw.get(), m.data(), m.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to),
                ssize_t(m.size()));
    }
    Step(2);
  }

  AssertionResult StillAnswers() {
    auto r = GatewayAnswersArp();
    if (!r) return r;
    return GatewayAnswersEcho();
  }

  OwnNetns netns_;
  std::string savedConfigPath_;
  std::optional<HostServer> server_;
  std::vector<Fd> accepted_;
  Fd udpServer_;
  uint16_t udpPort_ = 0;
  uint16_t echoSeq_ = 0;
  long fed_ = 0;
  int badOutputs_ = 0;
};

// ------------------------------------------------------------ mutations

/// Valid frames of every kind; `g` is an established connection whose
/// segments carry the right sequence and acknowledgement numbers.
std::vector<BaseFrame> ValidFrames(const GuestTcp &g, uint16_t udpPort) {
  std::vector<BaseFrame> v;
  v.push_back({"arp request", BuildEth(kBroadcastMac, kGuestMac, kEtherTypeArp,
                                       BuildArp({.op = 1, .sha = kGuestMac, .spa = kGuestIp, .tpa = kGatewayIp}))});
  v.push_back({"arp reply", BuildEth(kGatewayMac, kGuest2Mac, kEtherTypeArp,
                                     BuildArp({.op = 2, .sha = kGuest2Mac, .spa = kGuest2Ip, .tha = kGatewayMac,
                                               .tpa = kGatewayIp}))});
  v.push_back({"echo to gateway", EthIp(Ip(kGatewayIp, kProtoIcmp), BuildIcmp({.type = 8, .id = 1, .seq = 1}, Pattern(56)))});
  v.push_back({"echo to loopback", EthIp(Ip(kLoopbackIp, kProtoIcmp), BuildIcmp({.type = 8, .id = 2, .seq = 1}, Pattern(16)))});
  v.push_back({"echo to broadcast", EthIp(Ip(kSubnetBcast, kProtoIcmp), BuildIcmp({.type = 8, .id = 3}, Pattern(8)), kBroadcastMac)});
  // Record route (7), NOP, end of options.
  Bytes rr = {7, 7, 4, 0, 0, 0, 0, 1, 0, 0, 0, 0};
  v.push_back({"echo with options", EthIp(Ip(kGatewayIp, kProtoIcmp, rr), BuildIcmp({.type = 8, .id = 4}, Pattern(20)))});
  Bytes quoted = BuildIp(IpSpec{.src = kLoopbackIp, .dst = kGuestIp, .proto = kProtoUdp},
                         BuildUdp(kLoopbackIp, kGuestIp, {.sport = udpPort, .dport = 40000}, Pattern(12)));
  v.push_back({"port unreachable", EthIp(Ip(kLoopbackIp, kProtoIcmp), BuildIcmp({.type = 3, .code = 3}, quoted))});
  v.push_back({"udp to loopback", EthIp(Ip(kLoopbackIp, kProtoUdp),
                                        BuildUdp(kGuestIp, kLoopbackIp, {.sport = 40000, .dport = udpPort}, Pattern(33)))});
  v.push_back({"udp to gateway", EthIp(Ip(kGatewayIp, kProtoUdp),
                                       BuildUdp(kGuestIp, kGatewayIp, {.sport = 40001, .dport = 53}, Pattern(30)))});
  v.push_back({"dhcp discover", DhcpFrame(Bootp(bootp::kDiscover, kGuest2Mac, {}))});
  v.push_back({"dhcp request", DhcpFrame(Bootp(bootp::kRequest, kGuestMac, {50, 4, 10, 254, 254, 10}))});
  v.push_back({"dhcp overload", DhcpFrame(Bootp(bootp::kRequest, kGuest2Mac, {}, 3))});
  v.push_back({"bootp", DhcpFrame(Bytes(bootp::kFixedLen, 0))});
  Bytes opts = TcpMssOption(1460);
  Bytes more = {1, 3, 3, 7, 4, 2, 8, 10, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0};  // NOP, WS, SACK-ok, timestamps
  opts.insert(opts.end(), more.begin(), more.end());
  TcpSpec syn{.sport = 41000, .dport = g.rport, .seq = 5000, .flags = tcp::kSyn};
  syn.options = opts;
  v.push_back({"tcp syn", EthIp(Ip(kGatewayIp, kProtoTcp), BuildTcp(kGuestIp, kGatewayIp, syn, {}))});
  TcpSpec data{.sport = g.gport, .dport = g.rport, .seq = g.sndNxt, .ack = g.rcvNxt,
               .flags = tcp::kAckF | tcp::kPsh};
  v.push_back({"tcp data", EthIp(Ip(kGatewayIp, kProtoTcp), BuildTcp(kGuestIp, kGatewayIp, data, Pattern(100)))});
  TcpSpec ooo = data;
  ooo.seq += 300;
  v.push_back({"tcp out of order", EthIp(Ip(kGatewayIp, kProtoTcp), BuildTcp(kGuestIp, kGatewayIp, ooo, Pattern(50)))});
  TcpSpec fin = data;
  fin.flags = tcp::kAckF | tcp::kFin;
  v.push_back({"tcp fin", EthIp(Ip(kGatewayIp, kProtoTcp), BuildTcp(kGuestIp, kGatewayIp, fin, {}))});
  TcpSpec rst = data;
  rst.flags = tcp::kRst;
  v.push_back({"tcp rst", EthIp(Ip(kGatewayIp, kProtoTcp), BuildTcp(kGuestIp, kGatewayIp, rst, {}))});
  Bytes whole = BuildIcmp({.type = 8, .id = 5}, Pattern(2000));
  IpSpec fs = Ip(kGatewayIp, kProtoIcmp);
  fs.id = 0x777;
  v.push_back({"first fragment", BuildEth(kGatewayMac, kGuestMac, kEtherTypeIp, BuildIpFragment(fs, whole, 0, 1480, true))});
  v.push_back({"last fragment", BuildEth(kGatewayMac, kGuestMac, kEtherTypeIp,
                                         BuildIpFragment(fs, whole, 1480, whole.size() - 1480, false))});
  v.push_back({"guest to guest", EthIp(Ip(kGuest2Ip, kProtoUdp),
                                       BuildUdp(kGuestIp, kGuest2Ip, {.sport = 1, .dport = 2}, Pattern(10)))});
  return v;
}

/// One mutated copy of `base`. Structural mutations aim at the length and
/// offset fields; most results get their checksums fixed again.
Bytes Mutate(const Bytes &base, std::mt19937 &rng) {
  Bytes f = base;
  auto pick = [&](uint32_t n) { return uint32_t(rng() % n); };
  auto put16 = [&](size_t at, uint16_t v) {
    if (at + 2 <= f.size()) Wire_Put16(&f[at], v);
  };
  bool isIp = f.size() >= kIpAt + kIpHdrLen && Wire_Get16(&f[12]) == kEtherTypeIp;
  static const uint16_t kLengths[] = {0, 1, 7, 8, 19, 20, 21, 28, 60, 576, 1500, 32767, 65535};
  uint16_t anyLen = kLengths[pick(std::size(kLengths))];
  switch (pick(isIp ? 12 : 3)) {
    case 0: {  // bit flips
      int n = 1 + int(pick(8));
      for (int i = 0; i < n && !f.empty(); i++) f[pick(uint32_t(f.size()))] ^= uint8_t(1u << pick(8));
      break;
    }
    case 1:  // random bytes
      for (int i = 0, n = 1 + int(pick(4)); i < n && !f.empty(); i++) f[pick(uint32_t(f.size()))] = uint8_t(rng());
      break;
    case 2:  // garbage appended
      for (int i = 0, n = 1 + int(pick(64)); i < n; i++) f.push_back(uint8_t(rng()));
      break;
    case 3:  // IHL 0..15
      f[kIpAt] = uint8_t((f[kIpAt] & 0xF0) | pick(16));
      break;
    case 4:  // IPv4 total length
      put16(kIpAt + ip::kTotLen, pick(2) ? anyLen : uint16_t(Wire_Get16(&f[kIpAt + ip::kTotLen]) + pick(9) - 4));
      break;
    case 5:  // fragment field at the limits
      put16(kIpAt + ip::kFragOff, kFragFields[pick(std::size(kFragFields))]);
      break;
    case 6: {  // TCP data offset 0..15, UDP length, ICMP type
      size_t l4 = L4At(f);
      uint8_t proto = f[kIpAt + ip::kProto];
      if (proto == kProtoTcp && l4 + 13 <= f.size()) f[l4 + tcp::kOff] = uint8_t(pick(16) << 4);
      if (proto == kProtoUdp) put16(l4 + udp::kLen, pick(2) ? anyLen : uint16_t(rng()));
      if (proto == kProtoIcmp && l4 < f.size()) f[l4] = uint8_t(pick(20));
      break;
    }
    case 7: {  // option lengths 0, 1, 255 in the IPv4 or TCP options
      static const uint8_t kOptLen[] = {0, 1, 2, 3, 255};
      size_t at = kIpAt + kIpHdrLen;  // the first IPv4 option
      if (IpHdrLenOf(f) <= kIpHdrLen) {
        if (f[kIpAt + ip::kProto] != kProtoTcp || L4At(f) + kTcpHdrLen + 2 > f.size()) break;
        at = L4At(f) + kTcpHdrLen;  // the first TCP option, the header made 60 bytes long
        f[L4At(f) + tcp::kOff] = 0xF0;
      }
      if (at + 2 > f.size()) break;
      f[at] = uint8_t(pick(2) ? 2 + pick(7) : pick(256));
      f[at + 1] = kOptLen[pick(std::size(kOptLen))];
      break;
    }
    case 8: {  // DHCP option bytes: lengths and the overload option
      size_t opts = L4At(f) + 8 + bootp::kOptions;
      if (opts < f.size()) {
        size_t at = opts + pick(uint32_t(f.size() - opts));
        static const uint8_t kVal[] = {0, 1, 3, 52, 53, 255};
        f[at] = kVal[pick(std::size(kVal))];
      }
      break;
    }
    case 9:  // addresses: broadcast, zero, multicast, loopback, the gateway
    {
      static const char *kAddr[] = {"0.0.0.0", "255.255.255.255", "224.0.0.1", "127.0.0.1", "10.254.254.1",
                                    "10.254.254.255", "10.254.254.0", "10.254.254.11", "203.0.113.9"};
      uint32_t a = Ip4(kAddr[pick(std::size(kAddr))]);
      Wire_Put32n(&f[kIpAt + (pick(2) ? ip::kSrc : ip::kDst)], a);
      break;
    }
    case 10:  // TTL and protocol
      f[kIpAt + (pick(2) ? ip::kTtl : ip::kProto)] = uint8_t(pick(3) == 0 ? rng() : pick(3));
      break;
    default:  // truncated at a random length
      f.resize(pick(uint32_t(f.size()) + 1));
      break;
  }
  if (pick(5) != 0) FixChecksums(f);
  return f;
}

// ------------------------------------------------------------ the generator

TEST_F(HostileTest, MutatedFramesOfEveryKindLeaveTheGatewayAnswering) {
  // A live connection, so that mutated segments meet an established record
  // (opened again whenever a mutated segment has ended it).
  GuestTcp g{.gport = 40100};
  ASSERT_TRUE(OpenLive(g));
  std::vector<BaseFrame> bases = ValidFrames(g, udpPort_);
  ASSERT_TRUE(StillAnswers());

  std::mt19937 rng(20261206);
  // Every truncation of every valid frame, with and without fixed checksums.
  for (const BaseFrame &b : bases) {
    for (size_t len = 0; len < b.frame.size(); len++) {
      Bytes f(b.frame.begin(), b.frame.begin() + long(len));
      if (len % 2) FixChecksums(f);
      Feed(f);
    }
    ASSERT_TRUE(StillAnswers()) << "after truncations of " << b.name;
  }
  // Header fields swept over their whole range: IHL, TCP data offset,
  // fragment field, UDP length.
  for (const BaseFrame &b : bases) {
    if (b.frame.size() < kIpAt + kIpHdrLen || Wire_Get16(&b.frame[12]) != kEtherTypeIp) continue;
    for (int v = 0; v < 16; v++) {
      Bytes f = b.frame;
      f[kIpAt] = uint8_t(0x40 | v);
      FixChecksums(f);
      Feed(f);
      f = b.frame;
      if (f[kIpAt + ip::kProto] == kProtoTcp) {
        f[L4At(f) + tcp::kOff] = uint8_t(v << 4);
        FixChecksums(f);
        Feed(f);
      }
    }
    for (uint16_t field : kFragFields) {
      Bytes f = b.frame;
      Wire_Put16(&f[kIpAt + ip::kFragOff], field);
      FixChecksums(f);
      Feed(f);
    }
  }
  const Bytes &udpFrame = bases[7].frame;
  ASSERT_STREQ(bases[7].name, "udp to loopback");
  for (uint32_t v = 0; v <= 65535; v++) {
    Bytes f = udpFrame;
    Wire_Put16(&f[L4At(f) + udp::kLen], uint16_t(v));
    FixChecksums(f);
    Feed(f);
  }
  ASSERT_TRUE(StillAnswers()) << "after the field sweeps";

  // Errors from the host network about the live connection and a UDP flow,
  // as the host socket saw them: the quotes get mutated too.
  Fd raw(socket(AF_INET, SOCK_RAW, IPPROTO_ICMP));
  Feed(bases[7].frame);
  std::vector<Bytes> hostErrors;
  if (UdpFlow *flow = Udp_FindFlow(kGuestIp, htons(40000))) {
    hostErrors.push_back(BuildIp(IpSpec{.src = kLoopbackIp, .dst = kLoopbackIp, .proto = kProtoUdp},
                                 BuildUdp(kLoopbackIp, kLoopbackIp,
                                          {.sport = ntohs(flow->local.sin_port), .dport = udpPort_}, {})));
  }
  if (TcpConn *c = Conn(g)) {
    TcpSpec t{.sport = ntohs(c->localPort), .dport = g.rport, .seq = g.sndNxt, .flags = tcp::kAckF};
    hostErrors.push_back(BuildIp(IpSpec{.src = kLoopbackIp, .dst = kLoopbackIp, .proto = kProtoTcp},
                                 BuildTcp(kLoopbackIp, kLoopbackIp, t, {})));
  }
  ASSERT_EQ(hostErrors.size(), 2u) << "flow or connection missing";
  auto hostError = [&](Bytes quote) {
    for (int i = 0, n = int(rng() % 4); i < n; i++) quote[rng() % quote.size()] ^= uint8_t(1u << (rng() % 8));
    if (rng() % 3 == 0) quote.resize(rng() % (quote.size() + 1));
    static const uint8_t kTypes[] = {3, 3, 11, 12, 4, 0};
    HostIcmp(raw, kTypes[rng() % std::size(kTypes)], uint8_t(rng() % 16), quote);
    (void)Frames();
  };

  // Random mutations, the clock moving on, valid traffic in between.
  int reopened = 0;
  for (int round = 0; round < 40; round++) {
    if (!Conn(g)) {
      g = GuestTcp{.gport = uint16_t(40101 + reopened++)};
      ASSERT_TRUE(OpenLive(g)) << "in round " << round;
      bases = ValidFrames(g, udpPort_);
    }
    for (const BaseFrame &b : bases) {
      for (int i = 0; i < 12; i++) Feed(Mutate(b.frame, rng));
    }
    for (int i = 0; i < 8; i++) hostError(hostErrors[rng() % hostErrors.size()]);
    Feed(bases[rng() % bases.size()].frame);
    Advance(round % 10 == 9 ? 30000 : 700);
    ASSERT_TRUE(StillAnswers()) << "in round " << round;
  }
  // Reassembly, retransmission, ARP and flow timers all run out.
  Advance(400000);
  EXPECT_TRUE(StillAnswers());
  EXPECT_GT(fed_, 80000);
  EXPECT_GT(reopened, 0) << "mutated segments never ended the live connection";
}

// ------------------------------------------------------------ targeted cases

/// Every frame the daemon has written, parsed as IPv4 (ARP frames skipped);
/// fails on a malformed packet.
AssertionResult SentIp(const std::vector<Bytes> &frames, std::vector<IpView> *out) {
  for (const Bytes &f : frames) {
    if (f.size() >= 14 && Wire_Get16(&f[12]) == kEtherTypeArp) continue;
    IpView ip;
    auto r = ParseIp(f, &ip);
    if (!r) return r;
    out->push_back(ip);
  }
  return AssertionSuccess();
}

// An IPv4 datagram holds at most 65535 bytes, so fragments that reach
// beyond that cannot belong to one. Here the last fragment sits at the
// largest offset (8191 * 8) and carries 8000 bytes: whatever the daemon
// makes of it, everything it sends must be well-formed IPv4 whose fragments
// join into one datagram.
TEST_F(HostileTest, FragmentsBeyondTheLargestDatagramDrawNoMalformedAnswer) {
  IpSpec s = Ip(kGatewayIp, kProtoIcmp);
  s.id = 0x0BAD;
  const uint32_t lastOff = 0x1FFF * 8;
  Bytes whole = BuildIcmp({.type = 8, .id = 0x0BAD, .seq = 1}, Pattern(lastOff + 8000 - 8));
  for (uint32_t off = 0; off < whole.size();) {
    uint32_t len = off < lastOff ? std::min<uint32_t>(1480, lastOff - off) : uint32_t(whole.size()) - off;
    SendFrame(BuildEth(kGatewayMac, kGuestMac, kEtherTypeIp,
                       BuildIpFragment(s, whole, off, len, off + len < whole.size())));
    off += len;
  }
  ASSERT_EQ(whole.size(), lastOff + 8000u);
  Step(3);
  std::vector<IpView> sent;
  ASSERT_TRUE(SentIp(Frames(), &sent));
  if (!sent.empty()) {
    IpView joined;
    ASSERT_TRUE(Reassemble(sent, &joined)) << sent.size() << " fragments sent";
    EXPECT_LE(joined.header.size() + joined.payload.size(), 65535u)
        << "an echo reply of " << joined.payload.size() << " bytes went out in " << sent.size() << " fragments";
  }
  EXPECT_EQ(Ip_ReasmCount(), 0u);
  EXPECT_TRUE(StillAnswers());
}


// Overlapping fragments discard the whole datagram wherever the overlap
// lies; the record goes at once and the next datagram with the same
// identification is reassembled normally.
TEST_F(HostileTest, OverlappingFragmentsDiscardTheDatagram) {
  struct Piece {
    size_t off, len;
    bool more;
  };
  struct Case {
    const char *what;
    std::vector<Piece> pieces;
  } cases[] = {
      {"second copy of the first", {{0, 64, true}, {0, 64, true}}},
      {"overlaps the end of the first", {{0, 64, true}, {56, 64, true}}},
      {"overlaps the start of the second", {{64, 64, true}, {8, 64, true}}},
      {"inside a received range", {{0, 128, true}, {16, 16, true}}},
      {"covers a received range", {{32, 16, true}, {0, 128, true}}},
      {"bridges two ranges too far", {{0, 32, true}, {64, 32, true}, {24, 48, true}}},
      {"last fragment overlapping", {{0, 64, true}, {32, 168, false}}},
  };
  Bytes whole = BuildIcmp({.type = 8, .id = 0x0F0F, .seq = 3}, Pattern(192));
  uint16_t id = 0x100;
  for (const Case &c : cases) {
    IpSpec s = Ip(kGatewayIp, kProtoIcmp);
    s.id = ++id;
    for (const Piece &p : c.pieces)
      SendFrame(BuildEth(kGatewayMac, kGuestMac, kEtherTypeIp, BuildIpFragment(s, whole, p.off, p.len, p.more)));
    EXPECT_EQ(Ip_ReasmCount(), 0u) << c.what;
    // The remaining pieces of a correct datagram no longer complete it.
    SendFrame(BuildEth(kGatewayMac, kGuestMac, kEtherTypeIp, BuildIpFragment(s, whole, 128, 72, false)));
    SendFrame(BuildEth(kGatewayMac, kGuestMac, kEtherTypeIp, BuildIpFragment(s, whole, 0, 128, true)));
    std::vector<IpView> sent;
    ASSERT_TRUE(SentIp(Frames(), &sent)) << c.what;
    ASSERT_EQ(sent.size(), 1u) << c.what << ": the fresh datagram is answered once";
    IcmpView icmp;
    ASSERT_TRUE(ParseIcmp(sent[0], &icmp)) << c.what;
    EXPECT_EQ(icmp.type, 0) << c.what;
    EXPECT_EQ(icmp.payload, Pattern(192)) << c.what;
  }
  EXPECT_TRUE(StillAnswers());
}

// IHL 0..15 on an echo request whose header really is 4 * IHL bytes (NOP
// options): below 5 it is dropped, from 5 on it is answered.
TEST_F(HostileTest, EveryHeaderLengthWithOptionsOfThatSize) {
  for (int ihl = 0; ihl < 16; ihl++) {
    IpSpec s = Ip(kGatewayIp, kProtoIcmp);
    if (ihl > 5) s.options.assign(size_t(ihl - 5) * 4, 1);  // NOP
    if (ihl < 5) s.ihl = ihl;
    SendIp(s, BuildIcmp({.type = 8, .id = 0x1111, .seq = uint16_t(ihl)}, Pattern(16)));
    std::vector<IpView> sent;
    ASSERT_TRUE(SentIp(Frames(), &sent)) << "IHL " << ihl;
    ASSERT_EQ(sent.size(), ihl < 5 ? 0u : 1u) << "IHL " << ihl;
    if (ihl < 5) continue;
    IcmpView icmp;
    ASSERT_TRUE(ParseIcmp(sent[0], &icmp)) << "IHL " << ihl;
    EXPECT_EQ(icmp.seq, ihl);
    EXPECT_EQ(icmp.payload, Pattern(16)) << "IHL " << ihl << ": data taken from after the options";
  }
}

// The UDP length field against the datagram: shorter than the header or
// longer than the packet drops it; shorter than the packet trims the data
// the outside host receives.
TEST_F(HostileTest, UdpLengthFieldDecidesWhatIsRelayed) {
  Bytes data = Pattern(40);
  for (uint32_t ulen : {0u, 1u, 7u, 8u, 9u, 30u, 47u, 48u, 49u, 1000u, 65535u}) {
    Bytes u = BuildUdp(kGuestIp, kLoopbackIp, {.sport = 42000, .dport = udpPort_}, data);
    Wire_Put16(&u[udp::kLen], uint16_t(ulen));
    Bytes f = EthIp(Ip(kLoopbackIp, kProtoUdp), u);
    FixChecksums(f);
    SendFrame(f);
    pollfd p{udpServer_.get(), POLLIN, 0};
    Bytes got(100);
    ssize_t n = poll(&p, 1, 200) > 0 ? recv(udpServer_.get(), got.data(), got.size(), 0) : -1;
    if (ulen < 8 || ulen > 48) {
      EXPECT_EQ(n, -1) << "UDP length " << ulen << " relayed";
    } else {
      ASSERT_EQ(n, ssize_t(ulen - 8)) << "UDP length " << ulen;
      got.resize(size_t(n));
      EXPECT_EQ(got, Bytes(data.begin(), data.begin() + long(ulen - 8))) << "UDP length " << ulen;
    }
  }
  EXPECT_TRUE(StillAnswers());
}

// TCP data offsets 0..15 on a SYN carrying 40 bytes of NOP options: below 5
// the segment is dropped, at 15 (all options) it opens the connection.
// Option lengths 0, 1 and 255 are never read past the header.
TEST_F(HostileTest, TcpDataOffsetsAndOptionLengths) {
  for (int off = 0; off < 16; off++) {
    uint16_t port = uint16_t(43000 + off);
    TcpSpec t{.sport = port, .dport = server_->port(), .seq = 100, .flags = tcp::kSyn};
    t.options.assign(40, 1);
    Bytes seg = BuildTcp(kGuestIp, kGatewayIp, t, {});
    seg[tcp::kOff] = uint8_t(off << 4);
    Bytes f = EthIp(Ip(kGatewayIp, kProtoTcp), seg);
    FixChecksums(f);
    SendFrame(f);
    ServePeers();
    Step(2);
    std::vector<IpView> sent;
    ASSERT_TRUE(SentIp(Frames(), &sent)) << "offset " << off;
    if (off < 5) {
      EXPECT_TRUE(sent.empty()) << "offset " << off << " answered";
      EXPECT_EQ(Tcp_ConnCount(), 0u) << "offset " << off;
    } else if (off == 15) {
      ASSERT_EQ(sent.size(), 1u);
      TcpView v;
      ASSERT_TRUE(ParseTcp(sent[0], &v));
      EXPECT_EQ(v.flags, tcp::kSyn | tcp::kAckF);
      EXPECT_EQ(v.ack, 101u);
    }
  }
  for (uint8_t len : {0, 1, 2, 255}) {
    for (uint8_t kind : {2, 3, 4, 8, 30}) {
      TcpSpec t{.sport = uint16_t(44000 + len * 8 + kind), .dport = server_->port(), .seq = 7, .flags = tcp::kSyn};
      t.options = {1, 1, kind, len};
      SendTcp(kGatewayIp, t);
      ServePeers();  // the server's backlog stays short
      Step(2);
    }
  }
  std::vector<IpView> sent;
  ASSERT_TRUE(SentIp(Frames(), &sent));
  for (const IpView &ip : sent) {
    TcpView v;
    ASSERT_TRUE(ParseTcp(ip, &v));
    EXPECT_EQ(v.flags, tcp::kSyn | tcp::kAckF) << "port " << v.dport;
    EXPECT_EQ(v.ack, 8u) << "port " << v.dport;
  }
  EXPECT_EQ(sent.size(), 20u);
  EXPECT_TRUE(StillAnswers());
}

// Option overload: the file and sname fields hold options of their own,
// some running past their field or without a length byte. The message type
// from the options area still counts and the offer goes out.
TEST_F(HostileTest, DhcpOverloadedFieldsWithBrokenOptions) {
  struct Case {
    const char *what;
    Bytes file, sname;
    bool answered;
  } cases[] = {
      {"length past the file field", {12, 255, 'x'}, {}, true},
      {"code without length at the end of sname", {}, Bytes(63, 0), true},
      {"pads only", Bytes(128, 0), Bytes(64, 0), true},
      // An empty type replacing the real one leaves an untyped DHCP message.
      {"zero-length message type", {53, 0, 255}, {53, 0, 255}, false},
  };
  for (const Case &c : cases) {
    Bytes m = Bootp(bootp::kDiscover, kGuest2Mac, {}, 3);
    std::fill(m.begin() + bootp::kFile, m.begin() + bootp::kFile + bootp::kFileLen, 0);
    std::fill(m.begin() + bootp::kSname, m.begin() + bootp::kSname + bootp::kSnameLen, 0);
    std::copy(c.file.begin(), c.file.end(), m.begin() + bootp::kFile);
    Bytes sname = c.sname;
    if (sname.size() == 63) sname.push_back(61);  // a code as the field's last byte
    std::copy(sname.begin(), sname.end(), m.begin() + bootp::kSname);
    SendFrame(DhcpFrame(m));
    std::vector<IpView> sent;
    ASSERT_TRUE(SentIp(Frames(), &sent)) << c.what;
    ASSERT_EQ(sent.size(), c.answered ? 1u : 0u) << c.what;
    if (!c.answered) continue;
    UdpView u;
    ASSERT_TRUE(ParseUdp(sent[0], &u)) << c.what;
    ASSERT_GE(u.payload.size(), bootp::kOptions + 3) << c.what;
    DhcpOption opts[256] = {};
    ASSERT_EQ(Dhcp_ParseOptions(opts, u.payload.data() + bootp::kOptions, u.payload.data() + u.payload.size()), 0);
    ASSERT_TRUE(opts[bootp::kOptMsgType].value) << c.what;
    EXPECT_EQ(opts[bootp::kOptMsgType].value[0], bootp::kOffer) << c.what;
  }
}

// ICMP errors from the host network quote a datagram of one of the daemon's
// host sockets; here the quote is cut at every length and its header length
// and protocol are wrong in every way. Afterwards a correct error about the
// same UDP flow still reaches the guest with the quote translated back.
TEST_F(HostileTest, HostIcmpErrorsWithBrokenQuotes) {
  ASSERT_TRUE(Icmp_HaveSocket()) << "the daemon's raw ICMP socket needs root";
  Fd raw(socket(AF_INET, SOCK_RAW, IPPROTO_ICMP));
  ASSERT_TRUE(raw.ok()) << strerror(errno);
  SendUdp(kLoopbackIp, 40500, udpPort_, Pattern(20));
  UdpFlow *flow = Udp_FindFlow(kGuestIp, htons(40500));
  ASSERT_NE(flow, nullptr);
  // The datagram as the host network saw it.
  Bytes quote = BuildIp(IpSpec{.src = kLoopbackIp, .dst = kLoopbackIp, .proto = kProtoUdp},
                        BuildUdp(kLoopbackIp, kLoopbackIp, {.sport = ntohs(flow->local.sin_port), .dport = udpPort_},
                                 Pattern(20)));
  auto sendError = [&](const Bytes &q) { HostIcmp(raw, 3, 3, q); };
  for (size_t len = 0; len < 28; len++) sendError(Bytes(quote.begin(), quote.begin() + long(len)));
  for (int ihl = 0; ihl < 16; ihl++) {
    Bytes q = quote;
    q[0] = uint8_t(0x40 | ihl);
    sendError(q);
  }
  for (uint8_t proto : {0, 1, 6, 17, 255}) {
    Bytes q = quote;
    q[ip::kProto] = proto;
    sendError(Bytes(q.begin(), q.begin() + 28));
  }
  std::vector<IpView> sent;
  ASSERT_TRUE(SentIp(Frames(), &sent));
  for (const IpView &ip : sent) {
    IcmpView icmp;
    EXPECT_TRUE(ParseIcmp(ip, &icmp)) << "an error relayed to the guest is well-formed";
  }

  sendError(quote);
  auto f = AwaitFrame([](const Bytes &b) {
    IpView ip;
    return ParseIp(b, &ip) && ip.proto == kProtoIcmp && ip.payload.size() >= 8 && ip.payload[0] == 3;
  });
  ASSERT_TRUE(f) << "the correct error was not relayed";
  IpView ip;
  IcmpView icmp;
  ASSERT_TRUE(ParseIp(*f, &ip));
  ASSERT_TRUE(ParseIcmp(ip, &icmp));
  EXPECT_EQ(ip.src, kGatewayIp);
  EXPECT_EQ(icmp.code, 3);
  ASSERT_GE(icmp.payload.size(), 28u);
  EXPECT_EQ(Wire_Get32n(&icmp.payload[ip::kSrc]), kGuestIp);
  EXPECT_EQ(Wire_Get16(&icmp.payload[20 + udp::kSport]), 40500);
  EXPECT_TRUE(StillAnswers());
}
}  // namespace
}  // namespace wire
