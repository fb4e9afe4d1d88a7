// NetBIOS gateway (RFC 1001/1002 over UDP): name service and direct
// datagrams, whose messages carry IPv4 addresses.
//
// Name service. A guest request to the gateway address goes to the WINS
// servers; one routed to an outside address goes there. Each request gets a
// private host UDP socket that waits for one answer, and a retry timer.
// The WINS list (at most four servers, oldest first) comes from [netbios]
// `winsServer`, else from the `wins server` lines of the Samba file; it is
// read when empty, after 20 idle seconds and when a request has tried the
// last server, and only ever grows. All requests share one current-server index that only
// moves forward: a request sends `nbnsRetries` times, `nbnsTimeout` seconds
// apart, to the current server, then moves the index on; past the last
// server the guest gets host unreachable. In registration, release and
// refresh requests NB_ADDRESS (payload offset 64) becomes the host's own
// address towards the server, and the answer gets the guest's back
// (offset 58), so the server registers an address it can reach.
//
// Datagram service. A direct datagram (MSG_TYPE 0x10/0x11) to an outside
// host leaves by plain UDP NAT with SOURCE_IP (offset 4) set to the host's
// address. The peer answers to that address, port 138, which no socket of
// ours is bound to: a raw UDP socket per (guest source name, destination),
// connected to the destination, sees those datagrams and relays them to
// the guest's port 138. Relays live in a list, most recently used first,
// and a timer every `nbdsTimeout` seconds removes the idle ones.
//
// Invariants: a request is in the event loop from its first send until it
// ends (answer, end of the list, failed send); its release cancels its
// timer and drops its buffer. A relay is in the relay list until it is
// removed (unlinked at once, released when the loop reaps it); the expiry
// timer is armed only while the list is not empty.
#include "alg/netbios.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/config.h"
#include "core/settings.h"
#include "lib/util.h"
#include "lib/support.h"
#include "nat/icmp.h"
#include "nat/udp.h"
#include "packet/skbuff.h"
#include "packet/wire.h"

std::string Netbios_SambaPath = "/etc/samba/smb.conf";

namespace {

// Name-service header and record offsets (UDP payload).
constexpr size_t kNsFlags = 2, kNsMinLen = 12;
constexpr size_t kNsRequestAddr = 64, kNsRequestMinLen = 68;
constexpr size_t kNsAnswerAddr = 58, kNsAnswerMinLen = 62;
constexpr uint16_t kNsResponse = 0x8000;
constexpr int kOpRegister = 5, kOpRelease = 6, kOpRefresh = 8, kOpMultiHomed = 15;
// Datagram header offsets.
constexpr size_t kDgMinLen = 10, kDgSourceIp = 4, kDgSourceName = 14, kDgNameLen = 34;
constexpr uint8_t kDgDirectUnique = 0x10, kDgDirectGroup = 0x11;

constexpr uint16_t kPortNs = 137, kPortDgram = 138;
constexpr int kRefreshIdleSec = 19;
constexpr size_t kSambaLineMax = 1024;
constexpr uint32_t kAnswerAlloc = 1646, kAnswerHeadroom = 128, kAnswerRoom = 1518;
constexpr uint32_t kRawAlloc = 65418, kRawHeadroom = 32, kRawRoom = 65386;

int g_nbnsTimeout = 2;
int g_nbnsRetries = 3;
int g_nbdsTimeout = 3;
uint32_t g_wins[kWinsMax];
int g_winsCount = 0;
int g_winsIndex = 0;
int64_t g_lastRequest = 0;
timespec g_sambaMtime = {0, 0};
ListLink g_relays = {&g_relays, &g_relays, nullptr};
Timer g_expiry = Timer_Unarmed(Nbds_Expire, nullptr);
uint8_t g_scratch[kRawRoom];

sockaddr *Sa(sockaddr_in *sa) { return reinterpret_cast<sockaddr *>(sa); }

sockaddr_in SockAddr(uint32_t addrN, uint16_t portN) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addrN;
  sa.sin_port = portN;
  return sa;
}

int Opcode(const uint8_t *payload) { return (Wire_Get16(payload + kNsFlags) >> 11) & 0x0F; }

