// Incoming TCP forwarding: listeners that accept host connections and
// create connections towards a guest.
#pragma once

#include <cstdint>
#include <poll.h>

#include "core/limits.h"
#include "core/poll.h"
#include "lib/list.h"

struct TextBuf;
struct TcpConn;
struct TcpAccept;

/// Called by TcpAccept_Release; the default closes the listening socket.
using TcpAcceptCloseFn = void (*)(TcpAccept *acc);

/// One listening socket relaying accepted connections to a guest address
/// and port (malloc'd; owned by the accept table; freed by
/// TcpAccept_Release from the event loop).
struct TcpAccept {
  PollEntry poll;         // listening socket; TcpAccept_Input / TcpAccept_Release
  ListLink link;          // accept table, owner = this record
  uint32_t guestAddr;     // network order
  uint16_t guestPort;     // network order
  uint32_t allowedAddr;   // only peer address accepted; 0 = any
  uint16_t allowedPort;   // only peer port accepted; 0 = any
  int32_t connsLeft;      // connections still to accept; <= 0 = persistent
  void *owner;            // gateway that created the listener, or nullptr
  TcpAcceptCloseFn close;
  AcceptPause pause;      // natd's own: armed while accept() lacks descriptors
};

/// Creates a listener on (external address, listenPortN) relaying to
/// guestN:guestPortN, accepting only allowedN/allowedPortN (0 = any) and at
/// most `limit` connections (<= 0: unlimited). All addresses and ports in
/// network order; port 0 lets the host choose. nullptr on failure.
TcpAccept *TcpAccept_Create(uint32_t guestN, uint16_t guestPortN, uint32_t allowedN,
                            uint16_t allowedPortN, int limit, uint16_t listenPortN);

/// Poll callback: accepts one connection per event.
void TcpAccept_Input(PollEntry *entry, struct pollfd *slot);

/// Poll release callback: unlinks, calls `close`, frees the record.
void TcpAccept_Release(PollEntry *entry);

/// Appends the accept table (newest first).
void TcpAccept_DumpTable(TextBuf *out);

/// Creates a connection for the accepted socket `fd` (taken over on
/// success; left open for the caller on failure) towards guestN:guestPortN
/// and sends the SYN to the guest. The peer's address (127.0.0.1 is shown
/// as the gateway address) and port, network order. nullptr on failure.
TcpConn *TcpConn_CreateIncoming(int fd, uint32_t guestN, uint16_t guestPortN, uint32_t peerN,
                                uint16_t peerPortN);

/// Number of listeners in the accept table.
unsigned TcpAccept_Count();

/// Removes every listener (deferred release through the event loop).
void TcpAccept_RemoveAll();
