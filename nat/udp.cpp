// UDP NAT: relays guest datagrams through host UDP sockets and hands
// datagrams to the gateway's own services.
//
// Owns the flow table (every UdpFlow, new flows appended, searched newest
// first), the activity list (guest-initiated flows only, most recently used
// at the front), the one expiry timer and the privileged-port counter.
//
// A flow is keyed by the guest's address and source port and owns one host
// socket, bound to the external address. Everything that arrives on that
// socket, from any sender, goes back to the guest with the sender's address
// as source (127.0.0.1, and every sender for a guest port 5353, shows as the
// gateway). Incoming forwards are flows too: bound at start-up to a fixed
// host port, never timed, so that a guest's replies from the forwarded
// address and port leave through the forwarded host port.
//
// Expiry. Only guest datagrams refresh a flow (`lastUse`). The timer is
// armed when a timed flow is created into an empty activity list; each run
// walks the list from the least recently used flow, removes every flow idle
// for `timeout` seconds, and re-arms for the latest expiry that lies within
// `clusterDiff` of the earliest remaining one, so that close expiries are
// handled by one run. A flow therefore lives between `timeout` and about
// twice `timeout` seconds after its last guest datagram. The timer is
// cancelled when the last timed flow is released.
//
// Load limits ([limits], 0 = none): `udpFlows` caps the guest-initiated
// flows (each holds a host socket); a new flow past it first evicts the
// least recently used one. `udpReadBudget` caps the datagrams read from one
// socket per loop pass; the rest wait for the next pass, so that one fast
// sender cannot hold the loop. Each datagram is received into one scratch
// area and copied into a buffer of its own size.
//
// Lookups by key, and by local port for ICMP errors, go through hash chains
// (newest flow first in each chain), so they find the flow a walk of the
// table from its newest end would.
//
// Invariants: a timed flow is in the activity list from creation until it is
// removed (Poll_Remove unlinks it there at once; the release follows when the
// event loop reaps it), and g_timedFlows counts the activity list; the
// expiry timer is armed only while the activity list is not empty and
// `timeout` > 0. Flows marked for removal are never found again by key.
#include "nat/udp.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

#include "alg/dns.h"
#include "control/textbuf.h"
#include "core/config.h"
#include "core/limits.h"
#include "core/settings.h"
#include "alg/netbios.h"
#include "core/timer.h"
#include "lib/support.h"
#include "lib/hash.h"
#include "lib/util.h"
#include "nat/dhcp.h"
#include "nat/icmp.h"
#include "packet/ip.h"
#include "packet/skbuff.h"
#include "packet/wire.h"

namespace {

constexpr int kDefaultTimeoutSec = 60;
constexpr int kDefaultClusterDiffSec = 10;
constexpr uint32_t kRecvHeadroom = 128;
constexpr size_t kRecvAreaSize = 65536;
constexpr int kPrivBindAttempts = 512;
constexpr uint16_t kPortBootps = 67;
constexpr uint16_t kPortNbns = 137;
constexpr uint16_t kPortNbds = 138;
constexpr uint16_t kPortMdns = 5353;
constexpr uint16_t kPortDns = 53;
constexpr uint16_t kLastPrivPort = 1023;
constexpr uint16_t kFirstPrivPortFloor = 256;

ListLink g_flows = {&g_flows, &g_flows, nullptr};
ListLink g_activity = {&g_activity, &g_activity, nullptr};
Timer g_expiry = Timer_Unarmed(Udp_ExpireTimeout, nullptr);
int g_timeoutSec = kDefaultTimeoutSec;
int g_clusterDiffSec = kDefaultClusterDiffSec;
uint16_t g_privPort = 1024;  // next privileged port is one below (wrapping)
int64_t g_privExhaustedSec = -1;  // clock second of the last failed search
uint8_t g_scratch[kRecvAreaSize];
unsigned g_timedFlows = 0;  // length of the activity list
HashTable g_byKey;   // flows by guest address and port
HashTable g_byPort;  // flows by local port of their socket

uint32_t KeyHash(uint32_t guestN, uint16_t guestPortN) {
  return Hash_Key(uint64_t(guestN) << 16 | guestPortN);
}

uint32_t LoopbackN() { return htonl(INADDR_LOOPBACK); }

UdpFlow *FlowOf(PollEntry *entry) { return reinterpret_cast<UdpFlow *>(entry); }

/// Next port of the 1023, 1022, ..., 256, 1023, ... sequence.
uint16_t NextPrivPort() {
  if (g_privPort > kFirstPrivPortFloor) return --g_privPort;
  g_privPort = kLastPrivPort;
  return g_privPort;
}

/// Whether a new flow from guest port `sportH` to `dportH` (host order) must
/// leave from a privileged host port.
bool WantsPrivPort(uint16_t sportH, uint16_t dportH) {
  if (g_settings.privUdpAutodetect && sportH <= kLastPrivPort) return true;
  for (int i = 0; i < g_settings.privUdpCount && i < kMaxPrivPorts; i++)
    if (g_settings.privUdpPorts[i] == dportH) return true;
  return false;
}

/// Binds `fd` to the external address, on a privileged port when asked
/// (512 attempts from the counter, then any port). 0 or -1.
int BindFlowSocket(int fd, bool privileged) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = g_settings.extAddr;
  if (privileged) {
    // A search that failed on all its ports is not repeated within the same
    // clock second; the counter moves on as if it had been.
    bool exhausted = g_privExhaustedSec == Clock_Now.sec;
    for (int i = 0; i < kPrivBindAttempts; i++) {
      sa.sin_port = htons(NextPrivPort());
      if (!exhausted && bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0) return 0;
    }
    g_privExhaustedSec = Clock_Now.sec;
  }
  sa.sin_port = 0;
  return bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 ? 0 : -1;
}

