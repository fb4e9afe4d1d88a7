// The relayed TCP connection record and the operations that the three files
// of the TCP engine share: nat/tcp.cpp (table, creation, Tcp_Input),
// nat/tcp_data.cpp (send ring, output, acknowledgements, host socket,
// timers) and nat/tcp_accept.cpp (incoming connections). Application
// gateways include it to replace a connection's operations.
//
// Sequence numbers (iss, irs, rcvNext, sndUna...) are host-order u32 values
// compared modulo 2^32; addresses and ports are network order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "core/poll.h"
#include "core/timer.h"
#include "lib/hash.h"
#include "lib/list.h"
#include "nat/tcp.h"

struct SkBuff;

/// Connection states. The numbers are shown by the control dump and fixed.
enum TcpState : int32_t {
  kTcpEstablished = 1,
  kTcpSynSent = 2,
  kTcpSynReceived = 3,
  kTcpFinWait1 = 4,
  kTcpFinWait2 = 5,
  kTcpTimeWait = 6,
  kTcpClosed = 7,     // never entered
  kTcpCloseWait = 8,  // also serves as LAST_ACK
  kTcpLastAck = 9,    // never entered
  kTcpListen = 10,    // a new record before its SYN is processed
  kTcpClosing = 11,
  kTcpConnecting = 4099,  // guest SYN accepted, host connect in progress
};

/// Result bits of the read operation.
enum : int {
  kTcpReadNothing = 0,
  kTcpReadData = 1,
  kTcpReadEof = 2,
  kTcpReadReset = 16,
};

constexpr uint32_t kTcpMss = 1460;
constexpr uint32_t kTcpRecvWindow = 64240;   // window offered to guests
constexpr size_t kTcpRingMax = 64240;        // largest send ring
constexpr size_t kTcpRingInitial = 1024;     // first ring size
constexpr int kTcpSockBuf = 64240;           // SO_RCVBUF/SO_SNDBUF floor
// What a host socket is polled for while it may be read: POLLRDHUP tells a
// short read that the peer's FIN is already there (read on, so data and FIN
// leave as one segment) from one that emptied the socket (stop reading).
constexpr short kTcpPollIn = POLLIN | POLLRDHUP;
constexpr int64_t kTcpRexmitMs = 100;
constexpr int64_t kTcpIdleSec = 30;
constexpr int64_t kTcpAckRetryMs = 10;

struct TcpConn;

/// Reads up to `cap` bytes from the host side into `buf`; returns a
/// kTcpRead* bit set, with *count set for kTcpReadData.
using TcpReadFn = int (*)(TcpConn *conn, uint8_t *buf, size_t cap, size_t *count);
/// Writes `len` bytes to the host side: bytes written, or -1 with errno.
using TcpWriteFn = ssize_t (*)(TcpConn *conn, const uint8_t *bytes, size_t len);
/// shutdown() of the host side; result as the system call.
using TcpShutdownFn = int (*)(TcpConn *conn, int how);
/// Called once when the record is destroyed; the default closes the socket.
using TcpReleaseFn = void (*)(TcpConn *conn);
/// Sees every in-order guest segment before it is queued for the host; may
/// change the segment's bytes and length in place.
using TcpSegmentHookFn = void (*)(TcpConn *conn, TcpSegment *seg);

/// Receive side: what the guest sends us.
struct TcpRecvState {
  uint32_t rcvNext;        // next sequence number expected from the guest
  uint32_t rcvAdvertised;  // right edge of the offered window
  uint32_t synReceived;    // the guest's SYN was seen: our segments carry ACK
  ListLink outOfOrder;     // TcpSegment, ascending `seq`, no overlaps
  ListLink toHost;         // TcpSegment, oldest first; `seq` = bytes written
  uint32_t reorderCount;   // segments in the out-of-order queue
};

/// Send side: the ring of bytes read from the host and not yet acknowledged
/// by the guest. Ring positions from `head` hold, in order: the SYN (one
/// position, no byte, while synPending), the data, the FIN (one position, no
/// byte, while finPending). One ring byte always stays free.
struct TcpSendBuf {
  uint32_t sndUna;    // first unacknowledged sequence number
  uint32_t sndNext;   // next sequence number to send
  uint32_t sndLimit;  // right edge of the guest's window
  size_t capacity;    // ring bytes (0 = no storage yet)
  size_t maxSize;     // largest ring size
  size_t head;        // ring offset of the position at sndUna
  size_t count;       // positions in use from head
  uint8_t *ring;      // malloc'd storage
  uint32_t synPending;
  uint32_t finPending;
  uint32_t rstPending;  // the next output is a reset
};

