// Wire-level test harness: frame builders, checking parsers, the simulated
// clock and the WireTest fixture that runs the daemon's modules in-process
// with a fake guest on one end of a socket pair.
#include "wire/harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/poll.h"
#include "core/settings.h"
#include "core/timer.h"
#include "nat/icmp.h"
#include "packet/arp.h"
#include "packet/dev.h"
#include "packet/ip.h"
#include "packet/skbuff.h"
#include "packet/wire.h"

namespace wire {

using ::testing::AssertionFailure;
using ::testing::AssertionResult;
using ::testing::AssertionSuccess;

// ---------------------------------------------------------------- addresses

uint32_t Ip4(const char *dotted) {
  in_addr a{};
  if (inet_pton(AF_INET, dotted, &a) != 1) {
    fprintf(stderr, "harness: bad address literal %s\n", dotted);
    abort();
  }
  return a.s_addr;
}

const uint32_t kGatewayIp = Ip4("10.254.254.1");
const uint32_t kGuestIp = Ip4("10.254.254.10");
const uint32_t kGuest2Ip = Ip4("10.254.254.11");
const uint32_t kSubnetBcast = Ip4("10.254.254.255");
const uint32_t kLoopbackIp = Ip4("127.0.0.1");

std::string IpStr(uint32_t addrN) {
  const uint8_t *b = reinterpret_cast<const uint8_t *>(&addrN);
  char buf[20];
  snprintf(buf, sizeof buf, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return buf;
}

std::string MacStr(const Mac &m) {
  char buf[20];
  snprintf(buf, sizeof buf, "%02X:%02X:%02X:%02X:%02X:%02X", m[0], m[1], m[2], m[3], m[4], m[5]);
  return buf;
}

std::string HexStr(const Bytes &bytes, size_t max) {
  std::string s;
  char buf[4];
  for (size_t i = 0; i < bytes.size() && i < max; i++) {
    snprintf(buf, sizeof buf, "%02x", bytes[i]);
    if (i) s += ' ';
    s += buf;
  }
  if (bytes.size() > max) s += " ...";
  return s;
}

Bytes Pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; i++) b[i] = uint8_t(seed + i);
  return b;
}

// ----------------------------------------------------------------- builders

Bytes BuildEth(const Mac &dst, const Mac &src, uint16_t type, const Bytes &payload) {
  Bytes f(14 + payload.size());
  memcpy(f.data(), dst.data(), 6);
  memcpy(f.data() + 6, src.data(), 6);
  Wire_Put16(f.data() + 12, type);
  if (!payload.empty()) memcpy(f.data() + 14, payload.data(), payload.size());
  return f;
}

Bytes BuildArp(const ArpSpec &s) {
  Bytes p(28);
  Wire_Put16(&p[0], s.htype);
  Wire_Put16(&p[2], s.ptype);
  p[4] = s.hlen;
  p[5] = s.plen;
  Wire_Put16(&p[6], s.op);
  memcpy(&p[8], s.sha.data(), 6);
  Wire_Put32n(&p[14], s.spa);
  memcpy(&p[18], s.tha.data(), 6);
  Wire_Put32n(&p[24], s.tpa);
  return p;
}

Bytes BuildIp(const IpSpec &s, const Bytes &payload) {
  size_t hlen = 20 + s.options.size();
  Bytes p(hlen + payload.size());
  int ihl = s.ihl >= 0 ? s.ihl : int(hlen / 4);
  p[ip::kVerIhl] = uint8_t((s.version << 4) | (ihl & 0x0F));
  p[ip::kTos] = s.tos;
  Wire_Put16(&p[ip::kTotLen], uint16_t(s.totalLen >= 0 ? s.totalLen : int(p.size())));
  Wire_Put16(&p[ip::kId], s.id);
  Wire_Put16(&p[ip::kFragOff], s.frag);
  p[ip::kTtl] = s.ttl;
  p[ip::kProto] = s.proto;
  Wire_Put32n(&p[ip::kSrc], s.src);
  Wire_Put32n(&p[ip::kDst], s.dst);
  if (!s.options.empty()) memcpy(&p[20], s.options.data(), s.options.size());
  uint16_t c = Csum_Compute(p.data(), hlen);
  if (s.badChecksum) c ^= 0x5A5A;
  Wire_Put16(&p[ip::kCsum], c);
  if (!payload.empty()) memcpy(&p[hlen], payload.data(), payload.size());
  return p;
}

