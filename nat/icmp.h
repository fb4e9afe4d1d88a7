// ICMP NAT: echo to the gateway and broadcasts, echo NAT through one raw
// host socket, ICMP errors to guests and from the outside world back to
// guests, the echo table.
#pragma once

#include <cstdint>
#include <poll.h>

struct SkBuff;
struct TextBuf;
struct PollEntry;

int Icmp_Init();
void Icmp_Input(SkBuff *skb);
void Icmp_HostInput(PollEntry *entry, struct pollfd *slot);
void Icmp_Output(uint32_t dstN, uint32_t srcN, SkBuff *skb);
/// Sends an ICMP error about the guest packet in `skb` to its sender.
void Icmp_SendError(SkBuff *skb, uint8_t type, uint8_t code, uint32_t info);
/// Maps a socket errno to destination unreachable and sends it.
void Icmp_SendErrnoUnreach(SkBuff *skb, int err);
void Icmp_DumpTable(TextBuf *out);
