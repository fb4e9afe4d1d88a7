// ARP: answers requests for the gateway's address, learns guest addresses
// from their ARP traffic and resolves guest addresses for IP output, with a
// queue of packets waiting for each unresolved address.
//
// Owns the ARP table (g_arpTable): one ArpEntry per IPv4 address that was
// looked up or learned, in order of creation; the dump and Arp_FindByMac
// run newest first. Arp_Find goes through the hash index g_arpByIp (one
// entry per address, so its chain order does not matter). Without limits
// entries are never removed while the daemon runs (Arp_Reset empties the
// table for tests and shutdown). The [limits] of natd's own:
//   arpSubnetOnly  no entry is made for an address outside the guest
//                  subnet: such senders are not learned, and packets to
//                  such addresses are dropped instead of starting a
//                  discovery that no guest can answer.
//   arpEntries     a new entry past the limit replaces the entry that has
//                  been idle longest (g_arpIdle); with no idle entry it is
//                  not made, and the caller drops its packet.
//   arpQueue       a packet queued past the limit pushes out the oldest.
// Each of them counts every entry or packet it refuses or removes.
//
// Entry states:
//   unresolved-idle  resolved == 0, retry timer not armed, queue empty; the
//                    only state in which an entry is in g_arpIdle (in the
//                    order entries became idle) and may be replaced.
//   discovering      resolved == 0, retry timer armed; requests go out once a
//                    second (Arp_Resolve, Arp_RetryTimeout), packets wait in
//                    the pending queue. After the seventh unanswered request
//                    the queue is dropped and the entry is idle again.
//   resolved         resolved == 1, MAC valid, retry timer not armed, queue
//                    empty; the expiry timer runs when expireTimeout > 0.
//                    Expiry makes the entry unresolved-idle; its MAC is kept
//                    for the table dump.
// Any ARP from the guest (request or reply, any target) resolves an existing
// entry; a request for the gateway creates the entry if needed. The attempt
// counter is reset only when a discovery gives up, so a later discovery of
// the same entry continues counting.
//
// The pending queue is linked through the buffers' own next/prev links; new
// packets go to the front, the flush sends from the back (oldest first).
// Each queued buffer holds one reference.
#include "packet/arp.h"

#include <cstdlib>
#include <cstring>

#include "control/textbuf.h"
#include "core/limits.h"
#include "core/settings.h"
#include "core/timer.h"
#include "lib/hash.h"
#include "lib/list.h"
#include "lib/support.h"
#include "packet/dev.h"
#include "packet/skbuff.h"
#include "packet/wire.h"

struct ArpEntry {
  ListLink link;       // table membership; owner = this entry
  HashLink byIp;       // g_arpByIp, keyed by ip
  ListLink idle;       // g_arpIdle while unresolved-idle; owner = this entry
  SkBuff *queueHead;   // newest queued packet
  SkBuff *queueTail;   // oldest queued packet
  uint32_t queueLen;
  int resolved;        // 1 while mac is valid
  int haveMac;         // a MAC was ever learned (shown by the dump)
  uint32_t ip;         // network order
  uint8_t mac[6];
  Timer retryTimer;    // discovery retry, Arp_RetryTimeout
  int attempts;        // retries sent in the current discovery
  Timer expiryTimer;   // Arp_ExpireTimeout
};

