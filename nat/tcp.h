// TCP NAT: the connection record, the connection table and the guest-side
// state machine (Tcp_Input); the data path between guest and host socket.
#pragma once

#include <cstdint>

#include "lib/list.h"

struct SkBuff;
struct TextBuf;

/// One received piece of the guest's byte stream.
struct TcpSegment {
  ListLink link;   // owner = this segment
  uint32_t seq;    // out-of-order: start sequence; to-host: bytes written
  uint32_t len;    // bytes (a bare FIN is carried as length 1)
  uint8_t *data;   // malloc'd copy of the bytes
  uint32_t fin;    // the guest's FIN follows these bytes
};

void Tcp_Input(SkBuff *skb);
void Tcp_IcmpError(SkBuff *skb, uint8_t *quotedIp, uint8_t *sport, uint8_t *dport, uint8_t *seq);
void Tcp_DumpTable(TextBuf *out);
