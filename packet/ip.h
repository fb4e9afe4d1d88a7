// IPv4 input (validation, reassembly, dispatch) and output (header,
// fragmentation, destination MAC choice).
#pragma once

#include <cstdint>

struct SkBuff;

/// From Dev_Input; network header = data. The caller keeps its reference.
void Ip_Input(SkBuff *skb);
/// `iph` = the IPv4 header; buffer data = first byte after it.
void Ip_Dispatch(uint8_t *iph, SkBuff *skb);
/// Adds the IPv4 header in front of the transport header at data and sends
/// it (fragmented as needed). The caller keeps its reference.
void Ip_Output(uint32_t dstN, uint32_t srcN, uint8_t proto, SkBuff *skb);
/// Sends a complete header (checksum field 0) at data.
void Ip_Transmit(uint8_t *iph, SkBuff *skb);
/// Releases every reassembly queue (tests and shutdown).
void Ip_Reset();
