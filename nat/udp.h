// UDP NAT: one host socket per guest address and port, idle expiry in
// clusters, privileged source ports, incoming UDP forwards, ICMP errors in
// both directions, the UDP table.
#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <poll.h>

#include "core/poll.h"
#include "lib/hash.h"
#include "lib/list.h"

struct SkBuff;
struct TextBuf;
struct Timer;

/// One guest address and port relayed through one host UDP socket: either a
/// guest-initiated flow (timed) or an incoming forward (never closed).
struct UdpFlow {
  PollEntry poll;          // first member: the host socket (fd -1 when none)
  ListLink tableLink;      // the flow table (every flow), owner = this flow
  ListLink activityLink;   // the activity list (timed flows), MRU first
  HashLink byKey;          // lookup chain of its key, newest first
  HashLink byPort;         // lookup chain of its local port, newest first
  uint32_t guestIp;        // network order; key
  uint16_t guestPort;      // network order; key
  sockaddr_in local;       // host socket address after bind (getsockname)
  uint16_t lastId;         // IPv4 identification of the last guest datagram (host order)
  uint16_t lastCsum;       // UDP checksum field of that datagram (host order)
  int sockTtl;             // IP_TTL last set on the socket, -1 = never
  int64_t lastUse;         // daemon-clock seconds of the last guest datagram
  int timed;               // 1 guest-initiated, 0 incoming forward
  int registered;          // 1 once Poll_Add succeeded
};

/// Reads [udp] `timeout` (seconds, default 60) and `clusterDiff` (seconds,
/// default 10, sign dropped) and initialises the unarmed expiry timer.
void Udp_Init();

/// Guest datagram from Ip_Dispatch: data = UDP header, network header = the
/// IPv4 header, destClass and ttl set. Takes no reference; the caller frees.
void Udp_Input(SkBuff *skb);

/// Sends the UDP payload at skb data to a guest: pushes the 8-byte header
/// (checksum over the pseudo-header, a computed 0 sent as 0xFFFF) and calls
/// Ip_Output. Addresses and ports in network order. Needs 42 bytes of
/// head-room. The caller keeps and frees its reference.
void Udp_Output(uint32_t dstN, uint16_t dportN, uint32_t srcN, uint16_t sportN, SkBuff *skb);

/// Incoming forward: host port `hostPortN` on `bindN` delivered to
/// guestN:guestPortN (all network order). 0 success, 1 memory or poll
/// registration failure, 2 socket cannot be created or bound.
int Udp_AddForward(uint32_t guestN, uint16_t guestPortN, uint32_t bindN, uint16_t hostPortN);

/// ICMP error from the host network quoting a UDP datagram of one of our
/// host sockets: skb data = the ICMP message (through tail), `innerIp` and
/// `innerUdp` point into it (the caller checked that the quoted IPv4 header
/// and 8 UDP bytes are present). Restores the datagram as the guest sent it
/// and sends the error to the guest. No effect when no flow matches. The
/// caller keeps its reference.
void Udp_ForwardIcmpError(SkBuff *skb, uint8_t *innerIp, uint8_t *innerUdp);

/// Appends the UDP NAT table ("230-" header, "231-" lines newest first,
/// "239-" count) to `out`.
void Udp_DumpTable(TextBuf *out);

/// Poll callback of a flow's socket: relays every waiting datagram to the
/// guest.
void UdpFlow_Receive(PollEntry *entry, struct pollfd *slot);

/// Release callback: unlinks the flow, closes its socket, cancels the expiry
/// timer when the last timed flow goes, frees the record.
void UdpFlow_Release(PollEntry *entry);

/// Expiry timer callback: removes idle flows, re-arms for the next cluster.
void Udp_ExpireTimeout(Timer *timer, void *arg);

/// Newest flow with this guest address and port (network order) that is not
/// being removed, or nullptr.
UdpFlow *Udp_FindFlow(uint32_t guestN, uint16_t guestPortN);

/// Number of flows in the table, forwards included (tests, leak checks).
unsigned Udp_FlowCount();

/// Test teardown: removes every flow and forward from the event loop and
/// reaps them, cancels the expiry timer, resets the privileged-port counter
/// and the settings to their defaults.
void Udp_Reset();
