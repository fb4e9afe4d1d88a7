// Fuzz target for the packet path: everything a guest can send on the
// virtual network. The daemon's modules run in this process as in the
// wire-level tests: the device is one end of a UNIX datagram socket pair,
// the clock is simulated, the DHCP server is on.
//
// Input layout (fuzz/frame_seeds.py writes seeds of every kind):
//   byte 0        option bits: 1 allowAnyOUI, 2 guest not pre-learned in ARP,
//                 4 DHCP server off, 8 a host client connects to the TCP
//                 forward 127.0.0.1:8080 -> guest port 80 from port 9000
//                 and sends a line, 16 a host client sends a datagram from
//                 port 9001 to the UDP forward 127.0.0.1:8053 -> guest port 53
//   then records: 2 bytes big-endian frame length (cut to what is left),
//                 1 byte clock step after the frame (below 0x80: n * 10 ms,
//                 else (n - 0x7F) seconds), the frame bytes. With the top
//                 bit of the length set the record is not a guest frame but
//                 an ICMP message sent from the host side to the daemon's
//                 raw socket (see SendHostIcmp).
//
// Every frame the daemon writes to the guest must be well-formed (see
// CheckSentFrame). After the frames the target checks that the daemon still
// answers an ARP request and an echo request to the gateway correctly,
// releases every
// table and aborts when a buffer, timer, poll entry, flow, connection,
// segment or reassembly record is left: libFuzzer keeps the input.
//
// Network safety: at start the process moves into a network namespace of
// its own (only loopback, brought up), so nothing a guest asks for can leave
// the machine. Destinations outside the guest subnet, loopback, broadcast
// and the TEST-NET ranges are rewritten into TEST-NET-2 there (loopback
// when no namespace could be made) before the daemon sees the packet, with
// the checksums adjusted so that valid packets stay valid.
//
// The custom mutator mutates one frame at a time (or the record layout)
// and, most of the time, recomputes the IPv4 header checksum and the ICMP,
// UDP or TCP checksum afterwards so that mutated packets get past the
// checksum checks.
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "core/config.h"
#include "core/poll.h"
#include "core/settings.h"
#include "core/timer.h"
#include "nat/dhcp.h"
#include "nat/icmp.h"
#include "nat/tcp.h"
#include "nat/tcp_accept.h"
#include "nat/tcp_conn.h"
#include "nat/udp.h"
#include "packet/arp.h"
#include "packet/dev.h"
#include "packet/dev_backend.h"
#include "packet/ip.h"
#include "packet/skbuff.h"
#include "packet/wire.h"

extern "C" size_t LLVMFuzzerMutate(uint8_t *data, size_t size, size_t maxSize);

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kGatewayMac[6] = {0x02, 0x4E, 0xA1, 0x00, 0x00, 0x01};
constexpr uint8_t kGuestMac[6] = {0x02, 0x7D, 0x33, 0x00, 0x00, 0x01};
constexpr uint16_t kServerPort = 7777;  // loopback TCP and UDP servers
constexpr uint16_t kTcpForwardPort = 8080, kUdpForwardPort = 8053;  // incoming forwards
constexpr uint16_t kTcpClientPort = 9000, kUdpClientPort = 9001;    // their host clients
constexpr int64_t kSimStartSec = 1700000000;

uint32_t Addr(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  uint8_t bytes[4] = {a, b, c, d};
  return Wire_Get32n(bytes);
}

const uint32_t kGatewayIp = Addr(10, 254, 254, 1);
const uint32_t kGuestIp = Addr(10, 254, 254, 10);

void Check(bool ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "fuzz_frames: %s\n", what);
    abort();
  }
}

// ------------------------------------------------------------ the clock

ClockTime g_simNow = {kSimStartSec, 0};

int SimClock(ClockTime *out) {
  *out = g_simNow;
  return 0;
}

void AdvanceMs(int64_t ms) {
  g_simNow.usec += ms * 1000;
  g_simNow.sec += g_simNow.usec / 1000000;
  g_simNow.usec %= 1000000;
  Clock_Update();
  Timer_RunExpired();
  Poll_RunOnce(0);
}

// ------------------------------------------------------ network safety

bool g_ownNamespace = false;