/// One relayed connection (malloc'd; owned by the connection table; freed
/// by TcpConn_Release from the event loop).
struct TcpConn {
  PollEntry poll;       // host socket; TcpConn_HostEvent / TcpConn_Release
  ListLink link;        // connection table, owner = this record
  uint32_t guestAddr;   // network order
  uint16_t guestPort;   // network order
  uint32_t remoteAddr;  // the other end as the guest sees it, network order
  uint16_t remotePort;  // network order
  uint32_t localAddr;   // host socket's local address after connect
  uint16_t localPort;   // host socket's local port after connect
  uint32_t precedence;  // IP TOS & 0xE0
  uint32_t iss;         // our initial sequence number towards the guest
  uint32_t irs;         // the guest's initial sequence number
  uint32_t mss;         // largest payload towards the guest (1460)
  uint32_t guestMss;    // the MSS option of the guest's SYN (0: none)
  Timer ackTimer;       // delayed ACK
  Timer rexmitTimer;    // retransmission
  Timer timeWaitTimer;  // end of TIME_WAIT
  Timer idleTimer;      // unacknowledged-data time-out
  int32_t state;        // TcpState
  uint32_t hostEof;
  uint32_t hostReset;
  uint32_t ackAfterWrite;
  uint32_t kaState;       // keep-alive mirroring 0..3
  uint32_t toHostBytes;   // bytes in the to-host queue not yet written
  int64_t lastActivity;   // clock seconds of the last segment from the guest
  TcpRecvState recv;
  TcpSendBuf send;
  uint16_t guestIpId;     // IP identification of the guest's SYN (host order)
  uint32_t guestSynSeq;   // sequence field of the guest's SYN, network order
  void *gateway;          // attached application gateway, or nullptr
  TcpReadFn read;
  TcpWriteFn write;
  TcpShutdownFn shutdown;
  TcpReleaseFn release;
  TcpSegmentHookFn segmentHook;
  HashLink byKey;         // lookup index chain, owner = this record
  ListLink flushLink;     // pending-flush list (Tcp_FlushPending), owner = this
                          // record; linked to itself while not pending
  ListLink evictLink;     // TIME_WAIT/CLOSING or CONNECTING records, oldest first
  HashLink byHostPorts;   // chain of the host socket's ports (ICMP errors)
  Timer limitTimer;       // natd's own time-outs ([limits]) of the state
  int32_t limitState;     // the state limitTimer was armed for (-1: none)
  uint32_t dying;         // killed, waiting for the event loop's release
  int64_t lastTraffic;    // clock seconds of the last guest segment or host read
};

// --- nat/tcp.cpp ------------------------------------------------------------

/// Allocates a record with the poll entry, the four timers, the default
/// operations and both sides initialised (send side maximum 64240), state
/// LISTEN, lastActivity now, and appends it to the table. Takes no
/// descriptor. nullptr when memory is short.
TcpConn *TcpConn_Alloc(uint32_t guestAddr, uint16_t guestPort, uint32_t remoteAddr,
                       uint16_t remotePort);
/// Cancels the ACK and retransmission timers and removes the poll entry;
/// the record stays valid until the event loop releases it.
void TcpConn_Kill(TcpConn *conn);
/// The newest connection whose host socket is (localAddr, localPort) ->
/// (remoteAddr, remotePort) as an ICMP error quotes it: the local address
/// may also be the configured external address, and a quoted 127.0.0.1
/// matches a connection the guest made to the gateway address. Network
/// order; nullptr when none.
TcpConn *TcpConn_FindByHost(uint32_t localAddr, uint16_t localPort, uint32_t remoteAddr,
                            uint16_t remotePort);
/// The default read operation: read() on the host socket (ECONNRESET gives
/// kTcpReadReset, other errors kTcpReadNothing, 0 kTcpReadEof).
int TcpConn_SocketRead(TcpConn *conn, uint8_t *buf, size_t cap, size_t *count);
/// Poll release callback: unlinks (table, index, pending-flush list), calls
/// the release operation, frees both queues, the ring and the record,
/// cancelling every timer.
void TcpConn_Release(PollEntry *entry);
/// Host connect completed: SYN_RECEIVED, POLLIN, SYN+ACK to the guest.
void TcpConn_HostConnected(TcpConn *conn);
/// Raises SO_RCVBUF and SO_SNDBUF of `fd` to 64240 where they are smaller.
void Tcp_RaiseSocketBuffers(int fd);
/// The default write operation: send() on the host socket without SIGPIPE.
ssize_t TcpConn_SocketWrite(TcpConn *conn, const uint8_t *bytes, size_t len);
/// Allocates a TcpSegment with a copy of `n` bytes (n may be 0); nullptr
/// when memory is short. `len` is set to n + (fin ? 1 : 0).
TcpSegment *TcpSegment_New(const uint8_t *bytes, uint32_t n, uint32_t fin);
/// Frees the segment's bytes and the record (it must be unlinked).
void TcpSegment_Free(TcpSegment *seg);

