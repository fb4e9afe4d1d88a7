// ICMP NAT: answers echo requests to the gateway and to broadcasts, relays
// guests' echo requests to outside hosts through one raw ICMP socket of the
// host and returns the replies, builds ICMP errors about guest packets, and
// translates errors that the host receives about relayed traffic back to the
// guest they concern (echo here; TCP and UDP through their modules).
//
// Owns the raw socket record (g_icmpSock, absent when it could not be
// created) and the echo table (g_echoTable) of IcmpEcho entries. An entry
// remembers one guest request (guest, remote, identifier, sequence) for 20
// seconds from the first request, whatever replies arrive, so duplicate
// replies are passed on too. New entries go to the front of the table,
// which the dump walks oldest first. Two hash indexes find entries: by
// remote, identifier and sequence (g_echoByReply, for replies and errors)
// and by those and the guest (g_echoByRequest, for requests). Their chains
// are in order of insertion and searched from the oldest entry, so when
// two guests sent the same request to the same host the older entry gets
// the reply. With icmpEchoes (natd's own limit) a new entry past the limit
// replaces the oldest one, counted.
#include "nat/icmp.h"

#include <linux/icmp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "control/textbuf.h"
#include "core/limits.h"
#include "core/poll.h"
#include "core/settings.h"
#include "core/timer.h"
#include "lib/hash.h"
#include "lib/list.h"
#include "lib/support.h"
#include "lib/util.h"
#include "nat/tcp.h"
#include "nat/udp.h"
#include "packet/ip.h"
#include "packet/skbuff.h"
#include "packet/wire.h"

struct IcmpEcho {
  ListLink link;    // echo table; owner = this entry
  HashLink byReply;    // g_echoByReply: remote, identifier, sequence
  HashLink byRequest;  // g_echoByRequest: the same and the guest
  Timer timer;      // expiry: unlink and free
  uint32_t remote;  // destination of the request, network order
  uint32_t guest;   // source of the request, network order
  uint16_t id;
  uint16_t seq;
};