Bytes BuildIpFragment(IpSpec fields, const Bytes &whole, size_t off, size_t len, bool more) {
  fields.frag = uint16_t((off / 8) | (more ? 0x2000 : 0));
  Bytes part(whole.begin() + long(off), whole.begin() + long(off + len));
  return BuildIp(fields, part);
}

Bytes BuildIcmp(const IcmpSpec &s, const Bytes &payload) {
  Bytes m(8 + payload.size());
  m[0] = s.type;
  m[1] = s.code;
  Wire_Put16(&m[4], s.id);
  Wire_Put16(&m[6], s.seq);
  if (!payload.empty()) memcpy(&m[8], payload.data(), payload.size());
  uint16_t c = Csum_Compute(m.data(), m.size());
  if (s.badChecksum) c ^= 0x0101;
  Wire_Put16(&m[2], c);
  return m;
}

Bytes BuildUdp(uint32_t src, uint32_t dst, const UdpSpec &s, const Bytes &payload) {
  Bytes u(8 + payload.size());
  Wire_Put16(&u[udp::kSport], s.sport);
  Wire_Put16(&u[udp::kDport], s.dport);
  Wire_Put16(&u[udp::kLen], uint16_t(u.size()));
  if (!payload.empty()) memcpy(&u[8], payload.data(), payload.size());
  if (!s.noChecksum) {
    uint16_t c = Csum_Fold(Csum_Partial(u.data(), u.size(), Csum_Pseudo(src, dst, kProtoUdp, uint32_t(u.size()))));
    if (c == 0) c = 0xFFFF;
    if (s.badChecksum) c ^= 0x0101;
    Wire_Put16(&u[udp::kCsum], c);
  }
  return u;
}

Bytes BuildTcp(uint32_t src, uint32_t dst, const TcpSpec &s, const Bytes &payload) {
  size_t hlen = 20 + s.options.size();
  Bytes t(hlen + payload.size());
  Wire_Put16(&t[tcp::kSport], s.sport);
  Wire_Put16(&t[tcp::kDport], s.dport);
  Wire_Put32(&t[tcp::kSeq], s.seq);
  Wire_Put32(&t[tcp::kAck], s.ack);
  t[tcp::kOff] = uint8_t((hlen / 4) << 4);
  t[tcp::kFlags] = s.flags;
  Wire_Put16(&t[tcp::kWin], s.window);
  Wire_Put16(&t[tcp::kUrg], s.urg);
  if (!s.options.empty()) memcpy(&t[20], s.options.data(), s.options.size());
  if (!payload.empty()) memcpy(&t[hlen], payload.data(), payload.size());
  uint16_t c = Csum_Fold(Csum_Partial(t.data(), t.size(), Csum_Pseudo(src, dst, kProtoTcp, uint32_t(t.size()))));
  if (s.badChecksum) c ^= 0x0101;
  Wire_Put16(&t[tcp::kCsum], c);
  return t;
}

Bytes TcpMssOption(uint16_t mss) {
  Bytes o(4);
  o[0] = 2;
  o[1] = 4;
  Wire_Put16(&o[2], mss);
  return o;
}

// ------------------------------------------------------------------ parsers

namespace {

std::string Hex16(uint32_t v) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%04x", v);
  return buf;
}

// Checksum over `data` with a starting sum, as stored on the wire: a packet
// verifies when the folded sum over it, checksum field included, is 0.
bool Verifies(const Bytes &data, uint32_t start) {
  return Csum_Fold(Csum_Partial(data.data(), data.size(), start)) == 0;
}

// The checksum the sender should have written (field zeroed first).
uint16_t Expected(Bytes data, size_t field, uint32_t start) {
  data[field] = 0;
  data[field + 1] = 0;
  return Csum_Fold(Csum_Partial(data.data(), data.size(), start));
}

AssertionResult NotFragment(const IpView &ip, const char *what) {
  if (ip.IsFragment())
    return AssertionFailure() << what << ": packet is a fragment (frag field " << Hex16(ip.frag)
                              << "); Reassemble() first";
  return AssertionSuccess();
}

}  // namespace

AssertionResult ParseEth(const Bytes &frame, EthView *out) {
  if (frame.size() < 14) return AssertionFailure() << "frame of " << frame.size() << " bytes, want >= 14";
  memcpy(out->dst.data(), frame.data(), 6);
  memcpy(out->src.data(), frame.data() + 6, 6);
  out->type = Wire_Get16(frame.data() + 12);
  out->payload.assign(frame.begin() + 14, frame.end());
  return AssertionSuccess();
}