/// The host's own address towards `addrN` (the source its routing picks).
int LocalAddrToward(uint32_t addrN, uint32_t *out) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return -1;
  sockaddr_in any = SockAddr(INADDR_ANY, 0), to = SockAddr(addrN, htons(kPortDgram)), me{};
  int rc = -1;
  if (bind(fd, Sa(&any), sizeof any) == 0 && connect(fd, Sa(&to), sizeof to) == 0 &&
      Sock_GetName(fd, &me) == 0) {
    *out = me.sin_addr.s_addr;
    rc = 0;
  }
  close(fd);
  return rc;
}

/// Adds the `wins server` addresses of the Samba file when it changed since
/// it was last read (sections are not considered).
void ReadSambaFile() {
  struct stat st;
  if (File_Stat(Netbios_SambaPath.c_str(), &st) != 0) return;
  if (st.st_mtim.tv_sec == g_sambaMtime.tv_sec && st.st_mtim.tv_nsec == g_sambaMtime.tv_nsec) return;
  g_sambaMtime = st.st_mtim;
  FILE *f = File_Fopen(Netbios_SambaPath.c_str(), "r");
  if (!f) return;
  char *line;
  size_t len;
  while (Line_Read(f, kSambaLineMax, &line, &len) == 2) {
    size_t i = 0;
    char *first = Str_NextToken(&i, line, " \t");
    char *second = first && strcasecmp(first, "wins") == 0 ? Str_NextToken(&i, line, " =") : nullptr;
    if (second && strcasecmp(second, "server") == 0) {
      while (char *addr = Str_NextToken(&i, line, " =\t")) {
        Wins_Add(addr);
        free(addr);
      }
    }
    free(first);
    free(second);
    free(line);
  }
  fclose(f);
}

NbnsRequest *RequestOf(PollEntry *entry) { return reinterpret_cast<NbnsRequest *>(entry); }
NbdsRelay *RelayOf(PollEntry *entry) { return reinterpret_cast<NbdsRelay *>(entry); }

bool IsResponse(const uint8_t *ns) { return (Wire_Get16(ns + kNsFlags) & kNsResponse) != 0; }

/// Registration, release and refresh carry the registered address.
bool CarriesAddress(int op) { return op == kOpRegister || op == kOpRelease || op == kOpRefresh; }

/// A registration-type request (payload at least 12 bytes) gets the host's
/// own address in NB_ADDRESS. -1: too short, or no address to give.
int RewriteRegistration(NbnsRequest *req) {
  SkBuff *skb = req->request;
  int op = Opcode(skb->data);
  if (IsResponse(skb->data) || !(CarriesAddress(op) || op == kOpMultiHomed)) return 0;
  if (skb->len < kNsRequestMinLen) return -1;
  // The host does not route to its own gateway address: the address the
  // server is to register is the host's towards the server itself.
  uint32_t server = req->toWins ? g_wins[g_winsIndex] : req->targetAddr, host;
  if (LocalAddrToward(server, &host) != 0) return -1;
  Wire_Put32n(skb->data + kNsRequestAddr, host);
  return 0;
}

/// Whether a datagram read from the relay's raw socket (`n` bytes from the
/// IPv4 header) is a whole, unfragmented UDP datagram from the relay's
/// destination to its local address that may still be forwarded.
bool IsRelayedReply(const NbdsRelay *relay, const uint8_t *iph, size_t n) {
  if (n < kIpHdrLen || (iph[ip::kVerIhl] >> 4) != 4) return false;
  size_t hlen = ip::HdrLen(iph), total = Wire_Get16(iph + ip::kTotLen);
  if (hlen < kIpHdrLen || hlen > n || total < hlen || total > n) return false;
  if (Wire_Get32n(iph + ip::kDst) != relay->localAddr || Wire_Get32n(iph + ip::kSrc) != relay->destination)
    return false;
  return (Wire_Get16(iph + ip::kFragOff) & (ip::kFlagMF | ip::kOffMask)) == 0 && iph[ip::kTtl] > 1 &&
         iph[ip::kProto] == kProtoUdp;
}