namespace {

// The raw socket record; starts with its poll entry.
struct IcmpSocket {
  PollEntry poll;
  int ttl;  // TTL last set on the socket, -1 before the first
};

constexpr uint32_t kIcmpFilterMask = 0xFFFFE7F6;  // pass 0, 3, 11, 12
constexpr uint32_t kHostRecvAlloc = 65664;
constexpr uint32_t kHostRecvReserve = 128;
constexpr size_t kScratchLen = 70000;
constexpr uint32_t kReplyExtra = 136;  // 128 head-room + 8 ICMP header
constexpr int kMaxRecvErrors = 64;
constexpr uint8_t kIcmpEchoReply = 0, kIcmpUnreach = 3, kIcmpEchoRequest = 8, kIcmpTimeExceeded = 11,
                  kIcmpParamProblem = 12;

IcmpSocket *g_icmpSock = nullptr;
ListLink g_echoTable = {&g_echoTable, &g_echoTable, nullptr};
HashTable g_echoByReply = {};
HashTable g_echoByRequest = {};
uint32_t g_echoCount = 0;

uint64_t Echo_ReplyKey(uint32_t remoteN, uint16_t id, uint16_t seq) {
  return uint64_t(remoteN) << 32 | uint64_t(id) << 16 | seq;
}

uint32_t Echo_RequestHash(uint32_t guestN, uint64_t replyKey) {
  return Hash_Key(replyKey ^ uint64_t(guestN) * 0x9E3779B97F4A7C15ull);
}

void Echo_Release(IcmpEcho *e) {
  List_Unlink(&e->link);
  Hash_Remove(&g_echoByReply, &e->byReply);
  Hash_Remove(&g_echoByRequest, &e->byRequest);
  Timer_Cancel(&e->timer);
  free(e);
  g_echoCount--;
}

void Echo_Timeout(Timer *, void *arg) { Echo_Release(static_cast<IcmpEcho *>(arg)); }

// A new entry for the request, at the front of the table; nullptr when
// memory is short.
IcmpEcho *Echo_Create(uint32_t guest, uint32_t remote, uint16_t id, uint16_t seq) {
  if (Limits_Reached(kLimitIcmpEchoes, g_echoCount)) {
    Limits_Hit(kLimitIcmpEchoes);
    Echo_Release(List_Owner<IcmpEcho>(g_echoTable.prev));
  }
  IcmpEcho *e = static_cast<IcmpEcho *>(calloc(1, sizeof(IcmpEcho)));
  if (!e) return nullptr;
  uint64_t key = Echo_ReplyKey(remote, id, seq);
  if (!Hash_Insert(&g_echoByReply, &e->byReply, e, Hash_Key(key)) ||
      !Hash_Insert(&g_echoByRequest, &e->byRequest, e, Echo_RequestHash(guest, key))) {
    Hash_Remove(&g_echoByReply, &e->byReply);
    free(e);
    return nullptr;
  }
  List_Init(&e->link, e);
  Timer_Init(&e->timer, Echo_Timeout, e);
  e->guest = guest;
  e->remote = remote;
  e->id = id;
  e->seq = seq;
  List_InsertAfter(&g_echoTable, &e->link);
  g_echoCount++;
  Timer_AddSeconds(&e->timer, kIcmpEchoLifetimeSec);
  return e;
}


void IcmpSocket_Release(PollEntry *entry) {
  IcmpSocket *s = reinterpret_cast<IcmpSocket *>(entry);
  if (s->poll.fd != -1) close(s->poll.fd);
  if (g_icmpSock == s) g_icmpSock = nullptr;
  free(s);
}

uint8_t FirstOctet(uint32_t addrN) { return reinterpret_cast<const uint8_t *>(&addrN)[0]; }

// A routed echo request: remember it and send it from the raw socket.
void Icmp_RelayEcho(SkBuff *skb) {
  const uint8_t *iph = skb->networkHdr;
  const uint8_t *icmph = skb->transportHdr;
  uint32_t guest = Wire_Get32n(iph + ip::kSrc);
  uint32_t remote = Wire_Get32n(iph + ip::kDst);
  uint16_t id = Wire_Get16(icmph + 4);
  uint16_t seq = Wire_Get16(icmph + 6);

  uint32_t hash = Echo_RequestHash(guest, Echo_ReplyKey(remote, id, seq));
  IcmpEcho *e = Hash_Find<IcmpEcho>(&g_echoByRequest, hash, [&](const IcmpEcho *c) {
    return c->guest == guest && c->remote == remote && c->id == id && c->seq == seq;
  });
  if (!e) e = Echo_Create(guest, remote, id, seq);
  if (!e) return;

  int fd = g_icmpSock->poll.fd;
  int ttl = int(skb->ttl);
  if (ttl != g_icmpSock->ttl) {
    if (setsockopt(fd, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl) == 0) g_icmpSock->ttl = ttl;
  }
  struct sockaddr_in to {};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = remote;
  size_t len = size_t(skb->tail - icmph);
  if (sendto(fd, icmph, len, 0, reinterpret_cast<struct sockaddr *>(&to), sizeof to) < 0)
    Icmp_SendErrnoUnreach(skb, errno);
}

// Echo request to the gateway or a broadcast: answer it (data = payload).
void Icmp_AnswerEcho(SkBuff *skb) {
  const uint8_t *iph = skb->networkHdr;
  const uint8_t *icmph = skb->transportHdr;
  SkBuff *reply = SkBuff_Alloc(skb->len + kReplyExtra);
  if (!reply) return;
  SkBuff_Reserve(reply, 128);
  uint8_t *h = SkBuff_Put(reply, kIcmpHdrLen);
  h[0] = kIcmpEchoReply;
  h[1] = 0;
  h[2] = h[3] = 0;
  memcpy(h + 4, icmph + 4, 4);  // identifier and sequence as received
  if (skb->len) memcpy(SkBuff_Put(reply, skb->len), skb->data, skb->len);
  Icmp_Output(Wire_Get32n(iph + ip::kSrc), g_settings.gatewayAddr, reply);
  SkBuff_Free(reply);
}

// An error from the host (data = the quoted datagram). Hands it to the
// module whose flow it concerns; echo errors are translated here.
void Icmp_HostError(SkBuff *skb) {
  uint8_t *icmph = skb->transportHdr;
  uint8_t *qip = skb->data;
  if (!SkBuff_Pull(skb, kIpHdrLen)) return;
  if ((qip[ip::kVerIhl] >> 4) != 4 || (qip[ip::kVerIhl] & 0x0F) <= 4) return;
  uint32_t qhl = uint32_t(ip::HdrLen(qip));
  if (!SkBuff_Pull(skb, qhl - kIpHdrLen)) return;
  uint8_t *ql4 = skb->data;
  if (!SkBuff_Pull(skb, 8)) return;
  SkBuff_Push(skb, uint32_t(skb->data - icmph));

  switch (qip[ip::kProto]) {
    case kProtoTcp:
      Tcp_IcmpError(skb, qip, ql4, ql4 + 2, ql4 + 4);
      return;
    case kProtoUdp:
      Udp_ForwardIcmpError(skb, qip, ql4);
      return;
    case kProtoIcmp:
      break;
    default:
      return;
  }
  uint32_t qdst = Wire_Get32n(qip + ip::kDst);
  IcmpEcho *e = Icmp_EchoLookup(qdst, Wire_Get16(ql4 + 4), Wire_Get16(ql4 + 6));
  if (!e) return;
  Wire_Put32n(qip + ip::kSrc, e->guest);
  if (qdst == g_settings.loopbackAddr) Wire_Put32n(qip + ip::kDst, g_settings.gatewayAddr);
  Wire_Put16(qip + ip::kCsum, 0);
  Wire_Put16(qip + ip::kCsum, Csum_Compute(qip, qhl));
  Wire_Put16(icmph + 2, 0);
  Wire_Put16(icmph + 2, Csum_Compute(icmph, size_t(skb->tail - icmph)));
  uint32_t outerSrc = Wire_Get32n(skb->networkHdr + ip::kSrc);
  if (outerSrc == g_settings.loopbackAddr) outerSrc = g_settings.gatewayAddr;
  Ip_Output(e->guest, outerSrc, kProtoIcmp, skb);
}

// One datagram read from the raw socket (data = its IPv4 header).
void Icmp_HostDatagram(SkBuff *skb) {
  uint8_t *iph = skb->data;
  if (skb->len < kIpHdrLen) return;
  if ((iph[ip::kVerIhl] >> 4) != 4 || (iph[ip::kVerIhl] & 0x0F) <= 4) return;
  uint32_t hl = uint32_t(ip::HdrLen(iph));
  if (hl > skb->len) return;
  if (Csum_Compute(iph, hl) != 0) return;
  uint32_t total = Wire_Get16(iph + ip::kTotLen);
  if (total > skb->len || total < hl) return;
  SkBuff_Trim(skb, total);
  skb->networkHdr = iph;
  SkBuff_Pull(skb, hl);
  skb->transportHdr = skb->data;

  if (iph[ip::kProto] != kProtoIcmp) return;
  uint8_t *icmph = skb->data;
  if (skb->len < kIcmpHdrLen) return;
  if (Csum_Compute(icmph, skb->len) != 0) return;
  SkBuff_Pull(skb, kIcmpHdrLen);

  switch (icmph[0]) {
    case kIcmpEchoReply: {
      uint32_t src = Wire_Get32n(iph + ip::kSrc);
      IcmpEcho *e = Icmp_EchoLookup(src, Wire_Get16(icmph + 4), Wire_Get16(icmph + 6));
      if (!e) return;
      SkBuff_Push(skb, kIcmpHdrLen);
      Ip_Output(e->guest, src, kProtoIcmp, skb);
      return;
    }
    case kIcmpUnreach:
    case kIcmpTimeExceeded:
    case kIcmpParamProblem:
      Icmp_HostError(skb);
      return;
    default:
      return;
  }
}

}  // namespace