namespace {

constexpr uint32_t kArpRequestAlloc = 140;
constexpr uint32_t kArpRequestReserve = 32;
constexpr uint32_t kArpReplyAlloc = 124;
constexpr uint32_t kArpReplyReserve = 48;
constexpr int kArpMaxRetries = 6;
constexpr int64_t kArpRetrySec = 1;
constexpr uint16_t kArpOpRequest = 1;
constexpr uint16_t kArpOpReply = 2;

const uint8_t kBroadcastMac[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

ListLink g_arpTable = {&g_arpTable, &g_arpTable, nullptr};
ListLink g_arpIdle = {&g_arpIdle, &g_arpIdle, nullptr};
HashTable g_arpByIp = {};
uint32_t g_arpCount = 0;

uint32_t Arp_Hash(uint32_t ipN) { return Hash_Key(ipN); }

// Puts the entry in the idle list, or takes it out, as its state says.
void Arp_SyncIdle(ArpEntry *e) {
  bool idle = !e->resolved && !Timer_IsArmed(&e->retryTimer) && !e->queueHead;
  bool listed = e->idle.next != &e->idle;
  if (idle && !listed) List_InsertBefore(&g_arpIdle, &e->idle);
  if (!idle && listed) List_Unlink(&e->idle);
}

// Fixed 8-byte header for Ethernet/IPv4 with the given operation.
void Arp_WriteFixedHeader(uint8_t *p, uint16_t op) {
  Wire_Put16(p, 1);
  Wire_Put16(p + 2, kEtherTypeIp);
  p[4] = 6;
  p[5] = 4;
  Wire_Put16(p + 6, op);
}

void Arp_DropQueue(ArpEntry *e) {
  SkBuff *skb = e->queueHead;
  e->queueHead = e->queueTail = nullptr;
  e->queueLen = 0;
  while (skb) {
    SkBuff *next = skb->next;
    skb->next = skb->prev = nullptr;
    SkBuff_Free(skb);
    skb = next;
  }
}

// Sends the queued packets oldest first to the entry's MAC.
void Arp_FlushQueue(ArpEntry *e) {
  while (SkBuff *skb = e->queueTail) {
    e->queueTail = skb->prev;
    if (e->queueTail) e->queueTail->next = nullptr;
    else e->queueHead = nullptr;
    skb->next = skb->prev = nullptr;
    e->queueLen--;
    Eth_Output(skb, e->mac, kEtherTypeIp);
    SkBuff_Free(skb);
  }
}

void Arp_ArmExpiry(ArpEntry *e) {
  Timer_Cancel(&e->expiryTimer);
  if (g_settings.arpExpireTimeout > 0) Timer_AddSeconds(&e->expiryTimer, g_settings.arpExpireTimeout);
}

void Arp_RetryTimeout(Timer *, void *arg) {
  ArpEntry *e = static_cast<ArpEntry *>(arg);
  if (e->attempts < kArpMaxRetries) {
    e->attempts++;
    Arp_Resolve(e);
    return;
  }
  Arp_DropQueue(e);
  e->attempts = 0;
  Arp_SyncIdle(e);
}

void Arp_ExpireTimeout(Timer *, void *arg) {
  ArpEntry *e = static_cast<ArpEntry *>(arg);
  e->resolved = 0;
  Arp_SyncIdle(e);
}

void Arp_Release(ArpEntry *e) {
  List_Unlink(&e->link);
  List_Unlink(&e->idle);
  Hash_Remove(&g_arpByIp, &e->byIp);
  Timer_Cancel(&e->retryTimer);
  Timer_Cancel(&e->expiryTimer);
  Arp_DropQueue(e);
  free(e);
  g_arpCount--;
}

// Whether arpSubnetOnly lets an entry for `ipN` be made.
bool Arp_AddressAllowed(uint32_t ipN) {
  return Limits_Get(kLimitArpSubnetOnly) == 0 || ((ipN ^ g_settings.gatewayAddr) & g_settings.netmask) == 0;
}

bool Arp_IsGroupMac(const uint8_t *mac) { return (mac[0] & 1) != 0; }

bool Arp_IsZeroMac(const uint8_t *mac) {
  static const uint8_t zero[6] = {};
  return memcmp(mac, zero, 6) == 0;
}

// Sender addresses that can never belong to a guest.
bool Arp_BadSenderIp(uint32_t ipN) {
  uint8_t first = reinterpret_cast<const uint8_t *>(&ipN)[0];
  if (first == 0 || first >= 224) return true;
  return ipN == g_settings.networkAddr || ipN == g_settings.broadcastAddr;
}

void Arp_SendReply(const uint8_t *fixedHdr, const uint8_t *reqMac, uint32_t reqIp) {
  SkBuff *skb = SkBuff_Alloc(kArpReplyAlloc);
  if (!skb) return;
  SkBuff_Reserve(skb, kArpReplyReserve);
  uint8_t *p = SkBuff_Put(skb, kArpLen);
  memcpy(p, fixedHdr, 8);
  Wire_Put16(p + 6, kArpOpReply);
  memcpy(p + 8, g_settings.gatewayMac, 6);
  Wire_Put32n(p + 14, g_settings.gatewayAddr);
  memcpy(p + 18, reqMac, 6);
  Wire_Put32n(p + 24, reqIp);
  Eth_Output(skb, reqMac, kEtherTypeArp);
  SkBuff_Free(skb);
}

}  // namespace

void Arp_Input(SkBuff *skb) {
  uint8_t *hdr = skb->data;
  if (!SkBuff_Pull(skb, 8)) return;
  if (Wire_Get16(hdr) != 1 || Wire_Get16(hdr + 2) != kEtherTypeIp || hdr[4] != 6 || hdr[5] != 4) return;
  uint8_t *body = skb->data;
  if (!SkBuff_Pull(skb, 20)) return;
  uint16_t op = Wire_Get16(hdr + 6);
  if (op != kArpOpRequest && op != kArpOpReply) return;

  const uint8_t *senderMac = body;
  uint32_t senderIp = Wire_Get32n(body + 6);
  uint32_t targetIp = Wire_Get32n(body + 16);
  if (Arp_IsGroupMac(senderMac) || Arp_IsZeroMac(senderMac)) return;
  if (Arp_BadSenderIp(senderIp)) return;

  int known = Arp_Update(senderIp, senderMac);
  if (targetIp != g_settings.gatewayAddr) return;
  if (!known) Arp_Learn(senderIp, senderMac);
  if (op == kArpOpRequest) Arp_SendReply(hdr, senderMac, senderIp);
}

ArpEntry *Arp_Find(uint32_t ipN) {
  return Hash_Find<ArpEntry>(&g_arpByIp, Arp_Hash(ipN), [ipN](const ArpEntry *e) { return e->ip == ipN; });
}

ArpEntry *Arp_FindByMac(const uint8_t mac[6]) {
  for (ListLink *l = g_arpTable.prev; l != &g_arpTable; l = l->prev) {
    ArpEntry *e = List_Owner<ArpEntry>(l);
    if (e->resolved && memcmp(e->mac, mac, 6) == 0) return e;
  }
  return nullptr;
}

ArpEntry *Arp_Lookup(uint32_t ipN) {
  if (ArpEntry *e = Arp_Find(ipN)) return e;
  return Arp_Create(ipN, nullptr);
}

ArpEntry *Arp_Create(uint32_t ipN, const uint8_t *mac) {
  if (!Arp_AddressAllowed(ipN)) {
    Limits_Hit(kLimitArpSubnetOnly);
    return nullptr;
  }
  if (Limits_Reached(kLimitArpEntries, g_arpCount)) {
    Limits_Hit(kLimitArpEntries);
    if (List_Empty(&g_arpIdle)) return nullptr;
    Arp_Release(List_Owner<ArpEntry>(g_arpIdle.next));
  }
  ArpEntry *e = static_cast<ArpEntry *>(calloc(1, sizeof(ArpEntry)));
  if (!e) return nullptr;
  if (!Hash_InsertFront(&g_arpByIp, &e->byIp, e, Arp_Hash(ipN))) {
    free(e);
    return nullptr;
  }
  List_Init(&e->link, e);
  List_Init(&e->idle, e);
  e->ip = ipN;
  Timer_Init(&e->retryTimer, Arp_RetryTimeout, e);
  Timer_Init(&e->expiryTimer, Arp_ExpireTimeout, e);
  if (mac) {
    memcpy(e->mac, mac, 6);
    e->haveMac = 1;
    e->resolved = 1;
    Arp_ArmExpiry(e);
  }
  List_InsertBefore(&g_arpTable, &e->link);
  g_arpCount++;
  Arp_SyncIdle(e);
  return e;
}

int Arp_Update(uint32_t ipN, const uint8_t *mac) {
  ArpEntry *e = Arp_Find(ipN);
  if (!e) return 0;
  if (!mac) {
    e->resolved = 0;
    Arp_SyncIdle(e);
    return 1;
  }
  memcpy(e->mac, mac, 6);
  e->haveMac = 1;
  if (e->resolved) return 1;
  Timer_Cancel(&e->retryTimer);
  e->resolved = 1;
  Arp_SyncIdle(e);
  Arp_ArmExpiry(e);
  Arp_FlushQueue(e);
  return 1;
}

ArpEntry *Arp_Learn(uint32_t ipN, const uint8_t mac[6]) {
  if (Arp_Update(ipN, mac)) return Arp_Find(ipN);
  return Arp_Create(ipN, mac);
}

void Arp_Resolve(ArpEntry *e) {
  if (Timer_IsArmed(&e->retryTimer)) return;
  Timer_AddSeconds(&e->retryTimer, kArpRetrySec);
  Arp_SyncIdle(e);
  SkBuff *skb = SkBuff_Alloc(kArpRequestAlloc);
  if (!skb) return;
  SkBuff_Reserve(skb, kArpRequestReserve);
  uint8_t *p = SkBuff_Put(skb, kArpLen);
  Arp_WriteFixedHeader(p, kArpOpRequest);
  memcpy(p + 8, g_settings.gatewayMac, 6);
  Wire_Put32n(p + 14, g_settings.gatewayAddr);
  memset(p + 18, 0, 6);
  Wire_Put32n(p + 24, e->ip);
  Eth_Output(skb, kBroadcastMac, kEtherTypeArp);
  SkBuff_Free(skb);
}

void Arp_Enqueue(ArpEntry *e, SkBuff *skb) {
  if (Limits_Reached(kLimitArpQueue, e->queueLen)) {
    Limits_Hit(kLimitArpQueue);
    SkBuff *oldest = e->queueTail;
    e->queueTail = oldest->prev;
    if (e->queueTail) e->queueTail->next = nullptr;
    else e->queueHead = nullptr;
    oldest->next = oldest->prev = nullptr;
    e->queueLen--;
    SkBuff_Free(oldest);
  }
  SkBuff_Hold(skb);
  skb->prev = nullptr;
  skb->next = e->queueHead;
  if (e->queueHead) e->queueHead->prev = skb;
  else e->queueTail = skb;
  e->queueHead = skb;
  e->queueLen++;
  Arp_SyncIdle(e);
}

bool Arp_EntryMac(const ArpEntry *e, uint8_t mac[6]) {
  if (!e->resolved) return false;
  if (mac) memcpy(mac, e->mac, 6);
  return true;
}

uint32_t Arp_EntryIp(const ArpEntry *e) { return e->ip; }

int Arp_EntryAttempts(const ArpEntry *e) { return e->attempts; }

unsigned Arp_QueueLength(const ArpEntry *e) { return e->queueLen; }

unsigned Arp_Count() { return g_arpCount; }

void Arp_DumpTable(TextBuf *out) {
  char line[1024];
  TextBuf_Append(out, "220-ARP table\r\n");
  unsigned count = 0;
  for (ListLink *l = g_arpTable.prev; l != &g_arpTable; l = l->prev) {
    const ArpEntry *e = List_Owner<ArpEntry>(l);
    const uint8_t *ip = reinterpret_cast<const uint8_t *>(&e->ip);
    size_t n = size_t(Str_Format(line, sizeof line, "221-%u.%u.%u.%u => ", ip[0], ip[1], ip[2], ip[3]));
    if (e->haveMac)
      n += size_t(Str_Format(line + n, sizeof line - n, "%02X:%02X:%02X:%02X:%02X:%02X", e->mac[0], e->mac[1],
                             e->mac[2], e->mac[3], e->mac[4], e->mac[5]));
    else
      n += size_t(Str_Format(line + n, sizeof line - n, "??:??:??:??:??:??"));
    if (Timer_IsArmed(&e->retryTimer))
      n += size_t(Str_Format(line + n, sizeof line - n, ", doing discovery, %u attempt", unsigned(e->attempts + 1)));
    if (e->queueHead) n += size_t(Str_Format(line + n, sizeof line - n, ", queued packets"));
    if (Timer_IsArmed(&e->expiryTimer)) {
      int64_t left = (e->expiryTimer.expiry.sec - Clock_Now.sec) * 1000000 +
                     (e->expiryTimer.expiry.usec - Clock_Now.usec);
      if (left < 0) left = 0;
      n += size_t(Str_Format(line + n, sizeof line - n, ", %d.%02d sec valid", int(left / 1000000),
                             int(left % 1000000 / 10000)));
    }
    n += size_t(Str_Format(line + n, sizeof line - n, "\r\n"));
    TextBuf_Insert(out, kTextBufAppend, line, n);
    count++;
  }
  int n = Str_Format(line, sizeof line, "229-%u entries\r\n", count);
  TextBuf_Insert(out, kTextBufAppend, line, size_t(n));
}

void Arp_Reset() {
  while (!List_Empty(&g_arpTable)) Arp_Release(List_Owner<ArpEntry>(g_arpTable.next));
  Hash_Free(&g_arpByIp);
}