UdpFlow *FlowAlloc(uint32_t guestN, uint16_t guestPortN, int timed) {
  auto *flow = static_cast<UdpFlow *>(calloc(1, sizeof(UdpFlow)));
  if (!flow) return nullptr;
  Poll_Init(&flow->poll, UdpFlow_Receive, UdpFlow_Release);
  flow->poll.fd = -1;
  List_Init(&flow->tableLink, flow);
  List_Init(&flow->activityLink, flow);
  if (!Hash_InsertFront(&g_byKey, &flow->byKey, flow, KeyHash(guestN, guestPortN))) {
    free(flow);
    return nullptr;
  }
  flow->guestIp = guestN;
  flow->guestPort = guestPortN;
  flow->sockTtl = -1;
  flow->lastUse = Clock_Now.sec;
  flow->timed = timed;
  return flow;
}

/// Opens the flow's socket with SO_BROADCAST; -1 on failure.
int FlowOpenSocket(UdpFlow *flow) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return -1;
  flow->poll.fd = fd;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  return 0;
}

/// Registers the bound socket for POLLIN; -1 on failure.
int FlowRegister(UdpFlow *flow) {
  Sock_GetName(flow->poll.fd, &flow->local);
  if (!Hash_InsertFront(&g_byPort, &flow->byPort, flow, Hash_Key(flow->local.sin_port))) return -1;
  if (Poll_Add(&flow->poll) != 0) return -1;
  flow->registered = 1;
  Poll_SetEvents(&flow->poll, POLLIN);
  return 0;
}

/// New guest-initiated flow for the datagram (IPv4 header `iph`, UDP header
/// `uh`), bound and registered; nullptr (nothing left behind) on failure.
UdpFlow *FlowCreate(const uint8_t *iph, const uint8_t *uh) {
  UdpFlow *flow = FlowAlloc(Wire_Get32n(iph + ip::kSrc), Wire_Get16n(uh + udp::kSport), 1);
  if (!flow) return nullptr;
  if (g_timeoutSec > 0 && List_Empty(&g_activity)) Timer_AddSeconds(&g_expiry, g_timeoutSec);
  List_InsertBefore(&g_flows, &flow->tableLink);
  List_InsertAfter(&g_activity, &flow->activityLink);
  g_timedFlows++;
  bool priv = WantsPrivPort(Wire_Get16(uh + udp::kSport), Wire_Get16(uh + udp::kDport));
  if (FlowOpenSocket(flow) != 0 || BindFlowSocket(flow->poll.fd, priv) != 0 ||
      FlowRegister(flow) != 0) {
    UdpFlow_Release(&flow->poll);
    return nullptr;
  }
  return flow;
}