// --- nat/tcp_data.cpp -------------------------------------------------------

/// Send side to its initial values with the given maximum ring size.
void TcpSend_Init(TcpSendBuf *snd, size_t maxSize);
/// Starts the send side at sequence `iss` with window `win`.
void TcpSend_Start(TcpSendBuf *snd, uint32_t iss, uint32_t win);
/// Grows the ring to min(maxSize, size) bytes keeping its contents. 0, or
/// -1 with errno EINVAL (smaller than now) or ENOMEM.
int TcpSend_Grow(TcpSendBuf *snd, size_t size);
/// Queues our SYN (count must be 0; the ring gets storage first) and arms
/// the idle timer. 0, or -1 with errno.
int TcpConn_QueueSyn(TcpConn *conn);

/// A segment buffer for `n` payload bytes: 128 bytes head-room, a zeroed
/// 20-byte TCP header put at data (transport header). nullptr when short.
[[nodiscard]] SkBuff *Tcp_SegmentAlloc(uint32_t n);
/// Fills ports, window, data offset (`hdrLen` bytes of header incl.
/// options) and checksum of the segment at skb->data, sends it to the guest
/// and counts it. The caller keeps and frees the buffer.
void Tcp_SegmentSend(TcpConn *conn, SkBuff *skb, uint32_t hdrLen);
/// Sends what the send ring holds from sndNext (or the pending reset).
void TcpConn_Output(TcpConn *conn);
/// A bare ACK now (sequence sndNext, acknowledgement rcvNext).
void TcpConn_SendAck(TcpConn *conn);
/// Reset with sequence sndNext (+ACK rcvNext once the guest's SYN was
/// seen), then TcpConn_Kill.
void TcpConn_SendReset(TcpConn *conn);
/// Applies an acceptable acknowledgement and window from the guest.
void TcpConn_ProcessAck(TcpConn *conn, uint32_t ack, uint32_t window);
/// Takes an in-order segment (ownership passes): advances rcvNext, handles
/// the FIN, runs the segment hook and queues the bytes for the host.
void TcpConn_Deliver(TcpConn *conn, TcpSegment *seg);
/// Writes the to-host queue to the host socket (one gathering write for
/// the socket's own write operation) and takes the connection off the
/// pending-flush list.
void TcpConn_FlushToHost(TcpConn *conn);
/// After in-order guest bytes (or the guest's FIN) were queued: puts the
/// connection on the pending-flush list, which Tcp_FlushPending writes at
/// the end of the device's batch of frames, before the loop runs its
/// timers. Needs no clock.
void TcpConn_FlushLater(TcpConn *conn);
/// Poll callback of the host socket.
void TcpConn_HostEvent(PollEntry *entry, struct pollfd *slot);
/// Mirrors the guest's keep-alive timing onto the host socket.
void TcpConn_Keepalive(TcpConn *conn, bool probe);
/// Enters TIME_WAIT and arms its timer.
void TcpConn_EnterTimeWait(TcpConn *conn);
/// Puts the connection on the list of records that the connection limit
/// may evict (TIME_WAIT and CLOSING), unless it is there already.
void TcpConn_MarkClosing(TcpConn *conn);
/// Arms limitTimer for the time-out [limits] sets for the current state
/// (connect, idle, half-close), when the state changed since it was armed.
void TcpConn_ArmLimitTimer(TcpConn *conn);
void TcpConn_LimitTimer(Timer *timer, void *arg);
/// Timer callbacks.
void TcpConn_AckTimer(Timer *timer, void *arg);
void TcpConn_RexmitTimer(Timer *timer, void *arg);
void TcpConn_EndTimer(Timer *timer, void *arg);

/// One's-complement sum of `len` bytes as big-endian 16-bit words (the
/// value Csum_Partial(p, len, 0) folds to), computed eight bytes at a time.
/// The result is at most 0xFFFF and may be chained into Csum_Partial or
/// added to a pseudo-header sum before Csum_Fold.
uint32_t Tcp_Sum(const uint8_t *p, size_t len);

/// Counters of the dump.
extern uint32_t g_tcpSegmentsSent;
extern uint32_t g_tcpRetransmissions;
