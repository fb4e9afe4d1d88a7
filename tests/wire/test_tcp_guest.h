// Helpers of the TCP wire tests: a guest-side TCP endpoint driven by hand
// (segments built with the harness, answers parsed and checked), outside
// servers and clients on loopback, and a fixture that checks after every
// test that no connection, listener or queued segment is left.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "control/textbuf.h"
#include "core/settings.h"
#include "nat/tcp.h"
#include "nat/tcp_accept.h"
#include "nat/tcp_conn.h"
#include "packet/wire.h"
#include "wire/harness.h"

namespace wire {

/// Data segments the socket `fd` has sent so far, or -1 when unknown
/// (tcp_info.cpp).
int64_t TcpDataSegmentsOut(int fd);

/// A descriptor closed when the holder goes.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(Fd &&o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  Fd &operator=(Fd &&o) noexcept {
    if (this != &o) {
      Reset();
      fd_ = o.fd_;
      o.fd_ = -1;
    }
    return *this;
  }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  void Reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

/// A TCP server listening on a loopback address: the outside host.
class HostServer {
 public:
  explicit HostServer(const char *addr = "127.0.0.1", int backlog = 16, int rcvbuf = 0) {
    fd_.Reset(socket(AF_INET, SOCK_STREAM, 0));
    int one = 1;
    setsockopt(fd_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (rcvbuf > 0) setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = Ip4(addr);
    if (bind(fd_.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
        listen(fd_.get(), backlog) != 0) {
      ADD_FAILURE() << "server on " << addr << ": " << strerror(errno);
      return;
    }
    socklen_t len = sizeof sa;
    getsockname(fd_.get(), reinterpret_cast<sockaddr *>(&sa), &len);
    port_ = ntohs(sa.sin_port);
  }
  uint16_t port() const { return port_; }
  int fd() const { return fd_.get(); }
  /// The next connection (waits up to `waitMs` of real time), non-blocking.
  Fd Accept(int waitMs = 2000) {
    pollfd p{fd_.get(), POLLIN, 0};
    if (poll(&p, 1, waitMs) <= 0) return Fd();
    int c = accept(fd_.get(), nullptr, nullptr);
    if (c >= 0) fcntl(c, F_SETFL, fcntl(c, F_GETFL) | O_NONBLOCK);
    return Fd(c);
  }

 private:
  Fd fd_;
  uint16_t port_ = 0;
};

/// The guest end of one connection, as the test drives it.
struct GuestTcp {
  uint32_t remote = 0;     // destination as the guest sees it (network order)
  uint16_t gport = 40000;  // guest port (host order)
  uint16_t rport = 0;      // remote port (host order)
  uint32_t sndNxt = 1000;  // guest's next sequence number
  uint32_t rcvNxt = 0;     // next sequence expected from the daemon
  uint16_t window = 65535;
  uint8_t tos = 0;
};

class TcpWireTest : public WireTest {
 protected:
  void TearDown() override {
    WireTest::TearDown();
    EXPECT_EQ(Tcp_ConnCount(), 0u) << "TCP connections left behind";
    EXPECT_EQ(TcpAccept_Count(), 0u) << "TCP listeners left behind";
    EXPECT_EQ(Tcp_SegmentLiveCount(), 0) << "TCP segments left behind";
  }

  /// Sends one segment of `g` (sequence `seq`, default g.sndNxt; ack
  /// g.rcvNxt when ACK is among `flags`). Does not advance g.sndNxt.
  void Put(const GuestTcp &g, uint8_t flags, const Bytes &payload = {},
           std::optional<uint32_t> seq = std::nullopt, Bytes options = {}) {
    TcpSpec s{.sport = g.gport, .dport = g.rport, .seq = seq ? *seq : g.sndNxt,
              .ack = (flags & tcp::kAckF) ? g.rcvNxt : 0, .flags = flags, .window = g.window};
    s.options = std::move(options);
    IpSpec ip{.src = kGuestIp, .dst = g.remote, .proto = kProtoTcp, .tos = g.tos};
    SendIp(ip, BuildTcp(kGuestIp, g.remote, s, payload));
  }

  /// The Ethernet frame of one segment of `g` (as Put sends it).
  static Bytes SegmentFrame(const GuestTcp &g, uint8_t flags, const Bytes &payload, uint32_t seq) {
    TcpSpec s{.sport = g.gport, .dport = g.rport, .seq = seq,
              .ack = (flags & tcp::kAckF) ? g.rcvNxt : 0, .flags = flags, .window = g.window};
    IpSpec ip{.src = kGuestIp, .dst = g.remote, .proto = kProtoTcp, .tos = g.tos};
    return BuildEth(kGatewayMac, kGuestMac, kEtherTypeIp,
                    BuildIp(ip, BuildTcp(kGuestIp, g.remote, s, payload)));
  }

  /// Writes one segment of `g` like Put, but runs no loop pass: segments
  /// queued this way are read by the daemon in one batch at the next pass.
  void Queue(const GuestTcp &g, uint8_t flags, const Bytes &payload, uint32_t seq) {
    Bytes frame = SegmentFrame(g, flags, payload, seq);
    ASSERT_EQ(send(guestFd_, frame.data(), frame.size(), 0), ssize_t(frame.size()))
        << strerror(errno);
  }

  /// What the host socket `fd` has received, up to `n` bytes, read without
  /// running a loop pass (waiting up to 200 ms of real time for loopback).
  static Bytes ReadWithoutPass(int fd, size_t n) {
    Bytes out;
    while (out.size() < n) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 200) <= 0) break;
      uint8_t buf[65536];
      ssize_t r = read(fd, buf, sizeof buf);
      if (r <= 0) break;
      out.insert(out.end(), buf, buf + r);
    }
    return out;
  }

  /// Data with ACK and `extra` (by default PSH, as a guest ends each
  /// write) at g.sndNxt; advances g.sndNxt.
  void PutData(GuestTcp &g, const Bytes &data, uint8_t extra = tcp::kPsh) {
    Put(g, tcp::kAckF | extra, data);
    g.sndNxt += uint32_t(data.size()) + ((extra & tcp::kFin) ? 1 : 0);
  }

  /// Parses a frame as TCP from the daemon to the guest of `g` (addresses
  /// and ports checked, checksums verified).
  ::testing::AssertionResult AsTcp(const Bytes &frame, const GuestTcp &g, TcpView *out) {
    IpView ip;
    auto r = ParseIp(frame, &ip);
    if (!r) return r;
    if (ip.proto != kProtoTcp) return ::testing::AssertionFailure() << "protocol " << int(ip.proto);
    if (ip.src != g.remote || ip.dst != kGuestIp)
      return ::testing::AssertionFailure() << "addresses " << IpStr(ip.src) << " -> " << IpStr(ip.dst);
    r = ParseTcp(ip, out);
    if (!r) return r;
    if (out->sport != g.rport || out->dport != g.gport)
      return ::testing::AssertionFailure() << "ports " << out->sport << " -> " << out->dport;
    return ::testing::AssertionSuccess();
  }

  /// Every frame already written, as TCP segments of `g`.
  std::vector<TcpView> Segments(const GuestTcp &g) {
    std::vector<TcpView> out;
    for (const Bytes &f : Frames()) {
      TcpView t;
      EXPECT_TRUE(AsTcp(f, g, &t));
      out.push_back(t);
    }
    return out;
  }

  /// Waits (loop passes with real-time polls) for the next segment of `g`.
  std::optional<TcpView> WaitSegment(const GuestTcp &g, int maxPasses = 200) {
    auto f = WaitFrame(maxPasses);
    if (!f) return std::nullopt;
    TcpView t;
    EXPECT_TRUE(AsTcp(*f, g, &t));
    return t;
  }

  /// Guest SYN to g.remote:g.rport; waits for the SYN+ACK and sets rcvNxt.
  ::testing::AssertionResult Syn(GuestTcp &g, TcpView *synAck = nullptr) {
    Put(g, tcp::kSyn, {}, std::nullopt, TcpMssOption(1460));
    g.sndNxt += 1;
    auto t = WaitSegment(g);
    if (!t) return ::testing::AssertionFailure() << "no SYN+ACK";
    if (t->flags != (tcp::kSyn | tcp::kAckF))
      return ::testing::AssertionFailure() << "flags 0x" << std::hex << int(t->flags);
    if (t->ack != g.sndNxt) return ::testing::AssertionFailure() << "ack " << t->ack;
    g.rcvNxt = t->seq + 1;
    if (synAck) *synAck = *t;
    return ::testing::AssertionSuccess();
  }

  /// Full handshake to `srv` through the gateway address (relayed to
  /// 127.0.0.1): SYN, SYN+ACK, ACK. Returns the accepted host socket.
  Fd Open(GuestTcp &g, HostServer &srv) {
    g.remote = kGatewayIp;
    g.rport = srv.port();
    if (!Syn(g)) {
      ADD_FAILURE() << "handshake failed";
      return Fd();
    }
    Put(g, tcp::kAckF);
    Fd host = srv.Accept();
    EXPECT_TRUE(host.ok()) << "host side not accepted";
    return host;
  }

  TcpConn *Conn(const GuestTcp &g) {
    return TcpConn_Lookup(kGuestIp, htons(g.gport), g.remote, htons(g.rport));
  }

  /// Reads what the host socket receives until `n` bytes or `passes` loop
  /// passes (each waiting up to 10 ms). Stops early at end of stream.
  Bytes HostRead(int fd, size_t n, int passes = 200, bool *eof = nullptr) {
    Bytes out;
    if (eof) *eof = false;
    for (int i = 0; i < passes && out.size() < n; i++) {
      Step();
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 10) <= 0) continue;
      uint8_t buf[65536];
      ssize_t r = read(fd, buf, sizeof buf);
      if (r == 0) {
        if (eof) *eof = true;
        break;
      }
      if (r > 0) out.insert(out.end(), buf, buf + r);
    }
    return out;
  }

  /// True when the host socket sees end of stream (or reset) within a few
  /// passes.
  bool HostSeesEnd(int fd, int passes = 100) {
    for (int i = 0; i < passes; i++) {
      Step();
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 10) <= 0) continue;
      uint8_t buf[4096];
      ssize_t r = read(fd, buf, sizeof buf);
      if (r == 0 || (r < 0 && errno == ECONNRESET)) return true;
    }
    return false;
  }

  /// The TCP dump as text.
  static std::string Dump(void (*fn)(TextBuf *)) {
    TextBuf tb;
    TextBuf_Init(&tb);
    fn(&tb);
    std::string s(reinterpret_cast<char *>(tb.data), tb.len);
    TextBuf_Free(&tb);
    return s;
  }
};

}  // namespace wire