AssertionResult ParseArp(const Bytes &frame, ArpView *out) {
  auto r = ParseEth(frame, &out->eth);
  if (!r) return r;
  const EthView &e = out->eth;
  if (e.type != kEtherTypeArp)
    return AssertionFailure() << "EtherType: got " << Hex16(e.type) << ", want 0x0806 (ARP)";
  if (e.src != kGatewayMac)
    return AssertionFailure() << "Ethernet source: got " << MacStr(e.src) << ", want " << MacStr(kGatewayMac);
  if (e.payload.size() < 28)
    return AssertionFailure() << "ARP packet of " << e.payload.size() << " bytes, want >= 28";
  const uint8_t *p = e.payload.data();
  out->htype = Wire_Get16(p);
  out->ptype = Wire_Get16(p + 2);
  out->hlen = p[4];
  out->plen = p[5];
  out->op = Wire_Get16(p + 6);
  memcpy(out->sha.data(), p + 8, 6);
  out->spa = Wire_Get32n(p + 14);
  memcpy(out->tha.data(), p + 18, 6);
  out->tpa = Wire_Get32n(p + 24);
  if (out->htype != 1 || out->ptype != 0x0800 || out->hlen != 6 || out->plen != 4)
    return AssertionFailure() << "ARP header: got htype " << out->htype << " ptype " << Hex16(out->ptype)
                              << " hlen " << int(out->hlen) << " plen " << int(out->plen)
                              << ", want 1 0x0800 6 4";
  return AssertionSuccess();
}

AssertionResult ParseIp(const Bytes &frame, IpView *out) {
  auto r = ParseEth(frame, &out->eth);
  if (!r) return r;
  const EthView &e = out->eth;
  if (e.type != kEtherTypeIp)
    return AssertionFailure() << "EtherType: got " << Hex16(e.type) << ", want 0x0800 (IPv4)";
  if (e.src != kGatewayMac)
    return AssertionFailure() << "Ethernet source: got " << MacStr(e.src) << ", want " << MacStr(kGatewayMac);
  const Bytes &p = e.payload;
  if (p.size() < 20) return AssertionFailure() << "IPv4 packet of " << p.size() << " bytes, want >= 20";
  out->version = p[0] >> 4;
  out->ihl = p[0] & 0x0F;
  if (out->version != 4) return AssertionFailure() << "IP version: got " << int(out->version) << ", want 4";
  if (out->ihl < 5) return AssertionFailure() << "IHL: got " << int(out->ihl) << ", want >= 5";
  size_t hlen = size_t(out->ihl) * 4;
  out->tos = p[ip::kTos];
  out->totalLen = Wire_Get16(&p[ip::kTotLen]);
  out->id = Wire_Get16(&p[ip::kId]);
  out->frag = Wire_Get16(&p[ip::kFragOff]);
  out->ttl = p[ip::kTtl];
  out->proto = p[ip::kProto];
  out->src = Wire_Get32n(&p[ip::kSrc]);
  out->dst = Wire_Get32n(&p[ip::kDst]);
  if (out->totalLen != p.size())
    return AssertionFailure() << "IPv4 total length: got " << out->totalLen << ", frame carries " << p.size()
                              << " bytes after the Ethernet header";
  if (hlen > p.size()) return AssertionFailure() << "IPv4 header length " << hlen << " beyond the packet";
  out->header.assign(p.begin(), p.begin() + long(hlen));
  if (!Verifies(out->header, 0))
    return AssertionFailure() << "IPv4 checksum: got " << Hex16(Wire_Get16(&p[ip::kCsum])) << ", want "
                              << Hex16(Expected(out->header, ip::kCsum, 0));
  out->payload.assign(p.begin() + long(hlen), p.end());
  return AssertionSuccess();
}