int Icmp_Init() {
  IcmpSocket *s = static_cast<IcmpSocket *>(calloc(1, sizeof(IcmpSocket)));
  if (!s) return -1;
  Poll_Init(&s->poll, Icmp_HostInput, IcmpSocket_Release);
  s->ttl = -1;
  s->poll.fd = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
  if (s->poll.fd < 0) {
    s->poll.fd = -1;
    IcmpSocket_Release(&s->poll);
    return -1;
  }
  Fd_SetNonBlocking(s->poll.fd);
  struct icmp_filter filter;
  filter.data = kIcmpFilterMask;
  (void)setsockopt(s->poll.fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
  struct sockaddr_in local {};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = g_settings.extAddr;
  if (bind(s->poll.fd, reinterpret_cast<struct sockaddr *>(&local), sizeof local) != 0 || Poll_Add(&s->poll) != 0) {
    IcmpSocket_Release(&s->poll);
    return -1;
  }
  Poll_SetEvents(&s->poll, POLLIN | POLLERR);
  g_icmpSock = s;
  return 0;
}

void Icmp_Input(SkBuff *skb) {
  uint8_t *icmph = skb->data;
  if (skb->len < kIcmpHdrLen) return;
  if (Csum_Compute(icmph, skb->len) != 0) return;
  SkBuff_Pull(skb, kIcmpHdrLen);
  if (icmph[0] != kIcmpEchoRequest) return;
  if (skb->destClass == kDestGateway || skb->destClass == kDestBroadcast) {
    Icmp_AnswerEcho(skb);
    return;
  }
  if (g_icmpSock) Icmp_RelayEcho(skb);
}

void Icmp_HostInput(PollEntry *entry, struct pollfd *slot) {
  if (!(slot->revents & (POLLIN | POLLERR))) return;
  int fd = entry->fd;
  int errors = 0;
  for (;;) {
    SkBuff *skb = SkBuff_Alloc(kHostRecvAlloc);
    struct sockaddr_in from {};
    struct iovec iov;
    struct msghdr msg {};
    static uint8_t scratch[kScratchLen];
    if (skb) {
      SkBuff_Reserve(skb, kHostRecvReserve);
      iov.iov_base = skb->data;
      iov.iov_len = size_t(skb->end - skb->tail);
    } else {
      iov.iov_base = scratch;
      iov.iov_len = sizeof scratch;
    }
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    ssize_t n = recvmsg(fd, &msg, MSG_DONTWAIT);
    if (n < 0) {
      int err = errno;
      if (skb) SkBuff_Free(skb);
      if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) return;
      if (++errors >= kMaxRecvErrors) return;  // a persistent error: try again next pass
      continue;
    }
    if (!skb) continue;  // no buffer: the datagram is discarded
    (void)SkBuff_Put(skb, uint32_t(n));
    if (msg.msg_namelen >= sizeof(struct sockaddr_in) && from.sin_family == AF_INET) Icmp_HostDatagram(skb);
    SkBuff_Free(skb);
  }
}

