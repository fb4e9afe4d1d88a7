// Load limits: natd's own bounds on what guests and outside hosts can make
// it hold (tables, queues, descriptors, idle time). Every limit is read once
// at start-up from the [limits] section; 0 (the default) means no limit, so
// a configuration without the section behaves as if limits did not exist.
// Each module checks its own limits and counts every time one is reached;
// the control command LIMITS lists the values and the counts.
#pragma once

#include <cstdint>

#include "core/timer.h"

struct PollEntry;

struct TextBuf;

enum LimitId {
  kLimitReassemblies,       // IPv4 reassembly records at once
  kLimitReassemblyBytes,    // bytes held by all reassembly records
  kLimitArpEntries,         // ARP table entries
  kLimitArpSubnetOnly,      // 1: learn only senders inside the guest subnet
  kLimitArpQueue,           // frames queued per unresolved address
  kLimitIcmpEchoes,         // ICMP echo NAT records
  kLimitUdpFlows,           // UDP flows (host UDP sockets)
  kLimitUdpReadBudget,      // datagrams read from one flow per loop pass
  kLimitTcpConnections,     // TCP connection records
  kLimitTcpConnectTimeout,  // seconds a host connect may take
  kLimitTcpIdleTimeout,     // seconds an ESTABLISHED connection may sit idle
  kLimitTcpHalfCloseTimeout,  // seconds FIN_WAIT_2 / CLOSE_WAIT may sit idle
  kLimitTcpReorderSegments,   // out-of-order segments held per connection
  kLimitCtlClients,         // control-port clients at once
  kLimitCtlLineMax,         // bytes of one control request line
  kLimitPptpCalls,          // GRE relays per PPTP control connection
  kLimitDescriptors,        // not a key: the soft descriptor limit; its count
                            // is the accepts deferred for want of descriptors
  kLimitCount
};

/// Reads every key of [limits] (missing or not a number: 0) and raises the
/// soft descriptor limit to the hard one.
void Limits_Load();

/// The configured value of a limit; 0 = none.
uint64_t Limits_Get(LimitId id);

/// True when the limit is set and `used` has reached it.
bool Limits_Reached(LimitId id, uint64_t used);

/// Counts one time the limit was reached (a drop, an eviction, a reset).
void Limits_Hit(LimitId id);

/// Times the limit was reached since start-up.
uint64_t Limits_Count(LimitId id);

/// Sets a limit directly and clears its count (tests).
void Limits_Set(LimitId id, uint64_t value);

/// The reply to the control command LIMITS: "270-Limits", one
/// "271-NAME VALUE HITS" line per limit, "279-N entries".
void Limits_Dump(TextBuf *out);

/// A listener whose accept() fails for want of descriptors (EMFILE, ENFILE,
/// ENOBUFS, ENOMEM) would be reported readable again at once and spin the
/// loop: it stops being polled for kAcceptPauseMs instead, while the client
/// waits in the backlog, and the deferral is counted under "descriptors".
constexpr int kAcceptPauseMs = 100;

struct AcceptPause {
  Timer timer;       // armed while the listener is paused
  PollEntry *entry;  // the listener's entry
};

/// Prepares the pause of the listener `entry` (not armed).
void AcceptPause_Init(AcceptPause *pause, PollEntry *entry);

/// After a failed accept with error `err`: pauses the listener when it was
/// for want of descriptors.
void AcceptPause_Check(AcceptPause *pause, int err);

/// Cancels a pending resumption (the listener is being released).
void AcceptPause_Cancel(AcceptPause *pause);