/// The relay for this encoded source name (compared up to its zero byte)
/// and destination, or nullptr.
NbdsRelay *FindRelay(const uint8_t *name, uint32_t dst) {
  for (ListLink *l = g_relays.next; l != &g_relays; l = l->next) {
    NbdsRelay *relay = List_Owner<NbdsRelay>(l);
    if (relay->destination == dst && strncmp(reinterpret_cast<const char *>(relay->sourceName),
                                             reinterpret_cast<const char *>(name), kDgNameLen) == 0)
      return relay;
  }
  return nullptr;
}

/// Takes the relay out of the list at once; the loop releases it later.
void RelayRemove(NbdsRelay *relay) {
  List_Unlink(&relay->link);
  Poll_Remove(&relay->entry);
}

}  // namespace

void Netbios_Init() {
  g_winsCount = 0;
  g_winsIndex = 0;
  g_lastRequest = 0;
  g_sambaMtime = {0, 0};
  g_nbnsTimeout = int(Config_GetInt("netbios", "nbnsTimeout", 2));
  g_nbnsRetries = int(Config_GetInt("netbios", "nbnsRetries", 3));
  Wins_Refresh();
  Timer_Cancel(&g_expiry);
  Timer_Init(&g_expiry, Nbds_Expire, nullptr);
  g_nbdsTimeout = int(Config_GetInt("netbios", "nbdsTimeout", 3));
}

void Wins_Add(const char *text) {
  uint32_t addr = inet_addr(text);
  if (addr == INADDR_ANY || addr == INADDR_NONE || addr == g_settings.gatewayAddr) return;
  for (int i = 0; i < g_winsCount; i++)
    if (g_wins[i] == addr) return;
  if (g_winsCount == kWinsMax) {
    memmove(g_wins, g_wins + 1, sizeof g_wins[0] * (kWinsMax - 1));
    g_winsCount--;
  }
  g_wins[g_winsCount++] = addr;
}

int Wins_Refresh() {
  std::optional<std::string> list = Config_GetString("netbios", "winsServer");
  if (!list || list->empty()) {
    ReadSambaFile();
    return g_winsCount;
  }
  size_t i = 0;
  while (char *addr = Str_NextToken(&i, list->c_str(), ";")) {
    Wins_Add(addr);
    free(addr);
  }
  return g_winsCount;
}

void Nbns_Forward(SkBuff *skb, int toWins) {
  int64_t now = Clock_Now.sec;
  if (toWins && (g_winsCount == 0 || now - g_lastRequest > kRefreshIdleSec) && Wins_Refresh() == 0)
    return;
  g_lastRequest = now;

  auto *req = static_cast<NbnsRequest *>(calloc(1, sizeof(NbnsRequest)));
  if (!req) return;
  Poll_Init(&req->entry, Nbns_HostInput, Nbns_Release);
  Timer_Init(&req->retry, Nbns_Retry, req);
  const uint8_t *iph = skb->networkHdr, *uh = skb->transportHdr;
  req->guestAddr = Wire_Get32n(iph + ip::kSrc);
  req->guestPort = Wire_Get16n(uh + udp::kSport);
  req->targetAddr = Wire_Get32n(iph + ip::kDst);
  req->targetPort = Wire_Get16n(uh + udp::kDport);
  req->attempts = 1;
  req->toWins = uint8_t(toWins);
  SkBuff_Hold(skb);
  req->request = skb;

  req->entry.fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
  sockaddr_in local = SockAddr(g_settings.extAddr, 0);
  if (req->entry.fd < 0 || bind(req->entry.fd, Sa(&local), sizeof local) != 0 || skb->len < kNsMinLen ||
      RewriteRegistration(req) != 0 || Nbns_Send(req) != 0 || Poll_Add(&req->entry) != 0) {
    Nbns_Release(&req->entry);
    return;
  }
  Poll_SetEvents(&req->entry, POLLIN);
  Timer_AddSeconds(&req->retry, g_nbnsTimeout);
}