AssertionResult Reassemble(const std::vector<IpView> &frags, IpView *out) {
  if (frags.empty()) return AssertionFailure() << "no fragments";
  const IpView *first = nullptr;
  size_t total = 0;
  bool haveLast = false;
  for (const IpView &f : frags) {
    const IpView &f0 = frags[0];
    if (f.id != f0.id || f.src != f0.src || f.dst != f0.dst || f.proto != f0.proto)
      return AssertionFailure() << "fragment of another datagram: id " << Hex16(f.id) << " vs " << Hex16(f0.id);
    if (f.OffsetBytes() == 0) {
      if (first) return AssertionFailure() << "two fragments at offset 0";
      first = &f;
    }
    if (!f.MoreFragments()) {
      if (haveLast) return AssertionFailure() << "two fragments without more-fragments";
      haveLast = true;
      total = f.OffsetBytes() + f.payload.size();
    } else if (f.payload.size() % 8 != 0) {
      return AssertionFailure() << "non-last fragment of " << f.payload.size() << " bytes (not a multiple of 8)";
    }
  }
  if (!first) return AssertionFailure() << "no fragment at offset 0";
  if (!haveLast) return AssertionFailure() << "no last fragment";
  Bytes data(total);
  std::vector<bool> seen(total, false);
  for (const IpView &f : frags) {
    size_t off = f.OffsetBytes();
    if (off + f.payload.size() > total)
      return AssertionFailure() << "fragment at " << off << " ends beyond the total " << total;
    for (size_t i = 0; i < f.payload.size(); i++) {
      if (seen[off + i]) return AssertionFailure() << "fragments overlap at byte " << off + i;
      seen[off + i] = true;
      data[off + i] = f.payload[i];
    }
  }
  for (size_t i = 0; i < total; i++)
    if (!seen[i]) return AssertionFailure() << "gap at byte " << i << " of " << total;
  *out = *first;
  out->frag = 0;
  out->payload = std::move(data);
  out->totalLen = uint16_t(out->header.size() + total);
  return AssertionSuccess();
}

AssertionResult ParseIcmp(const IpView &ip, IcmpView *out) {
  auto r = NotFragment(ip, "ICMP");
  if (!r) return r;
  if (ip.proto != kProtoIcmp) return AssertionFailure() << "IP protocol: got " << int(ip.proto) << ", want 1 (ICMP)";
  const Bytes &m = ip.payload;
  if (m.size() < 8) return AssertionFailure() << "ICMP message of " << m.size() << " bytes, want >= 8";
  if (!Verifies(m, 0))
    return AssertionFailure() << "ICMP checksum: got " << Hex16(Wire_Get16(&m[2])) << ", want "
                              << Hex16(Expected(m, 2, 0));
  out->type = m[0];
  out->code = m[1];
  out->id = Wire_Get16(&m[4]);
  out->seq = Wire_Get16(&m[6]);
  out->rest = Wire_Get32(&m[4]);
  out->payload.assign(m.begin() + 8, m.end());
  out->message = m;
  return AssertionSuccess();
}

AssertionResult ParseUdp(const IpView &ip, UdpView *out) {
  auto r = NotFragment(ip, "UDP");
  if (!r) return r;
  if (ip.proto != kProtoUdp) return AssertionFailure() << "IP protocol: got " << int(ip.proto) << ", want 17 (UDP)";
  const Bytes &u = ip.payload;
  if (u.size() < 8) return AssertionFailure() << "UDP datagram of " << u.size() << " bytes, want >= 8";
  out->sport = Wire_Get16(&u[udp::kSport]);
  out->dport = Wire_Get16(&u[udp::kDport]);
  out->len = Wire_Get16(&u[udp::kLen]);
  out->csum = Wire_Get16(&u[udp::kCsum]);
  if (out->len != u.size())
    return AssertionFailure() << "UDP length: got " << out->len << ", want " << u.size();
  uint32_t pseudo = Csum_Pseudo(ip.src, ip.dst, kProtoUdp, uint32_t(u.size()));
  if (out->csum != 0 && !Verifies(u, pseudo))
    return AssertionFailure() << "UDP checksum: got " << Hex16(out->csum) << ", want "
                              << Hex16(Expected(u, udp::kCsum, pseudo));
  out->payload.assign(u.begin() + 8, u.end());
  return AssertionSuccess();
}

uint16_t TcpView::Mss() const {
  for (size_t i = 0; i < options.size();) {
    uint8_t kind = options[i];
    if (kind == 0) break;
    if (kind == 1) {
      i++;
      continue;
    }
    if (i + 1 >= options.size() || options[i + 1] < 2) break;
    if (kind == 2 && options[i + 1] == 4 && i + 4 <= options.size()) return Wire_Get16(&options[i + 2]);
    i += options[i + 1];
  }
  return 0;
}