void Icmp_Output(uint32_t dstN, uint32_t srcN, SkBuff *skb) {
  uint8_t *m = skb->data;
  Wire_Put16(m + 2, 0);
  Wire_Put16(m + 2, Csum_Compute(m, skb->len));
  Ip_Output(dstN, srcN, kProtoIcmp, skb);
}

void Icmp_SendError(SkBuff *skb, uint8_t type, uint8_t code, uint32_t info) {
  const uint8_t *iph = skb->networkHdr;
  if (skb->pktType != kPktHost || !iph) return;
  uint32_t src = Wire_Get32n(iph + ip::kSrc);
  uint32_t dst = Wire_Get32n(iph + ip::kDst);
  if (FirstOctet(dst) >= 224) return;
  if (Wire_Get16(iph + ip::kFragOff) & ip::kOffMask) return;
  uint8_t s0 = FirstOctet(src);
  if (s0 == 127 || s0 == 0 || s0 >= 224) return;

  uint32_t n = uint32_t(skb->tail - iph);
  if (n > kIcmpErrorQuoteMax) n = kIcmpErrorQuoteMax;
  SkBuff *err = SkBuff_Alloc(n + kReplyExtra);
  if (!err) return;
  SkBuff_Reserve(err, 128);
  uint8_t *h = SkBuff_Put(err, kIcmpHdrLen);
  h[0] = type;
  h[1] = code;
  Wire_Put16(h + 2, 0);
  Wire_Put32(h + 4, info);
  memcpy(SkBuff_Put(err, n), iph, n);
  Icmp_Output(src, g_settings.gatewayAddr, err);
  SkBuff_Free(err);
}

