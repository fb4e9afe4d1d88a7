// DHCP server: answers BOOTP and DHCP requests from guests (UDP port 67,
// addressed to the gateway or broadcast, while `enableNatDhcp` is set) with
// an address from the upper part of the subnet, the netmask, the gateway as
// router and DNS server, a host name made from the address and a fixed
// domain name.
//
// Owns only the address counter (the last octet of the next address to
// try, 128..250). There is no lease database: the ARP table remembers which
// address belongs to which MAC. A client whose resolved ARP entry still
// holds a usable address on the subnet gets that address again; otherwise
// the first address from the counter on without an ARP entry is given and
// learned into the ARP table at once, so it counts as taken from then on.
// Two wraps of the counter within one request mean the range is exhausted
// and the request goes unanswered.
//
// Only DISCOVER and REQUEST (and untyped BOOTP requests) are answered; no
// lease time is sent and the reply is not padded.
#include "nat/dhcp.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>

#include "core/settings.h"
#include "nat/udp.h"
#include "packet/arp.h"
#include "packet/skbuff.h"
#include "packet/wire.h"

namespace {

constexpr uint32_t kReplyAllocSize = 1024;
constexpr uint32_t kReplyHeadroom = 128;
constexpr int kFirstHostOctet = 128;
constexpr int kLastHostOctet = 250;
constexpr int kMaxCounterWraps = 2;
constexpr size_t kMaxTextOptionLen = 255;
constexpr const char kDomainName[] = "virtual.localhost";

int g_counter = kFirstHostOctet;

/// Address to give the client with MAC `mac`, or false when the range is
/// exhausted.
bool ChooseAddress(const uint8_t *mac, uint32_t *outN) {
  const Settings &s = g_settings;
  if (ArpEntry *e = Arp_FindByMac(mac)) {
    uint32_t ip = Arp_EntryIp(e);
    if ((ip & s.netmask) == s.networkAddr && ip != s.networkAddr && ip != s.gatewayAddr &&
        ip != s.broadcastAddr) {
      *outN = ip;
      return true;
    }
  }
  int wraps = 0;
  for (;;) {
    uint32_t candidate = htonl(ntohl(s.networkAddr) | uint32_t(g_counter));
    if (!Arp_Find(candidate)) {
      *outN = candidate;
      return true;
    }
    if (++g_counter > kLastHostOctet) {
      g_counter = kFirstHostOctet;
      if (++wraps == kMaxCounterWraps) return false;
    }
  }
}

void PutOption1(SkBuff *skb, uint8_t code, uint8_t value) {
  uint8_t *p = SkBuff_Put(skb, 3);
  p[0] = code;
  p[1] = 1;
  p[2] = value;
}

void PutOption4(SkBuff *skb, uint8_t code, uint32_t addrN) {
  uint8_t *p = SkBuff_Put(skb, 6);
  p[0] = code;
  p[1] = 4;
  Wire_Put32n(p + 2, addrN);
}

void PutOptionBytes(SkBuff *skb, uint8_t code, const void *bytes, uint8_t len) {
  uint8_t *p = SkBuff_Put(skb, 2u + len);
  p[0] = code;
  p[1] = len;
  memcpy(p + 2, bytes, len);
}

void PutOptionText(SkBuff *skb, uint8_t code, const char *text) {
  size_t n = strlen(text);
  if (n > kMaxTextOptionLen) n = kMaxTextOptionLen;
  PutOptionBytes(skb, code, text, uint8_t(n));
}

}  // namespace

int Dhcp_ParseOptions(DhcpOption table[256], const uint8_t *start, const uint8_t *end) {
  const uint8_t *p = start;
  while (p < end) {
    uint8_t code = *p++;
    if (code == bootp::kOptEnd) return 0;
    if (code == bootp::kOptPad) continue;
    if (p >= end) return -1;
    uint8_t len = *p++;
    if (size_t(end - p) < len) return -2;
    table[code].value = p;
    table[code].len = len;
    p += len;
  }
  return 0;
}