AssertionResult ParseTcp(const IpView &ip, TcpView *out) {
  auto r = NotFragment(ip, "TCP");
  if (!r) return r;
  if (ip.proto != kProtoTcp) return AssertionFailure() << "IP protocol: got " << int(ip.proto) << ", want 6 (TCP)";
  const Bytes &t = ip.payload;
  if (t.size() < 20) return AssertionFailure() << "TCP segment of " << t.size() << " bytes, want >= 20";
  out->hdrLen = uint8_t((t[tcp::kOff] >> 4) * 4);
  if (out->hdrLen < 20 || out->hdrLen > t.size())
    return AssertionFailure() << "TCP header length " << int(out->hdrLen) << " in a segment of " << t.size();
  uint32_t pseudo = Csum_Pseudo(ip.src, ip.dst, kProtoTcp, uint32_t(t.size()));
  if (!Verifies(t, pseudo))
    return AssertionFailure() << "TCP checksum: got " << Hex16(Wire_Get16(&t[tcp::kCsum])) << ", want "
                              << Hex16(Expected(t, tcp::kCsum, pseudo));
  out->sport = Wire_Get16(&t[tcp::kSport]);
  out->dport = Wire_Get16(&t[tcp::kDport]);
  out->seq = Wire_Get32(&t[tcp::kSeq]);
  out->ack = Wire_Get32(&t[tcp::kAck]);
  out->flags = t[tcp::kFlags];
  out->window = Wire_Get16(&t[tcp::kWin]);
  out->urg = Wire_Get16(&t[tcp::kUrg]);
  out->options.assign(t.begin() + 20, t.begin() + out->hdrLen);
  out->payload.assign(t.begin() + out->hdrLen, t.end());
  return AssertionSuccess();
}

// ------------------------------------------------------------ module hooks

namespace {

std::vector<WireHookFn> &SetUpHooks() {
  static std::vector<WireHookFn> hooks;
  return hooks;
}
std::vector<WireHookFn> &TeardownHooks() {
  static std::vector<WireHookFn> hooks;
  return hooks;
}

ClockTime g_simNow = {kSimStartSec, 0};
ClockSourceFn g_savedSource = nullptr;

int SimClock(ClockTime *out) {
  *out = g_simNow;
  return 0;
}

}  // namespace

bool Wire_RegisterSetUp(WireHookFn fn) {
  SetUpHooks().push_back(fn);
  return true;
}

bool Wire_RegisterTeardown(WireHookFn fn) {
  TeardownHooks().push_back(fn);
  return true;
}

// ------------------------------------------------------------------ fixture

void WireTest::SetUp() {
  Settings_Reset();
  g_settings.gatewayAddr = kGatewayIp;
  g_settings.prefixLen = 24;
  g_settings.netmask = Ip4("255.255.255.0");
  g_settings.networkAddr = Ip4("10.254.254.0");
  g_settings.broadcastAddr = kSubnetBcast;
  g_settings.extAddr = 0;
  g_settings.loopbackAddr = kLoopbackIp;
  g_settings.devFd = -1;
  memcpy(g_settings.gatewayMac, kGatewayMac.data(), 6);

  g_simNow = {kSimStartSec, 0};
  if (!g_savedSource) g_savedSource = Clock_Source;
  Clock_Source = SimClock;
  Clock_Update();

  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, sv), 0) << strerror(errno);
  guestFd_ = sv[0];
  devFd_ = sv[1];
  int big = 4 << 20;
  for (int fd : sv) {
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
  ASSERT_EQ(Dev_Attach(devFd_), 0) << "Dev_Attach failed";

  if (initIcmp_) (void)Icmp_Init();  // without root the daemon runs without echo NAT
  if (preLearnGuest_) {
    ASSERT_NE(Arp_Learn(kGuestIp, kGuestMac.data()), nullptr);
  }
  for (WireHookFn fn : SetUpHooks()) fn();
}

void WireTest::TearDown() {
  for (auto it = TeardownHooks().rbegin(); it != TeardownHooks().rend(); ++it) (*it)();
  Icmp_Reset();
  Ip_Reset();
  Arp_Reset();
  Poll_RemoveAll();
  // The device's release closes the daemon's end; close it here only if it
  // is still open (a device that never attached).
  if (devFd_ >= 0 && fcntl(devFd_, F_GETFD) != -1) close(devFd_);
  devFd_ = -1;
  if (guestFd_ >= 0) close(guestFd_);
  guestFd_ = -1;
  g_settings.devFd = -1;

  EXPECT_EQ(SkBuff_LiveCount(), 0) << "packet buffers left behind";
  EXPECT_EQ(Timer_Count(), 0u) << "timers left armed";
  EXPECT_EQ(Poll_ActiveCount(), 0u) << "poll entries left behind";
  if (g_savedSource) Clock_Source = g_savedSource;
}