int Nbns_Send(NbnsRequest *req) {
  if (req->toWins && g_winsCount == 0) return 0;
  sockaddr_in to = req->toWins ? SockAddr(g_wins[g_winsIndex], htons(kPortNs))
                               : SockAddr(req->targetAddr, req->targetPort);
  SkBuff *skb = req->request;
  if (sendto(req->entry.fd, skb->data, skb->len, 0, Sa(&to), sizeof to) >= 0) return 0;
  int err = errno;
  Icmp_SendErrnoUnreach(skb, EHOSTDOWN);
  Icmp_SendErrnoUnreach(skb, err);
  return -1;
}

void Nbns_Retry(Timer *, void *arg) {
  auto *req = static_cast<NbnsRequest *>(arg);
  if (!req->toWins) {
    Poll_Remove(&req->entry);
    return;
  }
  if (req->attempts >= g_nbnsRetries) {
    if (g_winsIndex >= g_winsCount - 1) {
      req->request->pktType = kPktHost;
      Icmp_SendErrnoUnreach(req->request, EHOSTUNREACH);
      Wins_Refresh();
      Poll_Remove(&req->entry);
      return;
    }
    g_winsIndex++;
    req->attempts = 1;
  } else {
    req->attempts++;
  }
  if (Nbns_Send(req) == 0) {
    Timer_AddSeconds(&req->retry, g_nbnsTimeout);
  } else {
    Poll_Remove(&req->entry);
  }
}

void Nbns_HostInput(PollEntry *entry, struct pollfd *slot) {
  if (!(slot->revents & (POLLIN | POLLERR))) return;
  NbnsRequest *req = RequestOf(entry);
  SkBuff *skb = SkBuff_Alloc(kAnswerAlloc);
  if (skb) SkBuff_Reserve(skb, kAnswerHeadroom);
  sockaddr_in from{};
  socklen_t fromLen = sizeof from;
  ssize_t n = recvfrom(entry->fd, skb ? skb->tail : g_scratch, kAnswerRoom, MSG_DONTWAIT, Sa(&from),
                       &fromLen);
  if (n < 0 || !skb) {
    if (skb) SkBuff_Free(skb);
    return;
  }
  uint8_t *answer = SkBuff_Put(skb, uint32_t(n));
  if (fromLen >= sizeof from && from.sin_family == AF_INET) {
    if (n >= ssize_t(kNsAnswerMinLen) && IsResponse(answer) && CarriesAddress(Opcode(answer)))
      Wire_Put32n(answer + kNsAnswerAddr, req->guestAddr);
    Udp_Output(req->guestAddr, req->guestPort, req->targetAddr, req->targetPort, skb);
  }
  SkBuff_Free(skb);
  Timer_Cancel(&req->retry);
  Poll_Remove(entry);
}

void Nbns_Release(PollEntry *entry) {
  NbnsRequest *req = RequestOf(entry);
  if (entry->fd >= 0) close(entry->fd);
  Timer_Cancel(&req->retry);
  SkBuff_Free(req->request);
  free(req);
}

