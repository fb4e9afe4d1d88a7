// IP input: checks every IPv4 packet a guest sends, trims link-layer
// padding, reassembles fragmented datagrams and hands each complete datagram
// to Ip_Dispatch, which classifies the destination (the gateway, a
// broadcast, another guest, or the outside world) and calls the protocol
// handler.
//
// Owns the reassembly list (g_reasmList) of IpReasm records, one per
// datagram being reassembled, keyed by source, destination, identification
// and protocol; new records are appended, and the hash index g_reasmByKey
// finds them. g_reasmBytes is what all records hold: each record itself
// and its block.
//
// natd's own limits (0: none): past `reassemblies` records a new one
// replaces the oldest; past `reassemblyBytes` the oldest other records go
// until the growth fits, and a record that cannot fit even alone is
// dropped. Every record removed that way is counted.
//
// Reassembly. A record collects the payload of its fragments in one block
// laid out as the finished buffer will be: 14 bytes of Ethernet header and
// 20 bytes of IPv4 header (both copied from the fragment at offset 0), then
// the payload at its offsets. The block grows to the largest end offset seen
// (`capacity`). The received byte ranges [start, end) are kept in a table of
// at most 256 entries, sorted by start and never overlapping:
//   - a fragment that extends a range at its end or start is merged into it
//     (and a range it closes the gap to is merged too);
//   - a fragment that overlaps received data discards the whole datagram, as
//     does a last fragment that disagrees with an earlier last fragment (a
//     second copy of the same last fragment is ignored);
//   - a fragment that would need a 257th range discards the datagram, as
//     does one that ends beyond 65515 payload bytes (no IPv4 datagram is
//     that long).
// The datagram is complete when one range remains, it starts at 0 and the
// total length is known; the block then becomes the storage of a new buffer
// that is dispatched, and the record is released without its block.
// Lifetime: 15 seconds from the first fragment, extended to now + TTL
// seconds by any fragment whose TTL reaches further; never shortened. When
// it runs out the record is released silently.
#include <cstdlib>
#include <cstring>

#include "alg/pptp.h"
#include "core/limits.h"
#include "core/settings.h"
#include "core/timer.h"
#include "lib/hash.h"
#include "lib/list.h"
#include "nat/icmp.h"
#include "nat/tcp.h"
#include "nat/udp.h"
#include "packet/ip.h"
#include "packet/skbuff.h"
#include "packet/wire.h"

