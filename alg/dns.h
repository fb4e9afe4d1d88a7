// DNS forwarding: guests use the gateway as their DNS server. Every query
// sent to port 53 of the gateway (or broadcast) is answered by a child
// process of its own that asks the host's resolver library and writes the
// answer into a pipe; the daemon reads the pipe through the event loop, sets
// every record's time to live to 5 seconds and sends the answer to the
// guest from the address and port the query went to. The daemon never
// blocks on name resolution.
//
// Owns the DnsRequest records (one per query being answered, each owned by
// the event loop through its PollEntry) and the `started` flag.
#pragma once

#include <cstdint>
#include <poll.h>

#include "core/poll.h"

struct SkBuff;

/// Seconds every relayed record's time to live is set to.
constexpr uint32_t kDnsAnswerTtlSec = 5;

/// One query being answered by its child process.
struct DnsRequest {
  PollEntry entry;      // first member: the pipe's read end (-1 until the child runs)
  SkBuff *answer;       // receives the child's message (65628 bytes of room), or null
  uint32_t guestAddr;   // network order: the query's IPv4 source
  uint16_t guestPort;   // network order: the query's UDP source port
  uint32_t serverAddr;  // network order: the address the guest asked (gateway or broadcast)
  uint16_t serverPort;  // network order: 53
};

/// Turns DNS forwarding on (start-up). Until then queries are dropped, so
/// that nothing but the running daemon ever starts a resolver child.
void Dns_Start();

/// Once started: SIGTERM to the whole process group (the children and the
/// daemon itself), then waits until no child is left. Called by
/// Main_Shutdown.
void Dns_Stop();

/// A query from UDP input: skb data..len is the UDP payload, network and
/// transport header pointers are set. Forks the child that answers it; any
/// failure drops the query silently. The caller keeps its reference.
void Dns_Forward(SkBuff *skb);

/// Event callback of a request's pipe: collects the child's message and, at
/// end of file, sends the answer (or the ICMP error) to the guest.
void Dns_ReadAnswer(PollEntry *entry, struct pollfd *slot);

/// Release callback: frees the answer buffer, closes the pipe, frees the
/// record.
void Dns_Release(PollEntry *entry);

/// Sets the time to live of every resource record of the DNS message
/// msg[0..len) to kDnsAnswerTtlSec, walking the question section and then
/// the answer, authority and additional records (the OPT record as any
/// other). The walk stops where a name is malformed or a length does not
/// fit; records before that point stay rewritten, the rest is untouched.
/// Returns the number of records whose time to live was written.
int Dns_RewriteTtl(uint8_t *msg, uint32_t len);
