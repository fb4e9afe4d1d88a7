// UDP NAT: one host socket per guest address and port, idle expiry in
// clusters, privileged source ports, incoming UDP forwards, ICMP errors in
// both directions, the UDP table.
#pragma once

#include <cstdint>

struct SkBuff;
struct TextBuf;

void Udp_Init();
void Udp_Input(SkBuff *skb);
void Udp_Output(uint32_t dstN, uint16_t dportN, uint32_t srcN, uint16_t sportN, SkBuff *skb);
/// 0 success, 1 memory/poll failure, 2 socket cannot be created or bound.
int Udp_AddForward(uint32_t guestN, uint16_t guestPortN, uint32_t bindN, uint16_t hostPortN);
void Udp_ForwardIcmpError(SkBuff *skb, uint8_t *innerIp, uint8_t *innerUdp);
void Udp_DumpTable(TextBuf *out);