namespace {

constexpr uint32_t kReasmMaxRanges = 256;
constexpr int64_t kReasmLifetimeSec = 15;
constexpr uint32_t kBlockHdrLen = kEthHdrLen + kIpHdrLen;  // 34
// Largest payload of one IPv4 datagram (65535 bytes with a 20-byte header):
// more could be neither described by a total length nor sent on in
// fragments, whose 13-bit offsets would spill into the flags.
constexpr uint32_t kReasmMaxPayload = 0xFFFF - kIpHdrLen;

struct IpRange {
  uint32_t start;
  uint32_t end;
};

struct IpReasm {
  ListLink link;  // reassembly list; owner = this record
  HashLink byKey;     // g_reasmByKey
  uint32_t src, dst;  // network order
  uint16_t id;        // as on the wire (host order value)
  uint8_t proto;
  uint32_t total;     // payload length of the datagram; 0 while unknown
  uint32_t capacity;  // largest end offset seen; block holds 34 + capacity
  uint8_t *block;
  uint32_t rangeCount;
  IpRange ranges[kReasmMaxRanges];
  Timer timer;
};

ListLink g_reasmList = {&g_reasmList, &g_reasmList, nullptr};
HashTable g_reasmByKey = {};
uint32_t g_reasmCount = 0;
uint64_t g_reasmBytes = 0;

uint32_t Reasm_Hash(uint32_t src, uint32_t dst, uint16_t id, uint8_t proto) {
  return Hash_Key((uint64_t(src) << 32 | dst) ^ (uint64_t(id) << 8 | proto) * 0x9E3779B97F4A7C15ull);
}

uint64_t Reasm_Bytes(const IpReasm *r) { return sizeof(IpReasm) + (r->block ? kBlockHdrLen + r->capacity : 0); }

void Reasm_Release(IpReasm *r) {
  g_reasmBytes -= Reasm_Bytes(r);
  g_reasmCount--;
  List_Unlink(&r->link);
  Hash_Remove(&g_reasmByKey, &r->byKey);
  Timer_Cancel(&r->timer);
  free(r->block);
  free(r);
}

void Reasm_Timeout(Timer *, void *arg) { Reasm_Release(static_cast<IpReasm *>(arg)); }

// Makes room for `more` bytes under reassemblyBytes by releasing the oldest
// records other than `keep`. False when even `keep` alone cannot grow so.
bool Reasm_MakeRoom(const IpReasm *keep, uint64_t more) {
  uint64_t limit = Limits_Get(kLimitReassemblyBytes);
  while (limit != 0 && g_reasmBytes + more > limit) {
    Limits_Hit(kLimitReassemblyBytes);
    ListLink *oldest = g_reasmList.next;
    if (oldest != &g_reasmList && List_Owner<IpReasm>(oldest) == keep) oldest = oldest->next;
    if (oldest == &g_reasmList) return false;
    Reasm_Release(List_Owner<IpReasm>(oldest));
  }
  return true;
}

IpReasm *Reasm_Find(uint32_t src, uint32_t dst, uint16_t id, uint8_t proto) {
  return Hash_Find<IpReasm>(&g_reasmByKey, Reasm_Hash(src, dst, id, proto), [&](const IpReasm *r) {
    return r->src == src && r->dst == dst && r->id == id && r->proto == proto;
  });
}

IpReasm *Reasm_Create(uint32_t src, uint32_t dst, uint16_t id, uint8_t proto) {
  if (Limits_Reached(kLimitReassemblies, g_reasmCount)) {
    Limits_Hit(kLimitReassemblies);
    Reasm_Release(List_Owner<IpReasm>(g_reasmList.next));
  }
  if (!Reasm_MakeRoom(nullptr, sizeof(IpReasm))) return nullptr;
  IpReasm *r = static_cast<IpReasm *>(malloc(sizeof(IpReasm)));
  if (!r) return nullptr;
  memset(r, 0, offsetof(IpReasm, ranges));
  if (!Hash_Insert(&g_reasmByKey, &r->byKey, r, Reasm_Hash(src, dst, id, proto))) {
    free(r);
    return nullptr;
  }
  List_Init(&r->link, r);
  r->src = src;
  r->dst = dst;
  r->id = id;
  r->proto = proto;
  Timer_Init(&r->timer, Reasm_Timeout, r);
  Timer_AddSeconds(&r->timer, kReasmLifetimeSec);
  List_InsertBefore(&g_reasmList, &r->link);
  g_reasmCount++;
  g_reasmBytes += sizeof(IpReasm);
  return r;
}

enum class RangeResult { kPending, kCheckComplete, kDiscard };

// Records [off, end) in the range table (see the header comment).
RangeResult Reasm_AddRange(IpReasm *r, uint32_t off, uint32_t end) {
  IpRange *rg = r->ranges;
  uint32_t n = r->rangeCount;
  uint32_t i = 0;
  for (; i < n; i++) {
    if (off == rg[i].end) {
      if (i + 1 < n && end > rg[i + 1].start) return RangeResult::kDiscard;  // overlaps the next range
      rg[i].end = end;
      if (i + 1 < n && rg[i + 1].start == end) {
        rg[i].end = rg[i + 1].end;
        memmove(&rg[i + 1], &rg[i + 2], (n - i - 2) * sizeof(IpRange));
        r->rangeCount--;
      }
      return RangeResult::kCheckComplete;
    }
    if (off < rg[i].end) {
      if (end > rg[i].start) return RangeResult::kDiscard;
      if (end == rg[i].start) {
        rg[i].start = off;
        return RangeResult::kCheckComplete;
      }
      break;  // insert before range i
    }
  }
  if (n == kReasmMaxRanges) return RangeResult::kDiscard;
  memmove(&rg[i + 1], &rg[i], (n - i) * sizeof(IpRange));
  rg[i] = {off, end};
  r->rangeCount++;
  return n == 0 ? RangeResult::kCheckComplete : RangeResult::kPending;
}

// One fragment (data = its payload, iph = its header).
void Ip_Reassemble(uint8_t *iph, SkBuff *skb) {
  uint32_t src = Wire_Get32n(iph + ip::kSrc);
  uint32_t dst = Wire_Get32n(iph + ip::kDst);
  uint16_t id = Wire_Get16(iph + ip::kId);
  uint8_t proto = iph[ip::kProto];
  uint16_t field = Wire_Get16(iph + ip::kFragOff);

  IpReasm *r = Reasm_Find(src, dst, id, proto);
  if (!r) r = Reasm_Create(src, dst, id, proto);
  if (!r) return;

  uint32_t off = 8u * (field & ip::kOffMask);
  uint32_t end = off + skb->len;
  if (end > kReasmMaxPayload) {
    Reasm_Release(r);
    return;
  }
  if (!(field & ip::kFlagMF)) {
    if (r->total != 0) {
      if (end != r->total) Reasm_Release(r);
      return;  // a second copy of the last fragment is ignored
    }
    r->total = end;
  }
  if (end == 0) return;
  if (end > r->capacity) {
    uint64_t before = Reasm_Bytes(r);
    if (!Reasm_MakeRoom(r, kBlockHdrLen + end - (r->block ? kBlockHdrLen + r->capacity : 0))) {
      Reasm_Release(r);
      return;
    }
    uint8_t *block = static_cast<uint8_t *>(realloc(r->block, kBlockHdrLen + end));
    if (!block) {
      Reasm_Release(r);
      return;
    }
    // Bytes not yet received are never read (the datagram is complete only
    // when one range covers them all) and are left untouched, so that pages
    // of a far-off fragment's block that nothing is written to are not
    // made resident. The headers are defined at once.
    if (!r->block) memset(block, 0, kBlockHdrLen);
    r->block = block;
    r->capacity = end;
    g_reasmBytes += Reasm_Bytes(r) - before;
  }
  if (off == 0) {
    memcpy(r->block + kEthHdrLen, iph, kIpHdrLen);
    if (skb->linkHdr) memcpy(r->block, skb->linkHdr, kEthHdrLen);
  }
  ClockTime until = Clock_Now;
  until.sec += iph[ip::kTtl];
  if (Clock_Compare(until, r->timer.expiry) > 0) {
    Timer_Cancel(&r->timer);
    r->timer.expiry = until;
    Timer_Add(&r->timer);
  }
  memcpy(r->block + kBlockHdrLen + off, skb->data, skb->len);

  RangeResult res = Reasm_AddRange(r, off, end);
  if (res == RangeResult::kDiscard) {
    Reasm_Release(r);
    return;
  }
  if (res != RangeResult::kCheckComplete) return;
  if (r->rangeCount != 1 || r->total == 0 || r->ranges[0].start != 0) return;

  uint32_t len = r->capacity;
  uint8_t *block = r->block;
  g_reasmBytes -= kBlockHdrLen + len;
  r->block = nullptr;
  Reasm_Release(r);
  SkBuff *whole = SkBuff_AllocExternal(block, kBlockHdrLen + len);
  if (!whole) return;  // the block went with the failed allocation
  whole->linkHdr = block;
  whole->networkHdr = block + kEthHdrLen;
  whole->pktType = skb->pktType;
  SkBuff_Reserve(whole, kBlockHdrLen);
  (void)SkBuff_Put(whole, len);
  Ip_Dispatch(iph, whole);
  SkBuff_Free(whole);
}

bool Ip_IsBroadcastDest(uint32_t dN) {
  return dN == g_settings.broadcastAddr || dN == g_settings.networkAddr || dN == 0 || dN == 0xFFFFFFFFu;
}

}  // namespace

