// IP output: the one way every module sends an IPv4 packet to a guest.
// Prepends the 20-byte header, fragments packets larger than the 1500-byte
// MTU unless the device cuts them into TCP segments itself (the fragments after the first are built and sent first, from the last
// to the second, then the first in the caller's buffer), computes the header
// checksum and chooses the destination MAC: broadcast, IPv4 multicast
// mapping, or the guest's MAC through ARP, which queues the packet while the
// address is being resolved.
//
// Owns the process-wide identification counter (g_ipIdent): it starts at
// 0xFEDC and is incremented once per Ip_Output call; the header carries its
// low 16 bits, so identifications wrap from 0xFFFF to 0x0000.
#include <cstring>

#include "core/settings.h"
#include "packet/arp.h"
#include "packet/dev.h"
#include "packet/ip.h"
#include "packet/skbuff.h"
#include "packet/wire.h"

namespace {

constexpr uint8_t kIpTtlOut = 128;
constexpr uint32_t kFragAllocHeadroom = 128;

uint32_t g_ipIdent = kIpIdentStart;

// Pushes a 20-byte header in front of data and transmits the packet.
void Ip_PushAndTransmit(SkBuff *skb, uint32_t dstN, uint32_t srcN, uint8_t proto, uint16_t id,
                        uint16_t fragField) {
  uint8_t *h = SkBuff_Push(skb, kIpHdrLen);
  h[ip::kVerIhl] = 0x45;
  h[ip::kTos] = 0;
  Wire_Put16(h + ip::kTotLen, uint16_t(skb->len));
  Wire_Put16(h + ip::kId, id);
  Wire_Put16(h + ip::kFragOff, fragField);
  h[ip::kTtl] = kIpTtlOut;
  h[ip::kProto] = proto;
  Wire_Put16(h + ip::kCsum, 0);
  Wire_Put32n(h + ip::kSrc, srcN);
  Wire_Put32n(h + ip::kDst, dstN);
  Ip_Transmit(h, skb);
}

}  // namespace

void Ip_ResetIdent() { g_ipIdent = kIpIdentStart; }

void Ip_Output(uint32_t dstN, uint32_t srcN, uint8_t proto, SkBuff *skb) {
  uint16_t id = uint16_t(++g_ipIdent);
  uint32_t len = skb->len;
  if (skb->gsoSize) {
    // The device cuts it into packets numbered on from `id`.
    g_ipIdent += (len - kTcpHdrLen + skb->gsoSize - 1) / skb->gsoSize - 1;
    Ip_PushAndTransmit(skb, dstN, srcN, proto, id, 0);
    return;
  }
  if (len <= kIpFragPayload) {
    Ip_PushAndTransmit(skb, dstN, srcN, proto, id, 0);
    return;
  }
  uint32_t n = (len + kIpFragPayload - 1) / kIpFragPayload;
  uint32_t lastSize = len % kIpFragPayload == 0 ? kIpFragPayload : len % kIpFragPayload;
  for (uint32_t k = n - 1; k >= 1; k--) {
    uint32_t size = k == n - 1 ? lastSize : kIpFragPayload;
    SkBuff *frag = SkBuff_Alloc(kIpFragPayload + kFragAllocHeadroom);
    if (!frag) return;  // nothing more of this packet is sent
    SkBuff_Reserve(frag, kFragAllocHeadroom);
    memcpy(SkBuff_Put(frag, size), skb->data + k * kIpFragPayload, size);
    uint16_t field = uint16_t((k * kIpFragPayload) / 8);
    if (k != n - 1) field |= ip::kFlagMF;
    Ip_PushAndTransmit(frag, dstN, srcN, proto, id, field);
    SkBuff_Free(frag);
  }
  SkBuff_Trim(skb, kIpFragPayload);
  Ip_PushAndTransmit(skb, dstN, srcN, proto, id, ip::kFlagMF);
}

void Ip_Transmit(uint8_t *iph, SkBuff *skb) {
  Wire_Put16(iph + ip::kCsum, Csum_Compute(iph, ip::HdrLen(iph)));
  uint32_t dstN = Wire_Get32n(iph + ip::kDst);
  const uint8_t *d = iph + ip::kDst;
  uint8_t mac[6];
  if (d[0] == 0 || d[0] >= 240) {
    memset(mac, 0xFF, 6);
  } else if (d[0] >= 224) {
    mac[0] = 0x01;
    mac[1] = 0x00;
    mac[2] = 0x5E;
    mac[3] = d[1] & 0x7F;
    mac[4] = d[2];
    mac[5] = d[3];
  } else if (dstN == g_settings.networkAddr || dstN == g_settings.broadcastAddr) {
    memset(mac, 0xFF, 6);
  } else {
    ArpEntry *e = Arp_Lookup(dstN);
    if (!e) return;
    if (!Arp_EntryMac(e, mac)) {
      Arp_Enqueue(e, skb);
      Arp_Resolve(e);
      return;
    }
  }
  Eth_Output(skb, mac, kEtherTypeIp);
}