bool SafeDestination(uint32_t dN) {
  const uint8_t *d = reinterpret_cast<const uint8_t *>(&dN);
  if (d[0] == 127 || dN == 0 || dN == 0xFFFFFFFFu) return true;
  if (d[0] == 10 && d[1] == 254 && d[2] == 254) return true;  // the guest subnet
  if (!g_ownNamespace) return false;
  return (d[0] == 192 && d[1] == 0 && d[2] == 2) || (d[0] == 198 && d[1] == 51 && d[2] == 100) ||
         (d[0] == 203 && d[1] == 0 && d[2] == 113);
}

// Rewrites an unsafe IPv4 destination in place, keeping the IPv4 header
// checksum and (in a first fragment) the TCP or UDP checksum as valid or
// invalid as they were.
void MakeDestinationSafe(uint8_t *iph, size_t len) {
  if (len < kIpHdrLen || (iph[ip::kVerIhl] >> 4) != 4) return;
  uint32_t oldN = Wire_Get32n(iph + ip::kDst);
  if (SafeDestination(oldN)) return;
  const uint8_t *o = iph + ip::kDst;
  uint32_t newN = g_ownNamespace ? Addr(198, 51, 100, o[3]) : Addr(127, 0, 0, uint8_t(o[3] | 1));
  uint32_t oldH = Wire_Get32(iph + ip::kDst);
  Wire_Put32n(iph + ip::kDst, newN);
  uint32_t newH = Wire_Get32(iph + ip::kDst);
  Wire_Put16(iph + ip::kCsum, Csum_Update32(Wire_Get16(iph + ip::kCsum), oldH, newH));
  size_t hlen = ip::HdrLen(iph);
  if ((Wire_Get16(iph + ip::kFragOff) & ip::kOffMask) != 0 || hlen < kIpHdrLen) return;
  size_t field = iph[ip::kProto] == kProtoTcp ? tcp::kCsum : iph[ip::kProto] == kProtoUdp ? udp::kCsum : 0;
  if (field == 0 || hlen + field + 2 > len) return;
  uint8_t *c = iph + hlen + field;
  if (iph[ip::kProto] == kProtoUdp && Wire_Get16(c) == 0) return;  // no checksum
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

// Moves the process into a new network namespace with loopback up.
void EnterOwnNamespace() {
  if (unshare(CLONE_NEWNET) != 0) {
    fprintf(stderr, "fuzz_frames: no network namespace (%s); destinations are kept on loopback\n",
            strerror(errno));
    return;
  }
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  ifreq ifr{};
  strcpy(ifr.ifr_name, "lo");
  bool up = s >= 0 && ioctl(s, SIOCGIFFLAGS, &ifr) == 0 && (ifr.ifr_flags |= IFF_UP, ioctl(s, SIOCSIFFLAGS, &ifr) == 0);
  if (s >= 0) close(s);
  Check(up, "cannot bring loopback up in the new namespace");
  g_ownNamespace = true;
}

// ------------------------------------------------- loopback servers

int g_tcpListen = -1;
int g_udpServer = -1;
std::vector<int> g_accepted;
int g_tcpClient = -1, g_udpClient = -1;  // host clients of the incoming forwards

void OpenServers() {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(kServerPort);
  int one = 1;
  g_tcpListen = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  setsockopt(g_tcpListen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(g_tcpListen, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(g_tcpListen, 64) != 0) {
    close(g_tcpListen);
    g_tcpListen = -1;
  }
  g_udpServer = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
  if (bind(g_udpServer, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
    close(g_udpServer);
    g_udpServer = -1;
  }
}

// The outside hosts answer: TCP data and UDP datagrams are echoed back; a
// TCP server that reads "QUIT" closes its side after the echo.
void ServePeers() {
  uint8_t buf[4096];
  if (g_tcpListen >= 0) {
    int fd;
    while ((fd = accept4(g_tcpListen, nullptr, nullptr, SOCK_NONBLOCK)) >= 0) g_accepted.push_back(fd);
  }
  for (int fd : g_accepted) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      (void)!write(fd, buf, size_t(n));
      if (memmem(buf, size_t(n), "QUIT", 4)) shutdown(fd, SHUT_WR);
    }
  }
  for (int fd : {g_tcpClient, g_udpClient}) {
    if (fd >= 0) (void)!read(fd, buf, sizeof buf);
  }
  if (g_udpServer >= 0) {
    sockaddr_in from{};
    socklen_t flen = sizeof from;
    ssize_t n;
    while ((n = recvfrom(g_udpServer, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &flen)) >= 0) {
      (void)sendto(g_udpServer, buf, size_t(n), 0, reinterpret_cast<sockaddr *>(&from), flen);
      flen = sizeof from;
    }
  }
}

void CloseAccepted() {
  for (int fd : g_accepted) close(fd);
  g_accepted.clear();
}

// ----------------------------------------------------- the daemon

int g_guestFd = -1;
bool g_verbose = false;  // NATD_FUZZ_VERBOSE set: a line per frame (seed development)

void Init() {
  static bool done = false;
  if (done) return;
  done = true;
  signal(SIGPIPE, SIG_IGN);  // as the daemon's start-up does
  EnterOwnNamespace();
  OpenServers();
  Config_Path = "/nonexistent/natd-fuzz.conf";
  Clock_Source = SimClock;
  Dev_DeliverHook = SafeDeliver;
  g_verbose = getenv("NATD_FUZZ_VERBOSE") != nullptr;
}

sockaddr_in Loopback(uint16_t portH) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(portH);
  return sa;
}

