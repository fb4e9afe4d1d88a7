// IPv4 input (validation, reassembly, dispatch) and output (header,
// fragmentation, destination MAC choice).
//
// Addresses are in network byte order.
#pragma once

#include <cstdint>

struct SkBuff;

/// Virtual network MTU and the payload carried by each fragment, bytes.
constexpr uint32_t kIpMtu = 1500;
constexpr uint32_t kIpFragPayload = 1480;
/// Value of the identification counter before the first packet.
constexpr uint32_t kIpIdentStart = 0xFEDC;

/// From Dev_Input; network header = data. Checks the header, trims padding,
/// reassembles fragments and dispatches complete datagrams. The caller keeps
/// its reference and frees it afterwards.
void Ip_Input(SkBuff *skb);
/// `iph` = the IPv4 header; buffer data = first byte after it. Sets the
/// transport header, ttl and destination class and calls the protocol
/// handler, re-sends guest-to-guest packets, or answers with ICMP. Takes no
/// reference.
void Ip_Dispatch(uint8_t *iph, SkBuff *skb);
/// Adds the IPv4 header (TTL 128, next identification) in front of the
/// transport header at data and sends the packet to the guest, fragmented
/// to 1500-byte frames when needed (later fragments first). The buffer needs
/// 34 bytes of head-room. The caller keeps its reference and frees it.
void Ip_Output(uint32_t dstN, uint32_t srcN, uint8_t proto, SkBuff *skb);
/// Fills in the checksum of the header at data (its checksum field 0),
/// chooses the destination MAC (broadcast, multicast mapping, or ARP, which
/// may queue the packet) and writes the frame. The caller keeps its
/// reference.
void Ip_Transmit(uint8_t *iph, SkBuff *skb);
/// Releases every reassembly record and restarts the identification counter
/// at its initial value (tests and shutdown).
void Ip_Reset();
/// Restarts the identification counter (part of Ip_Reset).
void Ip_ResetIdent();
/// Number of datagrams being reassembled (for tests).
unsigned Ip_ReasmCount();
/// Bytes held by all reassembly records (the records and their blocks).
uint64_t Ip_ReasmBytes();