int Nbds_Forward(SkBuff *skb) {
  uint8_t *dg = skb->data;
  if (skb->len < kDgMinLen) return -1;
  if (dg[0] != kDgDirectUnique && dg[0] != kDgDirectGroup) return 0;
  // A name that does not end within its 34 bytes (a scope, or a short
  // datagram) is not tracked: the datagram goes out unchanged.
  const uint8_t *name = dg + kDgSourceName;
  if (skb->len < kDgSourceName + kDgNameLen || !memchr(name, 0, kDgNameLen)) return 0;
  uint32_t dst = Wire_Get32n(skb->networkHdr + ip::kDst);
  int64_t now = Clock_Now.sec;

  if (NbdsRelay *relay = FindRelay(name, dst)) {
    relay->lastUsed = now;
    List_Unlink(&relay->link);
    List_InsertAfter(&g_relays, &relay->link);
    Wire_Put32n(dg + kDgSourceIp, relay->localAddr);
    return 0;
  }

  auto *relay = static_cast<NbdsRelay *>(calloc(1, sizeof(NbdsRelay)));
  if (!relay) return -1;
  Poll_Init(&relay->entry, Nbds_HostInput, Nbds_Release);
  if (g_nbdsTimeout >= 1 && List_Empty(&g_relays)) Timer_AddSeconds(&g_expiry, g_nbdsTimeout);
  List_Init(&relay->link, relay);
  List_InsertAfter(&g_relays, &relay->link);
  relay->guestAddr = Wire_Get32n(skb->networkHdr + ip::kSrc);
  relay->port = htons(kPortDgram);
  memcpy(relay->sourceName, name, kDgNameLen);
  relay->destination = dst;
  relay->lastUsed = now;

  relay->entry.fd = socket(AF_INET, SOCK_RAW | SOCK_NONBLOCK, IPPROTO_UDP);
  sockaddr_in local = SockAddr(g_settings.extAddr, 0), peer = SockAddr(dst, 0), me{};
  if (relay->entry.fd < 0 || bind(relay->entry.fd, Sa(&local), sizeof local) != 0 ||
      connect(relay->entry.fd, Sa(&peer), sizeof peer) != 0 || Sock_GetName(relay->entry.fd, &me) != 0 ||
      Poll_Add(&relay->entry) != 0) {
    Nbds_Release(&relay->entry);
    return -1;
  }
  Poll_SetEvents(&relay->entry, POLLIN);
  relay->localAddr = me.sin_addr.s_addr;
  Wire_Put32n(dg + kDgSourceIp, relay->localAddr);
  return 0;
}

void Nbds_HostInput(PollEntry *entry, struct pollfd *slot) {
  if (!(slot->revents & (POLLIN | POLLERR))) return;
  NbdsRelay *relay = RelayOf(entry);
  SkBuff *skb = SkBuff_Alloc(kRawAlloc);
  if (skb) SkBuff_Reserve(skb, kRawHeadroom);
  ssize_t n = recv(entry->fd, skb ? skb->tail : g_scratch, kRawRoom, MSG_DONTWAIT);
  if (n < 0 || !skb) {
    if (skb) SkBuff_Free(skb);
    return;
  }
  const uint8_t *iph = SkBuff_Put(skb, uint32_t(n));
  if (IsRelayedReply(relay, iph, size_t(n))) {
    SkBuff_Trim(skb, Wire_Get16(iph + ip::kTotLen));
    skb->ttl = iph[ip::kTtl] - 1u;
    Nbds_Deliver(skb, relay);
  }
  SkBuff_Free(skb);
}

void Nbds_Deliver(SkBuff *skb, NbdsRelay *relay) {
  uint8_t *iph = skb->data;
  size_t hlen = ip::HdrLen(iph);
  if (skb->len < hlen + kUdpHdrLen) return;
  const uint8_t *uh = iph + hlen;
  if (Wire_Get16(uh + udp::kDport) != kPortDgram) return;
  Wire_Put32n(iph + ip::kDst, relay->guestAddr);
  uint32_t src = Wire_Get32n(iph + ip::kSrc);
  uint16_t sport = Wire_Get16n(uh + udp::kSport);
  (void)SkBuff_Pull(skb, uint32_t(hlen + kUdpHdrLen));
  Udp_Output(relay->guestAddr, relay->port, src, sport, skb);
}

void Nbds_Expire(Timer *, void *) {
  int64_t now = Clock_Now.sec;
  for (ListLink *l = g_relays.next; l != &g_relays;) {
    NbdsRelay *relay = List_Owner<NbdsRelay>(l);
    l = l->next;
    if (now - relay->lastUsed >= g_nbdsTimeout) RelayRemove(relay);
  }
  if (!List_Empty(&g_relays)) Timer_AddSeconds(&g_expiry, g_nbdsTimeout);
}

void Nbds_Release(PollEntry *entry) {
  NbdsRelay *relay = RelayOf(entry);
  List_Unlink(&relay->link);
  if (entry->fd >= 0) close(entry->fd);
  if (List_Empty(&g_relays)) Timer_Cancel(&g_expiry);
  free(relay);
}

unsigned Nbds_RelayCount() {
  unsigned n = 0;
  for (ListLink *l = g_relays.next; l != &g_relays; l = l->next) n++;
  return n;
}