// A socket of `type` bound to 127.0.0.1:portH and connected to toPortH.
int HostClient(int type, uint16_t portH, uint16_t toPortH) {
  int fd = socket(AF_INET, type | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in me = Loopback(portH), to = Loopback(toPortH);
  if (bind(fd, reinterpret_cast<sockaddr *>(&me), sizeof me) != 0 ||
      (connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0 && errno != EINPROGRESS)) {
    close(fd);
    return -1;
  }
  return fd;
}

// The listener accepts the client and sends its SYN to the guest; the
// client's line waits in the socket until the guest completes the handshake.
void StartTcpForward() {
  if (!TcpAccept_Create(kGuestIp, htons(80), 0, 0, 0, htons(kTcpForwardPort))) return;
  g_tcpClient = HostClient(SOCK_STREAM, kTcpClientPort, kTcpForwardPort);
  if (g_tcpClient < 0) return;
  Poll_RunOnce(0);
  (void)send(g_tcpClient, "hello QUIT\r\n", 12, MSG_NOSIGNAL);
}

void StartUdpForward() {
  if (Udp_AddForward(kGuestIp, htons(53), htonl(INADDR_LOOPBACK), htons(kUdpForwardPort)) != 0) return;
  g_udpClient = HostClient(SOCK_DGRAM, kUdpClientPort, kUdpForwardPort);
  if (g_udpClient >= 0) (void)send(g_udpClient, "query", 5, 0);
  Poll_RunOnce(0);
}

// Closes a host client; TCP with a reset, so that no TIME_WAIT keeps its
// fixed port from the next input.
void CloseClient(int *fd) {
  if (*fd < 0) return;
  linger lg{1, 0};
  setsockopt(*fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  close(*fd);
  *fd = -1;
}

void StartDaemon(uint8_t options) {
  Settings_Reset();
  g_settings.gatewayAddr = kGatewayIp;
  g_settings.prefixLen = 24;
  Settings_DeriveNetwork();
  g_settings.extAddr = 0;
  g_settings.loopbackAddr = htonl(INADDR_LOOPBACK);
  memcpy(g_settings.gatewayMac, kGatewayMac, 6);
  g_settings.allowAnyOUI = options & 1;
  g_settings.enableNatDhcp = (options & 4) ? 0 : 1;
  g_simNow = {kSimStartSec, 0};
  Clock_Update();
  srand(1);  // initial sequence numbers the seeds can acknowledge

  int sv[2];
  Check(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, sv) == 0, "socketpair");
  int big = 1 << 20;
  for (int fd : sv) {
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  }
  g_guestFd = sv[0];
  Check(Dev_Attach(sv[1]) == 0, "Dev_Attach");
  (void)Icmp_Init();
  Udp_Init();
  if (!(options & 2)) Check(Arp_Learn(kGuestIp, kGuestMac) != nullptr, "Arp_Learn");
  if (options & 8) StartTcpForward();
  if (options & 16) StartUdpForward();
}

// Checks a frame the daemon wrote to the guest: from the gateway MAC; ARP
// of 42 bytes for Ethernet/IPv4; IPv4 with the daemon's own 20-byte header,
// a valid checksum, a total length equal to what the frame carries, and
// fragments that stay inside 65535 bytes (non-last ones a multiple of 8).
void CheckSentFrame(const uint8_t *f, size_t n) {
  Check(n >= 14 && memcmp(f + 6, kGatewayMac, 6) == 0, "frame to the guest not from the gateway MAC");
  uint16_t type = Wire_Get16(f + 12);
  if (type == kEtherTypeArp) {
    Check(n == 14 + kArpLen && Wire_Get16(f + 14) == 1 && Wire_Get16(f + 16) == kEtherTypeIp && f[18] == 6 &&
              f[19] == 4,
          "malformed ARP frame to the guest");
    return;
  }
  Check(type == kEtherTypeIp, "frame of an unknown type to the guest");
  const uint8_t *h = f + 14;
  Check(n >= 14 + kIpHdrLen && h[0] == 0x45, "IPv4 header to the guest not 20 bytes");
  Check(Csum_Compute(h, kIpHdrLen) == 0, "IPv4 header checksum to the guest wrong");
  uint32_t total = Wire_Get16(h + ip::kTotLen);
  Check(total == n - 14, "IPv4 total length to the guest differs from the frame");
  uint16_t field = Wire_Get16(h + ip::kFragOff);
  uint32_t payload = total - kIpHdrLen;
  Check(8u * (field & ip::kOffMask) + payload <= 0xFFFF - kIpHdrLen, "fragment to the guest beyond 65535 bytes");
  Check(!(field & ip::kFlagMF) || payload % 8 == 0, "non-last fragment to the guest not a multiple of 8");
}

// Reads what the daemon sent to the guest, checking each frame; returns
// the number of frames.
int DrainGuest() {
  uint8_t buf[65536];
  int n = 0;
  ssize_t len;
  while ((len = recv(g_guestFd, buf, sizeof buf, MSG_DONTWAIT)) >= 0) {
    CheckSentFrame(buf, size_t(len));
    n++;
  }
  return n;
}

void SendFrame(const uint8_t *frame, size_t len) {
  if (len == 0) return;
  (void)send(g_guestFd, frame, len, MSG_DONTWAIT);
  Poll_RunOnce(0);
  ServePeers();
  Poll_RunOnce(0);
  int answers = DrainGuest();
  if (g_verbose)
    fprintf(stderr, "frame of %zu bytes: %d frames back; tcp %u udp %u echo %u reasm %u arp %u\n", len, answers,
            Tcp_ConnCount(), Udp_FlowCount(), Icmp_EchoCount(), Ip_ReasmCount(), Arp_Count());
}

// An ICMP error (or any ICMP message) from the host side. The quoted
// datagram is written as the guest sees its connection or flow: quoted
// source = guest address and port, quoted destination = what the guest
// sent to. When such a connection or flow exists, the quote is rewritten
// into what the host network saw (the host socket's address and port,
// loopback for the gateway), so that the error can be matched. The message
// goes from a raw socket to 127.0.0.1.
int g_hostIcmp = -1;

void SendHostIcmp(Bytes msg) {
  if (g_hostIcmp < 0) {
    g_hostIcmp = socket(AF_INET, SOCK_RAW | SOCK_NONBLOCK, IPPROTO_ICMP);
    if (g_hostIcmp < 0) return;
  }
  if (msg.size() >= 8 + kIpHdrLen + 8 && (msg[8] >> 4) == 4) {
    uint8_t *q = &msg[8];
    size_t qhl = ip::HdrLen(q);
    if (qhl >= kIpHdrLen && 8 + qhl + 4 <= msg.size()) {
      uint8_t *ports = q + qhl;
      uint32_t srcN = Wire_Get32n(q + ip::kSrc), dstN = Wire_Get32n(q + ip::kDst);
      uint16_t sportN = Wire_Get16n(ports), dportN = Wire_Get16n(ports + 2);
      uint32_t hostSrc = 0;
      uint16_t hostPort = 0;
      if (q[ip::kProto] == kProtoTcp) {
        if (TcpConn *c = TcpConn_Lookup(srcN, sportN, dstN, dportN)) {
          hostSrc = c->localAddr;
          hostPort = c->localPort;
        }
      } else if (q[ip::kProto] == kProtoUdp) {
        if (UdpFlow *f = Udp_FindFlow(srcN, sportN)) {
          hostSrc = f->local.sin_addr.s_addr;
          hostPort = f->local.sin_port;
        }
      }
      if (hostPort) {
        Wire_Put32n(q + ip::kSrc, hostSrc ? hostSrc : htonl(INADDR_LOOPBACK));
        Wire_Put16n(ports, hostPort);
        if (dstN == kGatewayIp) Wire_Put32n(q + ip::kDst, htonl(INADDR_LOOPBACK));
      }
    }
  }
  if (msg.size() >= 4) {
    Wire_Put16(&msg[2], 0);
    Wire_Put16(&msg[2], Csum_Compute(msg.data(), msg.size()));
  }
  sockaddr_in to = Loopback(0);
  (void)sendto(g_hostIcmp, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
  Poll_RunOnce(0);
  int answers = DrainGuest();
  if (g_verbose) fprintf(stderr, "host ICMP of %zu bytes: %d frames to the guest\n", msg.size(), answers);
}

// The gateway must still answer ARP for its address and an echo request
// with the same identifier, sequence number and data.
void CheckStillAnswers() {
  DrainGuest();
  uint8_t arp[42] = {};
  memset(arp, 0xFF, 6);
  memcpy(arp + 6, kGuestMac, 6);
  Wire_Put16(arp + 12, kEtherTypeArp);
  uint8_t *a = arp + 14;
  Wire_Put16(a, 1);
  Wire_Put16(a + 2, kEtherTypeIp);
  a[4] = 6;
  a[5] = 4;
  Wire_Put16(a + 6, 1);
  memcpy(a + 8, kGuestMac, 6);
  Wire_Put32n(a + 14, kGuestIp);
  Wire_Put32n(a + 24, kGatewayIp);
  (void)send(g_guestFd, arp, sizeof arp, MSG_DONTWAIT);
  Poll_RunOnce(0);
  uint8_t buf[65536];
  ssize_t n = recv(g_guestFd, buf, sizeof buf, MSG_DONTWAIT);
  if (n >= 0) CheckSentFrame(buf, size_t(n));
  Check(n >= 42 && Wire_Get16(buf + 12) == kEtherTypeArp && memcmp(buf, kGuestMac, 6) == 0 &&
            Wire_Get16(buf + 20) == 2 && memcmp(buf + 22, kGatewayMac, 6) == 0 &&
            Wire_Get32n(buf + 28) == kGatewayIp,
        "no correct ARP reply for the gateway after the input");

  uint8_t ping[14 + 20 + 8 + 16];
  memcpy(ping, kGatewayMac, 6);
  memcpy(ping + 6, kGuestMac, 6);
  Wire_Put16(ping + 12, kEtherTypeIp);
  uint8_t *h = ping + 14;
  memset(h, 0, 20);
  h[0] = 0x45;
  Wire_Put16(h + ip::kTotLen, 44);
  Wire_Put16(h + ip::kId, 0x7357);
  h[ip::kTtl] = 64;
  h[ip::kProto] = kProtoIcmp;
  Wire_Put32n(h + ip::kSrc, kGuestIp);
  Wire_Put32n(h + ip::kDst, kGatewayIp);
  Wire_Put16(h + ip::kCsum, Csum_Compute(h, 20));
  uint8_t *m = h + 20;
  memset(m, 0, 8);
  m[0] = 8;
  Wire_Put16(m + 4, 0xBEEF);
  Wire_Put16(m + 6, 0x0102);
  for (int i = 0; i < 16; i++) m[8 + i] = uint8_t(0xA0 + i);
  Wire_Put16(m + 2, Csum_Compute(m, 24));
  (void)send(g_guestFd, ping, sizeof ping, MSG_DONTWAIT);
  Poll_RunOnce(0);
  // Other traffic the input started may come first.
  for (int i = 0; i < 64; i++) {
    n = recv(g_guestFd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0) break;
    CheckSentFrame(buf, size_t(n));
    if (n < 14 + 20 + 8 || Wire_Get16(buf + 12) != kEtherTypeIp) continue;
    const uint8_t *r = buf + 14;
    size_t hl = ip::HdrLen(r);
    const uint8_t *e = r + hl;
    if (r[ip::kProto] != kProtoIcmp || size_t(n) < 14 + hl + 8 || e[0] != 0 || Wire_Get16(e + 4) != 0xBEEF)
      continue;
    Check(Wire_Get32n(r + ip::kSrc) == kGatewayIp && Wire_Get32n(r + ip::kDst) == kGuestIp,
          "echo reply addresses");
    Check(size_t(n) == 14 + hl + 24 && Wire_Get16(e + 6) == 0x0102 && memcmp(e + 8, m + 8, 16) == 0 &&
              Csum_Compute(e, 24) == 0,
          "echo reply contents");
    return;
  }
  Check(false, "no echo reply from the gateway after the input");
}

void StopDaemon() {
  CloseClient(&g_tcpClient);
  CloseClient(&g_udpClient);
  Tcp_Reset();
  Udp_Reset();
  Dhcp_Reset();
  Icmp_Reset();
  Ip_Reset();
  Arp_Reset();
  Poll_RemoveAll();
  close(g_guestFd);
  g_guestFd = -1;
  CloseAccepted();
  ServePeers();  // drops the datagrams still queued for the UDP server
  CloseAccepted();
  Check(SkBuff_LiveCount() == 0, "packet buffers left behind");
  Check(Timer_Count() == 0, "timers left armed");
  Check(Poll_ActiveCount() == 0, "poll entries left behind");
  Check(Tcp_ConnCount() == 0, "TCP connections left behind");
  Check(TcpAccept_Count() == 0, "TCP listeners left behind");
  Check(Tcp_SegmentLiveCount() == 0, "TCP segments left behind");
  Check(Udp_FlowCount() == 0, "UDP flows left behind");
  Check(Ip_ReasmCount() == 0, "reassembly records left behind");
  Check(Arp_Count() == 0, "ARP entries left behind");
  Check(Icmp_EchoCount() == 0, "echo entries left behind");
}

// ------------------------------------------------------ input records

struct Record {
  bool host = false;  // an ICMP message from the host side
  uint8_t step = 0;
  Bytes frame;
};

struct Input {
  uint8_t options = 0;
  std::vector<Record> records;
};

Input Parse(const uint8_t *data, size_t size) {
  Input in;
  if (size == 0) return in;
  in.options = data[0];
  size_t pos = 1;
  while (pos + 3 <= size) {
    size_t len = Wire_Get16(data + pos) & 0x7FFF;
    Record r;
    r.host = (data[pos] & 0x80) != 0;
    r.step = data[pos + 2];
    pos += 3;
    if (len > size - pos) len = size - pos;
    r.frame.assign(data + pos, data + pos + len);
    pos += len;
    in.records.push_back(std::move(r));
  }
  return in;
}

Bytes Serialize(const Input &in) {
  Bytes out{in.options};
  for (const Record &r : in.records) {
    size_t len = r.frame.size() > 0x7FFF ? 0x7FFF : r.frame.size();
    out.push_back(uint8_t((len >> 8) | (r.host ? 0x80 : 0)));
    out.push_back(uint8_t(len));
    out.push_back(r.step);
    out.insert(out.end(), r.frame.begin(), r.frame.begin() + long(len));
  }
  return out;
}

int64_t StepMs(uint8_t code) { return code < 0x80 ? int64_t(code) * 10 : int64_t(code - 0x7F) * 1000; }

// Recomputes the IPv4 header checksum and, in an unfragmented or first
// fragment, the ICMP, UDP or TCP checksum over what the frame carries of
// the datagram (Ethernet II only).
void FixChecksums(Bytes &f) {
  if (f.size() < 14 + kIpHdrLen || Wire_Get16(&f[12]) != kEtherTypeIp) return;
  uint8_t *h = &f[14];
  size_t avail = f.size() - 14;
  size_t hlen = ip::HdrLen(h);
  if (hlen < kIpHdrLen || hlen > avail) return;
  Wire_Put16(h + ip::kCsum, 0);
  Wire_Put16(h + ip::kCsum, Csum_Compute(h, hlen));
  uint16_t field = Wire_Get16(h + ip::kFragOff);
  if ((field & ip::kOffMask) != 0) return;
  size_t total = Wire_Get16(h + ip::kTotLen);
  if (total > avail) total = avail;
  if (total < hlen) return;
  uint8_t *t = h + hlen;
  size_t tlen = total - hlen;
  uint32_t srcN = Wire_Get32n(h + ip::kSrc), dstN = Wire_Get32n(h + ip::kDst);
  bool whole = !(field & ip::kFlagMF);  // a first fragment's checksum covers data not here
  switch (h[ip::kProto]) {
    case kProtoIcmp:
      if (tlen >= 4 && whole) {
        Wire_Put16(t + 2, 0);
        Wire_Put16(t + 2, Csum_Compute(t, tlen));
      }
      break;
    case kProtoUdp:
      if (tlen >= 8 && whole) {
        size_t ulen = Wire_Get16(t + udp::kLen);
        if (ulen < 8 || ulen > tlen) ulen = tlen;
        Wire_Put16(t + udp::kCsum, 0);
        uint16_t c = Csum_Fold(Csum_Partial(t, ulen, Csum_Pseudo(srcN, dstN, kProtoUdp, uint32_t(ulen))));
        Wire_Put16(t + udp::kCsum, c ? c : 0xFFFF);
      }
      break;
    case kProtoTcp:
      if (tlen >= 20 && whole) {
        Wire_Put16(t + tcp::kCsum, 0);
        Wire_Put16(t + tcp::kCsum, Csum_Fold(Csum_Partial(t, tlen, Csum_Pseudo(srcN, dstN, kProtoTcp, uint32_t(tlen)))));
      }
      break;
    default:
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Init();
  Input in = Parse(data, size);
  StartDaemon(in.options);
  for (Record &r : in.records) {
    if (r.host)
      SendHostIcmp(r.frame);
    else
      SendFrame(r.frame.data(), r.frame.size());
    if (r.step) {
      AdvanceMs(StepMs(r.step));
      ServePeers();
      DrainGuest();
    }
  }
  if (!(in.options & 2)) {
    // Any entry the input left for the guest's address is made to point to
    // the guest again, as a real guest's next ARP request would.
    Check(Arp_Learn(kGuestIp, kGuestMac) != nullptr, "Arp_Learn");
    CheckStillAnswers();
  }
  StopDaemon();
  return 0;
}

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t *data, size_t size, size_t maxSize, unsigned seed) {
  std::minstd_rand rng(seed);
  Input in = Parse(data, size);
  unsigned op = rng() % 16;
  if (in.records.empty() || op == 0) {
    // Raw mutation of the whole input, layout included.
    return LLVMFuzzerMutate(data, size, maxSize);
  }
  Record &r = in.records[rng() % in.records.size()];
  switch (op) {
    case 1:  // another clock step
      r.step = uint8_t(rng());
      break;
    case 2:  // repeat a frame
      if (in.records.size() < 64) in.records.insert(in.records.begin() + long(rng() % in.records.size()), r);
      break;
    case 3:  // drop a frame
      if (in.records.size() > 1) in.records.erase(in.records.begin() + long(rng() % in.records.size()));
      break;
    case 4:  // swap two frames
      std::swap(r, in.records[rng() % in.records.size()]);
      break;
    case 5:  // option bits
      in.options = uint8_t(rng() & 31);
      break;
    default: {
      size_t len = r.frame.size();
      r.frame.resize(len + 256);
      r.frame.resize(LLVMFuzzerMutate(r.frame.data(), len, r.frame.size()));
      if (rng() % 4 != 0 && !r.host) FixChecksums(r.frame);
      break;
    }
  }
  Bytes out = Serialize(in);
  if (out.size() > maxSize) return LLVMFuzzerMutate(data, size, maxSize);
  memcpy(data, out.data(), out.size());
  return out.size();
}