void Dhcp_Input(SkBuff *skb) {
  const uint8_t *req = skb->data;
  const uint32_t reqLen = skb->len;
  const uint8_t *udpHdr = skb->transportHdr;
  if (reqLen < bootp::kFixedLen || !udpHdr) return;

  DhcpOption opts[256] = {};
  bool typed = false;
  if (reqLen >= bootp::kOptions && Wire_Get32(req + bootp::kCookie) == bootp::kMagicCookie) {
    (void)Dhcp_ParseOptions(opts, req + bootp::kOptions, req + reqLen);
    typed = opts[bootp::kOptMsgType].value && opts[bootp::kOptMsgType].len == 1;
  }
  if (typed && opts[bootp::kOptOverload].value && opts[bootp::kOptOverload].len == 1) {
    uint8_t overload = opts[bootp::kOptOverload].value[0];
    if (overload & 1)
      (void)Dhcp_ParseOptions(opts, req + bootp::kFile, req + bootp::kFile + bootp::kFileLen);
    if (overload & 2)
      (void)Dhcp_ParseOptions(opts, req + bootp::kSname, req + bootp::kSname + bootp::kSnameLen);
  }

  if (req[bootp::kOp] != 1 || req[bootp::kHtype] != 1 || req[bootp::kHlen] != 6) return;
  uint8_t msgType = 0;
  if (typed) {
    // An overloaded field may have replaced the type with an empty option.
    const DhcpOption &t = opts[bootp::kOptMsgType];
    if (t.len >= 1) msgType = t.value[0];
    if (msgType != bootp::kDiscover && msgType != bootp::kRequest) return;
  }

  SkBuff *reply = SkBuff_Alloc(kReplyAllocSize);
  if (!reply) return;
  const uint8_t *mac = req + bootp::kChaddr;
  uint32_t yiaddr = 0;
  if (!ChooseAddress(mac, &yiaddr)) {
    SkBuff_Free(reply);
    return;
  }

  const Settings &s = g_settings;
  SkBuff_Reserve(reply, kReplyHeadroom);
  uint8_t *m = SkBuff_Put(reply, bootp::kFixedLen);
  memset(m, 0, bootp::kFixedLen);
  m[bootp::kOp] = 2;
  m[bootp::kHtype] = req[bootp::kHtype];
  m[bootp::kHlen] = req[bootp::kHlen];
  memcpy(m + bootp::kXid, req + bootp::kXid, 4);
  memcpy(m + bootp::kFlags, req + bootp::kFlags, 2);
  Wire_Put32n(m + bootp::kYiaddr, yiaddr);
  memcpy(m + bootp::kGiaddr, req + bootp::kGiaddr, 4);
  memcpy(m + bootp::kChaddr, req + bootp::kChaddr, bootp::kChaddrLen);

  Arp_Learn(yiaddr, mac);

  Wire_Put32(SkBuff_Put(reply, 4), bootp::kMagicCookie);
  if (typed)
    PutOption1(reply, bootp::kOptMsgType, msgType == bootp::kDiscover ? bootp::kOffer : bootp::kAck);
  PutOption4(reply, bootp::kOptNetmask, s.netmask);
  PutOption4(reply, bootp::kOptRouter, s.gatewayAddr);
  PutOptionBytes(reply, bootp::kOptDns, &s.gatewayAddr, 4);
  char hostName[16];
  snprintf(hostName, sizeof hostName, "vh%08X", unsigned(ntohl(yiaddr)));
  PutOptionText(reply, bootp::kOptHostName, hostName);
  PutOptionText(reply, bootp::kOptDomain, kDomainName);
  PutOption4(reply, bootp::kOptBroadcast, s.broadcastAddr);
  if (typed) PutOption4(reply, bootp::kOptServerId, s.gatewayAddr);
  *SkBuff_Put(reply, 1) = bootp::kOptEnd;

  uint32_t dst = (Wire_Get16(req + bootp::kFlags) & bootp::kFlagBroadcast) ? INADDR_BROADCAST : yiaddr;
  Udp_Output(dst, Wire_Get16n(udpHdr + udp::kSport), s.gatewayAddr,
             Wire_Get16n(udpHdr + udp::kDport), reply);
  SkBuff_Free(reply);
}

void Dhcp_Reset() { g_counter = kFirstHostOctet; }
