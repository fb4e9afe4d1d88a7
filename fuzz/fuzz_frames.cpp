// Fuzz target for the packet path: whatever a guest puts on the virtual
// network. The daemon's modules run in this process: the device is one end
// of a datagram socket pair, the clock is simulated, the gateway is
// 192.168.254.1/24 with the guest 192.168.254.20 learned in ARP, and a TCP
// server on 127.0.0.1:7777 (the gateway's address reaches it) echoes what it
// gets and closes after "QUIT". The process first moves into a network
// namespace of its own with only loopback up (it needs root), so nothing a
// guest sends can leave it.
//
// Input: an option byte (1 allowAnyOUI, 2 the guest is not learned in ARP,
// 4 no DHCP server, 16 UDP and TCP load limits of 2 (flows, reads per pass,
// connections, out-of-order segments, seconds of the three TCP time-outs),
// 8 checksums kept as they come: otherwise the IPv4 and
// the ICMP, UDP or TCP checksum of each frame is recomputed so that mutated
// packets get past the checks), then records of a 2-byte big-endian frame
// length (cut to what is left), a clock step after the frame (below 0x80:
// n * 10 ms, else n - 127 s) and the frame.
//
// Every frame natd writes must be well-formed, and once the tables are
// reset nothing may be left.
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/config.h"
#include "core/limits.h"
#include "core/poll.h"
#include "core/settings.h"
#include "core/timer.h"
#include "nat/dhcp.h"
#include "nat/icmp.h"
#include "nat/tcp.h"
#include "nat/udp.h"
#include "packet/arp.h"
#include "packet/dev.h"
#include "packet/ip.h"
#include "packet/skbuff.h"
#include "packet/wire.h"

namespace {

const uint8_t kGatewayMac[6] = {0x02, 0x4E, 0xA1, 0x00, 0x00, 0x01}, kGuestMac[6] = {0x02, 0x7D, 0x33, 0, 0, 1};
const uint8_t kGatewayIp[4] = {192, 168, 254, 1}, kGuestIp[4] = {192, 168, 254, 20};

ClockTime g_now;
int g_guest = -1, g_server = -1;
std::vector<int> g_accepted;

void Init() {
  signal(SIGPIPE, SIG_IGN);
  if (unshare(CLONE_NEWNET) || system("ip link set lo up")) abort();  // no network namespace of its own
  sockaddr_in sa{AF_INET, htons(7777), {htonl(INADDR_LOOPBACK)}, {}};
  g_server = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  if (bind(g_server, reinterpret_cast<sockaddr *>(&sa), sizeof sa) || listen(g_server, 64)) abort();
  Config_Path = "/nonexistent/natd-fuzz.conf";
  Clock_Source = [](ClockTime *out) { return *out = g_now, 0; };
}

void ServePeers() {
  uint8_t buf[4096];
  for (int fd; (fd = accept4(g_server, nullptr, nullptr, SOCK_NONBLOCK)) >= 0;) g_accepted.push_back(fd);
  for (int fd : g_accepted) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0 && write(fd, buf, size_t(n)) >= 0 && memmem(buf, size_t(n), "QUIT", 4)) shutdown(fd, SHUT_WR);
  }
}

// Reads what natd wrote to the guest: each frame from the gateway MAC; ARP
// of 42 bytes for Ethernet and IPv4; IPv4 with natd's own 20-byte header, a
// valid checksum, a total length equal to the frame's payload and fragments
// within 65535 bytes, all but the last a multiple of 8.
void Drain() {
  uint8_t f[65536];
  for (ssize_t n; (n = recv(g_guest, f, sizeof f, MSG_DONTWAIT)) >= 0;) {
    if (n < 14 || memcmp(f + 6, kGatewayMac, 6) != 0) abort();
    if (Wire_Get16(f + 12) == kEtherTypeArp) {
      if (n != 42 || memcmp(f + 14, "\0\1\x08\0\6\4", 6) != 0) abort();
      continue;
    }
    const uint8_t *h = f + 14;
    if (Wire_Get16(f + 12) != kEtherTypeIp || n < 34 || h[0] != 0x45 || Csum_Compute(h, 20) != 0 ||
        Wire_Get16(h + ip::kTotLen) != n - 14)
      abort();
    uint16_t frag = Wire_Get16(h + ip::kFragOff);
    if (8 * (frag & ip::kOffMask) + n - 34 > 0xFFFF - 20 || ((frag & ip::kFlagMF) && (n - 34) % 8 != 0)) abort();
  }
}