void WireTest::SendFrame(const Bytes &frame) {
  ssize_t n = send(guestFd_, frame.data(), frame.size(), 0);
  ASSERT_EQ(n, ssize_t(frame.size())) << "guest send: " << strerror(errno);
  Step();
}

void WireTest::SendIp(const IpSpec &fields, const Bytes &payload, const Mac &srcMac, const Mac &dstMac) {
  SendFrame(BuildEth(dstMac, srcMac, kEtherTypeIp, BuildIp(fields, payload)));
}

void WireTest::SendIcmpEcho(uint32_t dst, uint16_t id, uint16_t seq, const Bytes &payload, uint8_t ttl) {
  IpSpec s{.src = kGuestIp, .dst = dst, .proto = kProtoIcmp, .ttl = ttl};
  SendIp(s, BuildIcmp({.type = 8, .id = id, .seq = seq}, payload));
}

void WireTest::SendUdp(uint32_t dst, uint16_t sport, uint16_t dport, const Bytes &payload, uint32_t src) {
  if (src == 0) src = kGuestIp;
  IpSpec s{.src = src, .dst = dst, .proto = kProtoUdp};
  SendIp(s, BuildUdp(src, dst, {.sport = sport, .dport = dport}, payload));
}

void WireTest::SendTcp(uint32_t dst, const TcpSpec &fields, const Bytes &payload, uint32_t src) {
  if (src == 0) src = kGuestIp;
  IpSpec s{.src = src, .dst = dst, .proto = kProtoTcp};
  SendIp(s, BuildTcp(src, dst, fields, payload));
}

void WireTest::SendArp(const ArpSpec &fields, const Mac &srcMac, const Mac &dstMac) {
  SendFrame(BuildEth(dstMac, srcMac, kEtherTypeArp, BuildArp(fields)));
}

void WireTest::ArpExchange(const Mac &mac, uint32_t ipN) {
  SendArp({.op = 1, .sha = mac, .spa = ipN, .tpa = kGatewayIp}, mac);
  auto f = WaitFrame(5);
  ASSERT_TRUE(f) << "no ARP reply for " << IpStr(ipN);
  ArpView a;
  ASSERT_TRUE(ParseArp(*f, &a));
  ASSERT_EQ(a.op, 2);
  ASSERT_EQ(MacStr(a.eth.dst), MacStr(mac));
}

void WireTest::Step(int passes) {
  for (int i = 0; i < passes; i++) Poll_RunOnce(0);
}

void WireTest::Advance(int64_t ms) {
  while (ms > 0) {
    int64_t slice = ms > 100 ? 100 : ms;
    ms -= slice;
    g_simNow.usec += slice * 1000;
    g_simNow.sec += g_simNow.usec / 1000000;
    g_simNow.usec %= 1000000;
    Clock_Update();
    Timer_RunExpired();
    Step();
  }
}

ClockTime WireTest::SimNow() { return g_simNow; }

std::optional<Bytes> WireTest::NextFrame() {
  Bytes buf(65536);
  ssize_t n = recv(guestFd_, buf.data(), buf.size(), MSG_DONTWAIT);
  if (n < 0) return std::nullopt;
  buf.resize(size_t(n));
  return buf;
}

std::vector<Bytes> WireTest::Frames() {
  std::vector<Bytes> out;
  while (auto f = NextFrame()) out.push_back(std::move(*f));
  return out;
}

std::optional<Bytes> WireTest::WaitFrame(int maxPasses) {
  for (int i = 0; i <= maxPasses; i++) {
    if (auto f = NextFrame()) return f;
    if (i == maxPasses) break;
    Poll_RunOnce(10);
  }
  return std::nullopt;
}

void WireTest::ExpectNoFrame(const char *why) {
  Step(3);
  auto f = NextFrame();
  EXPECT_FALSE(f) << "unexpected frame " << why << ": " << (f ? HexStr(*f) : "");
}

}  // namespace wire
