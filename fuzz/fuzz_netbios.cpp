// Fuzz target over the NetBIOS gateway's two message parsers, and the
// in-process environment that its unit test shares: the daemon's modules
// in a network namespace of their own (so that WINS servers and outside
// peers can take ports 137 and 138 of loopback addresses), the device on a
// socket pair whose other end plays the guest 10.254.254.10 (frames to and
// from the all-zero gateway MAC), a simulated clock, and one file in memory
// as both natd's configuration and the Samba file (whose `wins server`
// lines count only without `winsServer`).
//
// The first byte of an input picks the guest's destination: 0 the
// gateway's name service (WINS server 127.0.0.2), 1 the name service of
// the outside host 127.0.0.2, 2 the datagram service of the outside host
// 127.0.0.3; the rest is the message. What leaves is the message unchanged
// but for NB_ADDRESS of a registration, release or refresh request and
// SOURCE_IP of a direct datagram with a whole source name (both the host's
// address, 127.0.0.1), and nothing when the message is too short. The same
// bytes sent back as the WINS server's answer, or to port 138 of the host
// (datagrams: through the relay), reach the guest unchanged but for
// NB_ADDRESS of a registration, release or refresh answer (the guest's).
// A request to an outside host is left unanswered: it ends after its one
// try. Nothing is left behind: no request, relay or buffer.
#include <arpa/inet.h>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include "alg/netbios.h"
#include "core/config.h"
#include "core/settings.h"
#include "lib/util.h"
#include "packet/arp.h"
#include "packet/dev.h"
#include "packet/skbuff.h"
#include "packet/wire.h"

namespace {

using Bytes = std::basic_string<uint8_t>;
ClockTime g_sim = {1700000000, 0};
int g_guest = -1, g_conf;

/// Writes "[netbios]" and `text` to the file and starts the gateway; the
/// first call also sets up namespace, device, clock and file.
void Env_Configure(std::string text) {
  if (int sv[2]; g_guest < 0) {
    if (unshare(CLONE_NEWNET) || system("ip link set lo up") || socketpair(AF_UNIX, SOCK_DGRAM, 0, sv)) abort();
    Settings_Reset();
    g_settings.devFd = sv[0], g_guest = sv[1], g_settings.arpExpireTimeout = 0;
    Arp_Learn(inet_addr("10.254.254.10"), reinterpret_cast<const uint8_t *>("\x02\x7D\x33\0\0\1"));
    Clock_Source = [](ClockTime *t) { return *t = g_sim, 0; };
    Clock_Update();
    Config_Path = Netbios_SambaPath = "/proc/self/fd/" + std::to_string(g_conf = memfd_create("nat.conf", 0));
  }
  text = "[netbios]\n" + text + "\n";
  if (ftruncate(g_conf, 0) || pwrite(g_conf, text.data(), text.size(), 0) < 0) abort();
  Netbios_Init();
}

/// A UDP socket of a WINS server or an outside host on addr:port.
int Env_Socket(const char *addr, uint16_t port) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sa = {AF_INET, htons(port), {inet_addr(addr)}, {}};
  return bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) ? abort(), -1 : fd;
}

/// The guest sends `payload` from its port 138 to dst:dport.
void Env_GuestSend(const char *dst, uint16_t dport, const Bytes &payload) {
  Bytes f = {0, 0, 0, 0, 0, 0, 0x02, 0x7D, 0x33, 0, 0, 1, 0x08, 0, 0x45, 0, 0, 0, 0, 0, 0, 0, 64, kProtoUdp};
  f.resize(42), f[35] = 138, f += payload;
  Wire_Put16(&f[16], uint16_t(f.size() - 14)), Wire_Put16(&f[36], dport), Wire_Put16(&f[38], uint16_t(f.size() - 34));
  Wire_Put32n(&f[26], inet_addr("10.254.254.10")), Wire_Put32n(&f[30], inet_addr(dst));
  Wire_Put16(&f[24], Csum_Compute(&f[14], 20));
  Dev_InputFrame(f.data(), f.size());
}

/// The next datagram waiting on `fd` (the guest's end: a frame) from its
/// byte `skip` on, or nothing; its sender in `from` when given.
Bytes Env_Recv(int fd, sockaddr_in *from = nullptr, size_t skip = 0) {
  Bytes b(2048, 0);
  socklen_t len = sizeof(sockaddr_in);
  b.resize(std::max(recvfrom(fd, b.data(), b.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr *>(from), &len), 0L));
  return b.size() > skip ? b.substr(skip) : Bytes();
}

/// Moves the simulated clock by `sec` and runs one pass of the event loop.
void Env_Advance(int64_t sec) { g_sim.sec += sec, Poll_RunOnce(0); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static int wins = (Env_Configure("winsServer = 127.0.0.2"), Env_Socket("127.0.0.2", 137)), peer = Env_Socket("127.0.0.3", 138);
  if (size < 1 || size > 1400 || data[0] > 2) return 0;
  Bytes m(data + 1, data + size), out = m, back = m;
  size_t n = m.size();
  int ns = data[0] < 2, op = n >= 12 ? m[2] >> 3 & 15 : -1, response = op >= 0 && m[2] & 0x80;
  int reg = op == 5 || op == 6 || op == 8, request = op >= 0 && !response && (reg || op == 15);
  int direct = n >= 48 && (m[0] | 1) == 0x11 && memchr(&m[14], 0, 34);
  if (ns ? op < 0 || (request && n < 68) : n < 10) out.clear();
  else if (ns ? request : direct) Wire_Put32n(&out[ns ? 64 : 4], inet_addr("127.0.0.1"));
  if (ns && response && reg && n >= 62) Wire_Put32n(&back[58], inet_addr("10.254.254.10"));
  if (out.empty() || data[0] == 1 || !(ns || direct)) back.clear();

  sockaddr_in from = {AF_INET, htons(138), {inet_addr("127.0.0.1")}, {}};
  const char *to = ns ? (data[0] ? "127.0.0.2" : "10.254.254.1") : "127.0.0.3";
  for (int i = 0; i <= !ns; i++)  // a datagram twice: the second finds the relay the first set up
    if (Env_GuestSend(to, ns ? 137 : 138, m), Env_Recv(ns ? wins : peer, ns ? &from : nullptr) != out) abort();
  if (data[0] != 1) sendto(ns ? wins : peer, m.data(), n, 0, reinterpret_cast<sockaddr *>(&from), sizeof from);
  Env_Advance(3);  // the answer in; the outside request's one try and the relay expired
  if (Env_Recv(g_guest, nullptr, 42) != back || Nbds_RelayCount() || SkBuff_LiveCount()) abort();
  return 0;
}
