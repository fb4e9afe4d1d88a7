// ICMP NAT: echo to the gateway and broadcasts, echo NAT through one raw
// host socket, ICMP errors to guests and from the outside world back to
// guests, the echo table.
//
// Addresses are in network byte order; echo identifiers and sequence
// numbers are 16-bit values as read from the wire (host order numbers).
#pragma once

#include <cstdint>
#include <poll.h>

struct SkBuff;
struct TextBuf;
struct PollEntry;
struct IcmpEcho;

/// Seconds an echo entry lives after the first request it was made for.
constexpr int64_t kIcmpEchoLifetimeSec = 20;
/// Most bytes of an offending datagram quoted in an ICMP error.
constexpr uint32_t kIcmpErrorQuoteMax = 536;

/// Opens the raw ICMP socket (filtered to echo reply, destination
/// unreachable, time exceeded and parameter problem), binds it to the
/// external address and registers it for POLLIN. 0, or -1 when the daemon
/// must run without echo NAT.
int Icmp_Init();
/// From Ip_Dispatch for protocol 1 (transport header = data). Answers echo
/// requests to the gateway or a broadcast, relays routed ones through the
/// raw socket. Takes no reference.
void Icmp_Input(SkBuff *skb);
/// Poll callback of the raw socket: reads every waiting datagram and passes
/// echo replies and errors on to the guest they concern.
void Icmp_HostInput(PollEntry *entry, struct pollfd *slot);
/// Checksums the ICMP message at data..tail and sends it with Ip_Output.
/// The caller keeps its reference.
void Icmp_Output(uint32_t dstN, uint32_t srcN, SkBuff *skb);
/// Sends an ICMP error about the guest packet in `skb` (network header set)
/// to its sender, quoting at most 536 bytes; nothing for packets that were
/// not sent to the gateway's MAC, non-first fragments, or multicast,
/// broadcast, loopback or zero addresses. `info` fills bytes 4-7
/// (big-endian). Takes no reference.
void Icmp_SendError(SkBuff *skb, uint8_t type, uint8_t code, uint32_t info);
/// Maps a socket errno to destination unreachable and sends it; numbers
/// without a mapping send nothing.
void Icmp_SendErrnoUnreach(SkBuff *skb, int err);
/// The oldest echo entry with this remote address, identifier and sequence
/// number, or nullptr.
IcmpEcho *Icmp_EchoLookup(uint32_t remoteN, uint16_t id, uint16_t seq);
/// The guest address of an echo entry (network order).
uint32_t Icmp_EchoGuest(const IcmpEcho *echo);
/// Number of entries in the echo table (for tests).
unsigned Icmp_EchoCount();
/// True while the raw socket is open.
bool Icmp_HaveSocket();
/// Appends the "240-ICMP ECHO NAT table" section (oldest entry first).
void Icmp_DumpTable(TextBuf *out);
/// Releases every echo entry (tests and shutdown). The raw socket is
/// released with the poll table.
void Icmp_Reset();
