// Wire-level harness: the daemon's modules run in this process with the
// device at one end of a UNIX datagram socket pair and the test as the
// guest at the other. The clock is simulated (Advance); frames are built
// with the helpers below; every frame the daemon writes is decoded by one
// parser that verifies lengths and checksums, and Check compares it with
// the fields a test names. Addresses are in network byte order, ports and
// other numbers in host order.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <optional>

#include "core/limits.h"
#include "core/settings.h"
#include "lib/util.h"
#include "core/poll.h"
#include "core/timer.h"
#include "nat/dhcp.h"
#include "nat/icmp.h"
#include "nat/tcp.h"
#include "nat/tcp_accept.h"
#include "nat/udp.h"
#include "packet/arp.h"
#include "packet/dev.h"
#include "packet/ip.h"
#include "packet/skbuff.h"
#include "packet/wire.h"

namespace wire {

using Bytes = std::vector<uint8_t>;
using Mac = std::array<uint8_t, 6>;
using std::optional;
using ::testing::AssertionFailure;
using ::testing::AssertionResult;

constexpr uint32_t A(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  return std::endian::native == std::endian::little ? a | b << 8 | c << 16 | uint32_t(d) << 24
                                                    : uint32_t(a) << 24 | b << 16 | c << 8 | d;
}
inline constexpr uint32_t kGw = A(10, 254, 254, 1), kGuest = A(10, 254, 254, 10), kGuest2 = A(10, 254, 254, 11),
                          kLo = A(127, 0, 0, 1), kBcastIp = A(10, 254, 254, 255);
inline constexpr Mac kGwMac = {0x02, 0x4E, 0xA1, 0, 0, 1}, kGuestMac = {0x02, 0x7D, 0x33, 0, 0, 1},
                     kGuest2Mac = {0x02, 0x7D, 0x33, 0, 0, 2}, kBcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
enum : uint8_t { FIN = 1, SYN = 2, RST = 4, PSH = 8, ACK = 16 };

inline Bytes Pattern(size_t n, uint8_t seed = 0) {
  Bytes b(n);
  for (size_t i = 0; i < n; i++) b[i] = uint8_t(seed + i);
  return b;
}
inline Bytes Cat(Bytes a, const Bytes &b) { return a.insert(a.end(), b.begin(), b.end()), a; }
inline Bytes Sub(const Bytes &b, size_t at, size_t n) { return Bytes(b.begin() + long(at), b.begin() + long(at + n)); }

// RFC 1071 checksum of p[0, n) on top of `s` (a partial sum), folded and inverted.
inline uint16_t Sum(const uint8_t *p, size_t n, uint32_t s = 0) {
  for (size_t i = 0; i < n; i++) s += i % 2 ? p[i] : p[i] << 8;
  while (s >> 16) s = (s & 0xFFFF) + (s >> 16);
  return uint16_t(~s);
}
inline uint32_t Pseudo(uint32_t src, uint32_t dst, uint8_t proto, size_t len) {
  uint8_t b[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, proto, uint8_t(len >> 8), uint8_t(len)};
  Wire_Put32n(b, src), Wire_Put32n(b + 4, dst);
  return uint16_t(~Sum(b, 12));
}

// ---- builders; each fills in its checksum
struct IpH {
  uint32_t src = kGuest, dst = kGw;
  uint8_t proto = 1, ttl = 64, tos = 0;
  uint16_t id = 0x4242, frag = 0;  // flags and offset/8 as on the wire
  Bytes opt{};
  int ihl = -1, len = -1;  // -1: from the options and the payload
};
inline Bytes Ip(const IpH &h, const Bytes &l4) {
  Bytes p = Cat(Bytes(20), h.opt);
  p[0] = uint8_t(0x40 | (h.ihl >= 0 ? h.ihl : int(p.size() / 4))), p[1] = h.tos, p[8] = h.ttl, p[9] = h.proto;
  Wire_Put16(&p[2], uint16_t(h.len >= 0 ? h.len : int(p.size() + l4.size()))), Wire_Put16(&p[4], h.id);
  Wire_Put16(&p[6], h.frag), Wire_Put32n(&p[12], h.src), Wire_Put32n(&p[16], h.dst);
  Wire_Put16(&p[10], Sum(p.data(), p.size()));
  return Cat(p, l4);
}
inline Bytes Eth(const Mac &dst, const Mac &src, uint16_t type, const Bytes &payload) {
  Bytes f = Cat(Cat(Bytes(dst.begin(), dst.end()), Bytes(src.begin(), src.end())), {uint8_t(type >> 8), uint8_t(type)});
  return Cat(f, payload);
}
/// An IPv4 frame from the guest's MAC to the gateway's.
inline Bytes G(const IpH &h, const Bytes &l4) { return Eth(kGwMac, kGuestMac, 0x0800, Ip(h, l4)); }
/// Bytes [off, off + len) of `l4` as one fragment.
inline Bytes Frag(IpH h, const Bytes &l4, size_t off, size_t len, bool more) {
  h.frag = uint16_t(off / 8 | (more ? 0x2000 : 0));
  return G(h, Sub(l4, off, len));
}
inline Bytes Arp(uint16_t op, const Mac &sha, uint32_t spa, uint32_t tpa, const Mac &tha = {}) {
  Bytes p = Cat(Cat({0, 1, 8, 0, 6, 4, uint8_t(op >> 8), uint8_t(op)}, Bytes(sha.begin(), sha.end())), Bytes(4));
  p = Cat(Cat(p, Bytes(tha.begin(), tha.end())), Bytes(4));
  return Wire_Put32n(&p[14], spa), Wire_Put32n(&p[24], tpa), p;
}
inline Bytes Icmp(uint8_t type, uint8_t code, uint16_t id, uint16_t seq, const Bytes &data) {
  Bytes m = Cat({type, code, 0, 0, uint8_t(id >> 8), uint8_t(id), uint8_t(seq >> 8), uint8_t(seq)}, data);
  return Wire_Put16(&m[2], Sum(m.data(), m.size())), m;
}
inline Bytes Udp(uint32_t src, uint32_t dst, uint16_t sport, uint16_t dport, const Bytes &data) {
  Bytes u = Cat({uint8_t(sport >> 8), uint8_t(sport), uint8_t(dport >> 8), uint8_t(dport), 0, 0, 0, 0}, data);
  Wire_Put16(&u[4], uint16_t(u.size()));
  return Wire_Put16(&u[6], Sum(u.data(), u.size(), Pseudo(src, dst, 17, u.size()))), u;
}
inline Bytes Tcp(uint32_t src, uint32_t dst, uint16_t sport, uint16_t dport, uint32_t seq, uint32_t ack, uint8_t flags,
                 uint16_t win, const Bytes &opt, const Bytes &data) {
  Bytes t = Cat(Cat(Bytes(20), opt), data);
  Wire_Put16(&t[0], sport), Wire_Put16(&t[2], dport), Wire_Put32(&t[4], seq), Wire_Put32(&t[8], ack);
  t[12] = uint8_t((20 + opt.size()) / 4 << 4), t[13] = flags, Wire_Put16(&t[14], win);
  return Wire_Put16(&t[16], Sum(t.data(), t.size(), Pseudo(src, dst, 6, t.size()))), t;
}

// ---- a frame the daemon wrote, decoded and verified
struct Frame {
  std::string bad;  // why it is malformed; empty when well-formed
  Mac dst{};
  uint16_t id = 0, frag = 0, sport = 0, dport = 0, win = 0, mss = 0;
  uint32_t ipSrc = 0, ipDst = 0, rest = 0, seq = 0, ack = 0;
  uint8_t proto = 0, ttl = 0, type = 0, code = 0, flags = 0, off = 0;
  Bytes l4{}, data{};  // the IPv4 payload; what follows the last header decoded (an ARP packet: all of it)
};
inline Frame Parse(const Bytes &b) {
  Frame f;
  auto bad = [&](const char *why) { return f.bad = why, f; };
  if (b.size() < 14 || !std::equal(kGwMac.begin(), kGwMac.end(), b.begin() + 6)) return bad("not from the gateway");
  std::copy(b.begin(), b.begin() + 6, f.dst.begin());
  const uint8_t *p = b.data() + 14;
  size_t n = b.size() - 14;
  if (Wire_Get16(&b[12]) == 0x0806) return f.data = Bytes(p, p + n), f;
  size_t hl = n >= 20 ? size_t(p[0] & 15) * 4 : 0;
  if (Wire_Get16(&b[12]) != 0x0800 || hl < 20 || p[0] >> 4 != 4 || Wire_Get16(p + 2) != n || hl > n || Sum(p, hl))
    return bad("IPv4 header, length or checksum");
  f.id = Wire_Get16(p + 4), f.frag = Wire_Get16(p + 6), f.ttl = p[8], f.proto = p[9];
  f.ipSrc = Wire_Get32n(p + 12), f.ipDst = Wire_Get32n(p + 16);
  const uint8_t *t = p + hl;
  n -= hl;
  f.data = f.l4 = Bytes(t, t + n);
  uint32_t ps = Pseudo(f.ipSrc, f.ipDst, f.proto, n);
  if (f.frag & 0x3FFF) return f;
  if (f.proto == 1 && (n < 8 || Sum(t, n))) return bad("ICMP length or checksum");
  if (f.proto == 17 && (n < 8 || Wire_Get16(t + 4) != n || !Wire_Get16(t + 6) || Sum(t, n, ps)))
    return bad("UDP length or checksum");
  if (f.proto == 6 && (n < 20 || (t[12] >> 4) < 5 || (t[12] >> 4) * 4u > n || Sum(t, n, ps)))
    return bad("TCP header length or checksum");
  if (f.proto == 1) f.type = t[0], f.code = t[1], f.rest = Wire_Get32(t + 4), f.data.assign(t + 8, t + n);
  if (f.proto == 17) f.sport = Wire_Get16(t), f.dport = Wire_Get16(t + 2), f.data.assign(t + 8, t + n);
  if (f.proto != 6) return f;
  f.sport = Wire_Get16(t), f.dport = Wire_Get16(t + 2), f.seq = Wire_Get32(t + 4), f.ack = Wire_Get32(t + 8);
  f.off = uint8_t((t[12] >> 4) * 4), f.flags = t[13], f.win = Wire_Get16(t + 14);
  if (f.off >= 24 && t[20] == 2 && t[21] == 4) f.mss = Wire_Get16(t + 22);
  return f.data.assign(t + f.off, t + n), f;
}
/// The IPv4 payloads of one datagram's frames (any order) joined; each
/// within the 1500-byte MTU, no gap, more-fragments on all but the last.
inline AssertionResult Join(std::vector<Frame> v, Bytes *out) {
  std::sort(v.begin(), v.end(), [](auto &a, auto &b) { return (a.frag & 0x1FFF) < (b.frag & 0x1FFF); });
  for (size_t i = 0; i < v.size(); i++) {
    if (!v[i].bad.empty() || v[i].id != v[0].id || v[i].l4.size() > 1480 || (v[i].frag & 0x1FFF) * 8u != out->size() ||
        bool(v[i].frag & 0x2000) == (i + 1 == v.size()))
      return AssertionFailure() << "fragment " << i << " of " << v.size() << ": " << v[i].bad;
    *out = Cat(*out, v[i].l4);
  }
  return v.empty() ? AssertionFailure() << "no frame" : ::testing::AssertionSuccess();
}

/// The fields a test expects; unset ones are not compared.
struct Want {
  optional<Mac> dst{};
  optional<uint16_t> frag{}, sport{}, dport{}, win{}, mss{};
  optional<uint32_t> ipSrc{}, ipDst{}, rest{}, seq{}, ack{};
  optional<uint8_t> proto{}, ttl{}, type{}, code{}, flags{}, off{};
  optional<Bytes> data{};
};
template <class T>
std::string Show(const T &v) {
  if constexpr (std::is_integral_v<T>) return std::to_string(v);
  else return ::testing::PrintToString(std::vector<int>(v.begin(), v.end()));
}
inline AssertionResult Check(const Frame &f, const Want &w) {
  std::string d = f.bad;
#define CMP(x) \
  if (w.x && !(*w.x == f.x)) d += " " #x ": got " + Show(f.x) + ", want " + Show(*w.x) + ";";
  if (!d.empty()) return AssertionFailure() << d;
  CMP(dst) CMP(frag) CMP(sport) CMP(dport) CMP(win) CMP(mss) CMP(ipSrc) CMP(ipDst) CMP(rest) CMP(seq) CMP(ack)
  CMP(proto) CMP(ttl) CMP(type) CMP(code) CMP(flags) CMP(off) CMP(data)
#undef CMP
  return d.empty() ? ::testing::AssertionSuccess() : AssertionFailure() << d;
}

inline ClockTime g_now;

class WireTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Settings_Reset();
    for (int i = 0; i < kLimitCount; i++) Limits_Set(LimitId(i), 0);  // no limit, nothing counted
    std::copy(kGwMac.begin(), kGwMac.end(), g_settings.gatewayMac);
    g_now = {1700000000, 0};
    Clock_Source = [](ClockTime *out) { return *out = g_now, 0; };
    Clock_Update();
    int sv[2], big = 4 << 20;
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, sv), 0);
    for (int fd : sv) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    guestFd_ = sv[0];
    ASSERT_EQ(Dev_Attach(sv[1]), 0);
    (void)Icmp_Init();  // the raw socket needs root; the tests that relay echo check for it
    ASSERT_NE(Arp_Learn(kGuest, kGuestMac.data()), nullptr);
  }
  // The clock runs out every expiry first: no echo entry, reassembly, flow
  // or connection may outlive it. After the reset no buffer, segment,
  // timer, poll entry or listener may be left.
  void TearDown() override {
    for (int fd : fds_) close(fd);
    Advance(20 * 60 * 1000, 1000);
    EXPECT_EQ(Icmp_EchoCount() + Ip_ReasmCount() + Udp_FlowCount() + Tcp_ConnCount(), 0u) << "left after expiry";
    Tcp_Reset(), Udp_Reset(), Dhcp_Reset(), Icmp_Reset(), Ip_Reset(), Arp_Reset(), Poll_RemoveAll(), close(guestFd_);
    EXPECT_EQ(SkBuff_LiveCount() + Tcp_SegmentLiveCount() + Timer_Count() + Poll_ActiveCount() + TcpAccept_Count(), 0)
        << "left after the reset";
  }

  /// Writes a frame to the device and runs one loop pass.
  void Send(const Bytes &frame) {
    ASSERT_EQ(send(guestFd_, frame.data(), frame.size(), 0), ssize_t(frame.size()));
    Step();
  }
  void Step(int passes = 1) { while (passes-- > 0) Poll_RunOnce(0); }
  /// Moves the clock in slices, running the due timers and a pass after each.
  void Advance(int64_t ms, int64_t sliceMs = 100) {
    for (; ms > 0; ms -= sliceMs) {
      int64_t us = g_now.usec + std::min(ms, sliceMs) * 1000;
      g_now = {g_now.sec + us / 1000000, us % 1000000};
      Clock_Update();
      Timer_RunExpired();
      Step();
    }
  }
  /// `count()` is `before` 100 ms before `ms` more have passed and `after` 100 ms after.
  void Lives(int64_t ms, unsigned (*count)(), unsigned before, unsigned after = 0) {
    Advance(ms - 100);
    EXPECT_EQ(count(), before) << "before " << ms << " ms";
    Advance(200);
    EXPECT_EQ(count(), after) << "after " << ms << " ms";
  }
  /// The next frame written, waiting up to `waits` passes of up to 10 ms
  /// (for host sockets); bad is set when there is none. With devSegments a
  /// TCP frame beyond the MTU gets its checksum completed, as a device does.
  Frame Next(int waits = 200) {
    Bytes buf(65536 + 14);
    for (int i = 0;; i++) {
      ssize_t n = recv(guestFd_, buf.data(), buf.size(), 0);
      if (n > 1514 && g_settings.devSegments && buf[23] == 6) {
        uint8_t *t = &buf[14 + (buf[14] & 15) * 4u];
        Wire_Put16(t + 16, Sum(t, size_t(buf.data() + n - t)));
      }
      if (n >= 0) return Parse(Sub(buf, 0, size_t(n)));
      if (i == waits) return Frame{.bad = "no frame"};
      Poll_RunOnce(10);
    }
  }
  /// Every frame already written.
  std::vector<Frame> Out() {
    std::vector<Frame> v;
    for (Frame f; (f = Next(0)).bad != "no frame";) v.push_back(f);
    return v;
  }
  struct Case { const char *what; Bytes in; optional<Want> out; };  // out nullopt: no answer
  /// Sends each frame and checks its one answer, or that there is none.
  void Run(const std::vector<Case> &cases) {
    for (const Case &c : cases) {
      Send(c.in);
      EXPECT_TRUE(c.out ? Check(Next(5), *c.out) : ::testing::AssertionSuccess()) << c.what;
      Step(2);
      EXPECT_EQ(Out().size(), 0u) << c.what << ": frames too many";
    }
  }

  /// A socket of the test on 127.0.0.1, closed when the test ends; connecting
  /// to 127.0.0.1 port `peer` unless 0.
  int Sock(int type, uint16_t peer = 0) {
    int fd = socket(AF_INET, type | SOCK_NONBLOCK, 0);
    sockaddr_in sa{AF_INET, 0, {kLo}, {}};
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    if ((sa.sin_port = htons(peer))) connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    return fds_.push_back(fd), fd;
  }
  /// Sends an ICMP message to 127.0.0.1 from a raw socket: a router on loopback.
  void HostIcmp(const Bytes &m) {
    int raw = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
    sockaddr_in to{AF_INET, 0, {kLo}, {}};
    EXPECT_EQ(sendto(raw, m.data(), m.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to), ssize_t(m.size()));
    close(raw);
  }
  /// The port of socket `fd`, or of its peer.
  static uint16_t Port(int fd, bool peer = false) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    return (peer ? getpeername : getsockname)(fd, reinterpret_cast<sockaddr *>(&sa), &len), ntohs(sa.sin_port);
  }
  /// What host socket `fd` receives within `passes` loop passes (each
  /// waiting up to 10 ms); stops at `want` bytes or end of stream.
  Bytes Recv(int fd, size_t want, int passes = 200, bool *eof = nullptr) {
    Bytes out, buf(65536);
    for (int i = 0; i < passes && out.size() < want; i++) {
      Poll_RunOnce(0);
      pollfd p{fd, POLLIN, 0};
      ssize_t r = poll(&p, 1, 10) > 0 ? recv(fd, buf.data(), buf.size(), 0) : -1;
      if (r == 0) return eof ? (*eof = true, out) : out;
      if (r > 0) out = Cat(out, Sub(buf, 0, size_t(r)));
    }
    return out;
  }

  int guestFd_ = -1;
  std::vector<int> fds_;
};

}  // namespace wire