/// Takes a flow out of the activity list (harmless when it is not in it).
void ActivityUnlink(UdpFlow *flow) {
  if (List_Empty(&flow->activityLink)) return;
  List_Unlink(&flow->activityLink);
  g_timedFlows--;
}

/// Marks the flow for release by the event loop and takes it out of the
/// activity list at once, so that no later walk or lookup sees it.
void FlowRemove(UdpFlow *flow) {
  ActivityUnlink(flow);
  if (flow->registered) {
    Poll_Remove(&flow->poll);
  } else {
    UdpFlow_Release(&flow->poll);
  }
}

/// Hands a datagram addressed to the gateway itself or broadcast to the
/// gateway's own services; others are dropped without an ICMP error.
void ServiceInput(SkBuff *skb, uint16_t dportH) {
  if (dportH == kPortBootps && g_settings.enableNatDhcp) Dhcp_Input(skb);
  if (dportH == kPortDns) Dns_Forward(skb);
  // The name service takes only requests addressed to the gateway itself.
  if (dportH == kPortNbns && skb->destClass == kDestGateway) Nbns_Forward(skb, 1);
}

}  // namespace

void Udp_Init() {
  g_timeoutSec = int(Config_GetInt("udp", "timeout", kDefaultTimeoutSec));
  int diff = int(Config_GetInt("udp", "clusterDiff", kDefaultClusterDiffSec));
  g_clusterDiffSec = diff < 0 ? -diff : diff;
  Timer_Cancel(&g_expiry);
  Timer_Init(&g_expiry, Udp_ExpireTimeout, nullptr);
}

void Udp_Input(SkBuff *skb) {
  if (skb->len < kUdpHdrLen || !skb->networkHdr) return;
  uint8_t *uh = skb->data;
  const uint8_t *iph = skb->networkHdr;
  if (!SkBuff_Pull(skb, kUdpHdrLen)) return;
  uint32_t ulen = Wire_Get16(uh + udp::kLen);
  if (ulen < kUdpHdrLen || ulen - kUdpHdrLen > skb->len) return;
  SkBuff_Trim(skb, ulen - kUdpHdrLen);

  uint16_t dportH = Wire_Get16(uh + udp::kDport);
  if (skb->destClass == kDestGateway || skb->destClass == kDestBroadcast) {
    ServiceInput(skb, dportH);
    return;
  }
  if (skb->destClass != kDestRouted || dportH == kPortBootps) return;

  UdpFlow *flow = Udp_FindFlow(Wire_Get32n(iph + ip::kSrc), Wire_Get16n(uh + udp::kSport));
  if (flow) {
    flow->lastUse = Clock_Now.sec;
    if (flow->timed) {
      List_Unlink(&flow->activityLink);
      List_InsertAfter(&g_activity, &flow->activityLink);
    }
  } else {
    if (Limits_Reached(kLimitUdpFlows, g_timedFlows)) {
      FlowRemove(List_Owner<UdpFlow>(g_activity.prev));
      Limits_Hit(kLimitUdpFlows);
    }
    flow = FlowCreate(iph, uh);
    if (!flow) return;
  }
  // NetBIOS: the name service relays through sockets of its own; a direct
  // datagram leaves here with its SOURCE_IP rewritten.
  if (dportH == kPortNbns) {
    Nbns_Forward(skb, 0);
    return;
  }
  if (dportH == kPortNbds && Nbds_Forward(skb) == -1) return;

  flow->lastId = Wire_Get16(iph + ip::kId);
  flow->lastCsum = Wire_Get16(uh + udp::kCsum);
  if (int(skb->ttl) != flow->sockTtl) {
    int ttl = int(skb->ttl);
    setsockopt(flow->poll.fd, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl);
    flow->sockTtl = ttl;
  }

  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = Wire_Get32n(iph + ip::kDst);
  to.sin_port = Wire_Get16n(uh + udp::kDport);
  // Never block the loop on a full socket buffer: such a datagram is lost,
  // as it would be on a congested link.
  if (sendto(flow->poll.fd, skb->data, skb->len, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&to),
             sizeof to) < 0) {
    Icmp_SendErrnoUnreach(skb, errno);
  }
}