// The IPv4 header checksum and, unless the frame is a fragment, the ICMP,
// UDP or TCP checksum over what the frame carries.
void FixChecksums(uint8_t *f, size_t n) {
  if (n < 34 || Wire_Get16(f + 12) != kEtherTypeIp) return;
  uint8_t *h = f + 14, proto = h[ip::kProto];
  size_t hlen = ip::HdrLen(h), total = std::min<size_t>(Wire_Get16(h + ip::kTotLen), n - 14);
  if (hlen < 20 || hlen > total) return;
  Wire_Put16(h + ip::kCsum, 0);
  Wire_Put16(h + ip::kCsum, Csum_Compute(h, hlen));
  uint8_t *t = h + hlen;
  size_t tlen = total - hlen, field = proto == kProtoTcp ? tcp::kCsum : proto == kProtoUdp ? udp::kCsum : 2;
  bool known = proto == kProtoIcmp || proto == kProtoTcp || proto == kProtoUdp;
  if (!known || (Wire_Get16(h + ip::kFragOff) & (ip::kOffMask | ip::kFlagMF)) || tlen < field + 2) return;
  uint32_t src = Wire_Get32n(h + ip::kSrc), dst = Wire_Get32n(h + ip::kDst);
  Wire_Put16(t + field, 0);
  Wire_Put16(t + field, Csum_Fold(Csum_Partial(t, tlen, proto == kProtoIcmp ? 0 : Csum_Pseudo(src, dst, proto, tlen))));
}

// Lets natd, the echo servers and the timers run; then checks the output.
void Step(int64_t ms) {
  g_now.usec += ms * 1000;
  g_now = {g_now.sec + g_now.usec / 1000000, g_now.usec % 1000000};
  for (int i = 0; i < 2; i++, ServePeers()) Poll_RunOnce(0);
  Drain();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  [[maybe_unused]] static const bool ready = (Init(), true);
  uint8_t options = size ? data[0] : 0;
  Settings_Reset();
  g_settings.gatewayAddr = Wire_Get32n(kGatewayIp);
  Settings_DeriveNetwork();
  memcpy(g_settings.gatewayMac, kGatewayMac, 6);
  g_settings.allowAnyOUI = options & 1;
  g_settings.enableNatDhcp = !(options & 4);
  for (LimitId id : {kLimitUdpFlows, kLimitUdpReadBudget, kLimitTcpConnections, kLimitTcpConnectTimeout,
                     kLimitTcpIdleTimeout, kLimitTcpHalfCloseTimeout, kLimitTcpReorderSegments})
    Limits_Set(id, options & 16 ? 2 : 0);
  g_now = {1700000000, 0};
  Clock_Update();
  srand(1);  // the first connection's initial sequence number is known to the seeds
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, sv) || Dev_Attach(sv[1])) abort();
  g_guest = sv[0];
  Icmp_Init();
  Udp_Init();
  if (!(options & 2)) Arp_Learn(Wire_Get32n(kGuestIp), kGuestMac);

  for (size_t pos = 1; pos + 3 <= size;) {
    size_t len = std::min<size_t>(Wire_Get16(data + pos), size - pos - 3);
    std::vector<uint8_t> frame(data + pos + 3, data + pos + 3 + len);
    uint8_t step = data[pos + 2];
    pos += 3 + len;
    if (!(options & 8)) FixChecksums(frame.data(), len);
    send(g_guest, frame.data(), len, MSG_DONTWAIT);
    Step(0);
    if (step) Step(step < 0x80 ? step * 10 : (step - 0x7F) * 1000);
    if ((options & 16) && Udp_FlowCount() > 2) abort();  // more UDP flows than udpFlows
  }
  Tcp_Reset(), Udp_Reset(), Dhcp_Reset(), Icmp_Reset(), Ip_Reset(), Arp_Reset(), Poll_RemoveAll(), close(g_guest);
  for (int fd : g_accepted) close(fd);
  g_accepted.clear();
  // A buffer, timer, poll entry, connection, segment, flow, reassembly, ARP or echo record left behind.
  if (SkBuff_LiveCount() || Timer_Count() || Poll_ActiveCount() || Tcp_ConnCount() || Tcp_SegmentLiveCount() ||
      Udp_FlowCount() || Ip_ReasmCount() || Arp_Count() || Icmp_EchoCount())
    abort();
  return 0;
}
