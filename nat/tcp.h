// TCP NAT: the connection record, the connection table and the guest-side
// state machine (Tcp_Input); the data path between guest and host socket.
// The connection record itself (TcpConn) is in nat/tcp_conn.h.
#pragma once

#include <cstdint>

#include "lib/list.h"

struct SkBuff;
struct TextBuf;
struct TcpConn;

/// One received piece of the guest's byte stream.
struct TcpSegment {
  ListLink link;   // owner = this segment
  uint32_t seq;    // out-of-order: start sequence; to-host: bytes written
  uint32_t len;    // bytes (a bare FIN is carried as length 1)
  uint8_t *data;   // malloc'd copy of the bytes
  uint32_t cap;    // bytes allocated at data when more than len (else 0)
  uint32_t fin;    // the guest's FIN follows these bytes
  uint32_t push;   // the guest's PSH: these bytes end a burst
};

/// Processes one TCP segment from a guest. `skb`: network header = the IPv4
/// header, data = the TCP header, len = TCP header + payload. The caller
/// keeps its reference.
void Tcp_Input(SkBuff *skb);

/// Relays an ICMP error received on the host about a relayed connection to
/// its guest. `skb` data = the whole ICMP message, network header = the
/// outer IPv4 header; `quotedIp` = the quoted IPv4 header (options
/// included) inside it, followed by at least 8 bytes of the quoted TCP
/// header, to which `sport`, `dport` and `seq` point. Rewrites the message
/// in place; the caller keeps its reference.
void Tcp_IcmpError(SkBuff *skb, uint8_t *quotedIp, uint8_t *sport, uint8_t *dport, uint8_t *seq);

/// Writes the to-host queue of every connection that took guest bytes
/// since the last call (one gathering write each), before the delayed ACKs
/// armed meanwhile are sent. The device calls it at the end of each batch
/// of frames it reads.
void Tcp_FlushPending();

/// Appends the TCP NAT table (newest first) and the two counters.
void Tcp_DumpTable(TextBuf *out);

/// The newest connection whose four fields are equal (all network order),
/// or nullptr.
TcpConn *TcpConn_Lookup(uint32_t guestAddr, uint16_t guestPort, uint32_t remoteAddr,
                        uint16_t remotePort);

/// True when x lies in (lo, hi] modulo 2^32; with lo == hi only x == hi.
bool Tcp_SeqInWindow(uint32_t x, uint32_t lo, uint32_t hi);

/// Trims the range [start, end) against the window [lo, hi): *front = bytes
/// before lo, *back = bytes after hi. Returns 1 when the range ends at or
/// before lo (front = its length), -1 when it starts at or after hi (back =
/// its length), else 0.
int Tcp_SeqTrim(uint32_t lo, uint32_t hi, uint32_t start, uint32_t end, uint32_t *front,
                uint32_t *back);

/// Test teardown: releases every connection and listener (through the
/// event loop's removal) and zeroes the counters and the privileged port
/// counter.
void Tcp_Reset();

/// Number of connection records in the table.
unsigned Tcp_ConnCount();
/// Number of TcpSegment records alive (queued or in flight inside a call).
long Tcp_SegmentLiveCount();
/// Segments sent to guests and retransmissions since start (or Tcp_Reset).
uint32_t Tcp_SegmentsSent();
uint32_t Tcp_Retransmissions();