void Icmp_SendErrnoUnreach(SkBuff *skb, int err) {
  static const struct {
    int err;
    uint8_t code;
  } kMap[] = {
      {ENETUNREACH, 0}, {EHOSTUNREACH, 1}, {ENOPROTOOPT, 2}, {ECONNREFUSED, 3}, {EMSGSIZE, 4},
      {EOPNOTSUPP, 5},  {ENETDOWN, 6},     {EHOSTDOWN, 7},   {ENONET, 8},
  };
  for (const auto &m : kMap) {
    if (m.err == err) {
      Icmp_SendError(skb, kIcmpUnreach, m.code, 0);
      return;
    }
  }
}

IcmpEcho *Icmp_EchoLookup(uint32_t remoteN, uint16_t id, uint16_t seq) {
  return Hash_Find<IcmpEcho>(&g_echoByReply, Hash_Key(Echo_ReplyKey(remoteN, id, seq)), [&](const IcmpEcho *e) {
    return e->remote == remoteN && e->id == id && e->seq == seq;
  });
}

uint32_t Icmp_EchoGuest(const IcmpEcho *e) { return e->guest; }

unsigned Icmp_EchoCount() { return g_echoCount; }

bool Icmp_HaveSocket() { return g_icmpSock != nullptr; }

void Icmp_DumpTable(TextBuf *out) {
  char line[1024];
  TextBuf_Append(out, "240-ICMP ECHO NAT table\r\n");
  unsigned count = 0;
  for (ListLink *l = g_echoTable.prev; l != &g_echoTable; l = l->prev) {
    const IcmpEcho *e = List_Owner<IcmpEcho>(l);
    const uint8_t *g = reinterpret_cast<const uint8_t *>(&e->guest);
    const uint8_t *r = reinterpret_cast<const uint8_t *>(&e->remote);
    time_t t = time_t(e->timer.expiry.sec);
    struct tm tm;
    char when[64] = "?";
    if (gmtime_r(&t, &tm) && asctime_r(&tm, when)) {
      size_t wl = strlen(when);
      if (wl && when[wl - 1] == '\n') when[wl - 1] = 0;
    }
    int n = Str_Format(line, sizeof line, "241-from %u.%u.%u.%u to %u.%u.%u.%u, id=%u, seq=%u, expires at %s GMT\r\n",
                       g[0], g[1], g[2], g[3], r[0], r[1], r[2], r[3], unsigned(e->id), unsigned(e->seq), when);
    TextBuf_Insert(out, kTextBufAppend, line, size_t(n));
    count++;
  }
  int n = Str_Format(line, sizeof line, "249-%u entries\r\n", count);
  TextBuf_Insert(out, kTextBufAppend, line, size_t(n));
}

void Icmp_Reset() {
  while (!List_Empty(&g_echoTable)) Echo_Release(List_Owner<IcmpEcho>(g_echoTable.next));
  Hash_Free(&g_echoByReply);
  Hash_Free(&g_echoByRequest);
}