void Ip_Input(SkBuff *skb) {
  uint8_t *iph = skb->data;
  if (skb->len < kIpHdrLen) return;
  if ((iph[ip::kVerIhl] >> 4) != 4) return;
  uint32_t hlen = uint32_t(ip::HdrLen(iph));
  if (hlen < kIpHdrLen) return;
  uint32_t total = Wire_Get16(iph + ip::kTotLen);
  if (total > skb->len || total < hlen) return;
  if (total < skb->len) SkBuff_Trim(skb, total);
  skb->networkHdr = iph;
  if (!SkBuff_Pull(skb, hlen)) return;

  uint16_t field = Wire_Get16(iph + ip::kFragOff);
  if ((field & (ip::kFlagMF | ip::kOffMask)) == 0) {
    Ip_Dispatch(iph, skb);
    return;
  }
  if (field & ip::kFlagDF) return;
  Ip_Reassemble(iph, skb);
}

void Ip_Dispatch(uint8_t *iph, SkBuff *skb) {
  skb->transportHdr = skb->data;
  skb->ttl = iph[ip::kTtl];
  uint32_t dN = Wire_Get32n(iph + ip::kDst);
  uint32_t sN = Wire_Get32n(iph + ip::kSrc);
  uint8_t proto = iph[ip::kProto];

  if (dN == g_settings.gatewayAddr) {
    skb->destClass = kDestGateway;
  } else if (Ip_IsBroadcastDest(dN)) {
    skb->destClass = kDestBroadcast;
  } else if (((dN ^ g_settings.gatewayAddr) & g_settings.netmask) == 0) {
    Ip_Output(dN, sN, proto, skb);  // to another guest on the subnet
    return;
  } else {
    skb->destClass = kDestRouted;
    if (skb->ttl <= 1) {
      skb->ttl = 0;
      Icmp_SendError(skb, 11, 0, 0);
      return;
    }
    skb->ttl--;
  }

  switch (proto) {
    case kProtoTcp:
      Tcp_Input(skb);
      break;
    case kProtoUdp:
      Udp_Input(skb);
      break;
    case kProtoIcmp:
      Icmp_Input(skb);
      break;
    case kProtoGre:
      Gre_Input(skb);
      break;
    default:
      Icmp_SendError(skb, 3, 2, 0);
      break;
  }
}

void Ip_Reset() {
  while (!List_Empty(&g_reasmList)) Reasm_Release(List_Owner<IpReasm>(g_reasmList.next));
  Hash_Free(&g_reasmByKey);
  Ip_ResetIdent();
}

unsigned Ip_ReasmCount() { return g_reasmCount; }

uint64_t Ip_ReasmBytes() { return g_reasmBytes; }