void Udp_Output(uint32_t dstN, uint16_t dportN, uint32_t srcN, uint16_t sportN, SkBuff *skb) {
  uint8_t *uh = SkBuff_Push(skb, kUdpHdrLen);
  uint32_t ulen = skb->len;
  Wire_Put16n(uh + udp::kSport, sportN);
  Wire_Put16n(uh + udp::kDport, dportN);
  Wire_Put16(uh + udp::kLen, uint16_t(ulen));
  Wire_Put16(uh + udp::kCsum, 0);
  uint16_t sum = Csum_Fold(Csum_Partial(uh, ulen, Csum_Pseudo(srcN, dstN, kProtoUdp, ulen)));
  Wire_Put16(uh + udp::kCsum, sum == 0 ? 0xFFFF : sum);
  Ip_Output(dstN, srcN, kProtoUdp, skb);
}

int Udp_AddForward(uint32_t guestN, uint16_t guestPortN, uint32_t bindN, uint16_t hostPortN) {
  UdpFlow *flow = FlowAlloc(guestN, guestPortN, 0);
  if (!flow) return 1;
  List_InsertBefore(&g_flows, &flow->tableLink);
  if (FlowOpenSocket(flow) != 0) {
    UdpFlow_Release(&flow->poll);
    return 2;
  }
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = bindN;
  sa.sin_port = hostPortN;
  if (bind(flow->poll.fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
    UdpFlow_Release(&flow->poll);
    return 2;
  }
  if (FlowRegister(flow) != 0) {
    UdpFlow_Release(&flow->poll);
    return 1;
  }
  return 0;
}

void UdpFlow_Receive(PollEntry *entry, struct pollfd *slot) {
  if (!(slot->revents & (POLLIN | POLLERR))) return;
  UdpFlow *flow = FlowOf(entry);
  for (uint64_t n = 0;; n++) {
    if (Limits_Reached(kLimitUdpReadBudget, n)) {
      Limits_Hit(kLimitUdpReadBudget);  // the rest on the next pass
      return;
    }
    sockaddr_in from{};
    iovec iov{g_scratch, kRecvAreaSize};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    ssize_t got = recvmsg(entry->fd, &msg, MSG_DONTWAIT);
    if (got < 0) return;
    if (msg.msg_namelen < sizeof from || from.sin_family != AF_INET) continue;
    SkBuff *skb = SkBuff_Alloc(kRecvHeadroom + uint32_t(got));
    if (!skb) continue;
    SkBuff_Reserve(skb, kRecvHeadroom);
    memcpy(SkBuff_Put(skb, uint32_t(got)), g_scratch, size_t(got));
    uint32_t srcN = from.sin_addr.s_addr;
    if (ntohs(flow->guestPort) == kPortMdns || srcN == LoopbackN()) srcN = g_settings.gatewayAddr;
    Udp_Output(flow->guestIp, flow->guestPort, srcN, from.sin_port, skb);
    SkBuff_Free(skb);
  }
}

void UdpFlow_Release(PollEntry *entry) {
  UdpFlow *flow = FlowOf(entry);
  ActivityUnlink(flow);
  List_Unlink(&flow->tableLink);
  Hash_Remove(&g_byKey, &flow->byKey);
  Hash_Remove(&g_byPort, &flow->byPort);
  if (entry->fd != -1) close(entry->fd);
  entry->fd = -1;
  if (flow->timed && List_Empty(&g_activity)) Timer_Cancel(&g_expiry);
  free(flow);
}

void Udp_ExpireTimeout(Timer *, void *) {
  int64_t now = Clock_Now.sec;
  int64_t next = g_timeoutSec;
  // From the least recently used flow towards the most recently used one.
  for (ListLink *l = g_activity.prev; l != &g_activity;) {
    UdpFlow *flow = List_Owner<UdpFlow>(l);
    ListLink *newer = l->prev;
    int64_t age = now - flow->lastUse;
    if (age >= g_timeoutSec) {
      FlowRemove(flow);
      l = newer;
      continue;
    }
    int64_t remaining = g_timeoutSec - age;
    if (remaining > next + g_clusterDiffSec) break;
    next = remaining < g_timeoutSec ? remaining : g_timeoutSec;
    l = newer;
  }
  if (!List_Empty(&g_activity)) Timer_AddSeconds(&g_expiry, next);
}

void Udp_ForwardIcmpError(SkBuff *skb, uint8_t *innerIp, uint8_t *innerUdp) {
  uint32_t innerSrc = Wire_Get32n(innerIp + ip::kSrc);
  uint16_t innerSport = Wire_Get16n(innerUdp + udp::kSport);
  UdpFlow *flow = Hash_Find<UdpFlow>(&g_byPort, Hash_Key(innerSport), [&](const UdpFlow *f) {
    return f->local.sin_family == AF_INET && f->local.sin_port == innerSport &&
           (f->local.sin_addr.s_addr == 0 || f->local.sin_addr.s_addr == innerSrc);
  });
  if (!flow || !skb->networkHdr) return;

  Wire_Put16(innerUdp + udp::kCsum, flow->lastCsum);
  Wire_Put16n(innerUdp + udp::kSport, flow->guestPort);
  Wire_Put32n(innerIp + ip::kSrc, flow->guestIp);
  if (Wire_Get32n(innerIp + ip::kDst) == LoopbackN())
    Wire_Put32n(innerIp + ip::kDst, g_settings.gatewayAddr);
  Wire_Put16(innerIp + ip::kId, flow->lastId);
  Wire_Put16(innerIp + ip::kCsum, 0);
  Wire_Put16(innerIp + ip::kCsum, Csum_Compute(innerIp, ip::HdrLen(innerIp)));

  Wire_Put16(skb->data + 2, 0);
  Wire_Put16(skb->data + 2, Csum_Compute(skb->data, skb->len));

  uint32_t outerSrc = Wire_Get32n(skb->networkHdr + ip::kSrc);
  if (outerSrc == LoopbackN()) outerSrc = g_settings.gatewayAddr;
  Ip_Output(flow->guestIp, outerSrc, kProtoIcmp, skb);
}

void Udp_DumpTable(TextBuf *out) {
  char line[1024];
  unsigned count = 0;
  TextBuf_Append(out, "230-UDP NAT table\r\n");
  for (ListLink *l = g_flows.prev; l != &g_flows; l = l->prev) {
    const UdpFlow *flow = List_Owner<UdpFlow>(l);
    const uint8_t *g = reinterpret_cast<const uint8_t *>(&flow->guestIp);
    int n = Str_Format(line, sizeof line, "231-fd %u, from %u.%u.%u.%u/%u", unsigned(flow->poll.fd),
                       g[0], g[1], g[2], g[3], unsigned(ntohs(flow->guestPort)));
    if (flow->local.sin_family == AF_INET)
      n += Str_Format(line + n, sizeof line - n, " via local port %u",
                      unsigned(ntohs(flow->local.sin_port)));
    if (flow->timed && g_timeoutSec > 0) {
      int64_t left = flow->lastUse + g_timeoutSec - Clock_Now.sec;
      n += Str_Format(line + n, sizeof line - n, " (timeout %d sec)", int(left < 0 ? 0 : left));
    }
    n += Str_Format(line + n, sizeof line - n, "\r\n");
    TextBuf_Insert(out, kTextBufAppend, line, size_t(n));
    count++;
  }
  int n = Str_Format(line, sizeof line, "239-%u entries\r\n", count);
  TextBuf_Insert(out, kTextBufAppend, line, size_t(n));
}

UdpFlow *Udp_FindFlow(uint32_t guestN, uint16_t guestPortN) {
  return Hash_Find<UdpFlow>(&g_byKey, KeyHash(guestN, guestPortN), [&](const UdpFlow *flow) {
    return flow->guestIp == guestN && flow->guestPort == guestPortN && !flow->poll.removing;
  });
}

unsigned Udp_FlowCount() {
  unsigned n = 0;
  for (ListLink *l = g_flows.next; l != &g_flows; l = l->next) n++;
  return n;
}

void Udp_Reset() {
  for (ListLink *l = g_flows.next; l != &g_flows;) {
    UdpFlow *flow = List_Owner<UdpFlow>(l);
    l = l->next;
    if (!flow->poll.removing) FlowRemove(flow);
  }
  Poll_Reap();
  Hash_Free(&g_byKey);
  Hash_Free(&g_byPort);
  Timer_Cancel(&g_expiry);
  g_timeoutSec = kDefaultTimeoutSec;
  g_clusterDiffSec = kDefaultClusterDiffSec;
  g_privPort = 1024;
  g_privExhaustedSec = -1;
}
