// TCP NAT, guest side: the connection table, the creation of outgoing
// connections with their host sockets, and Tcp_Input, the state machine that
// handles every TCP segment a guest sends.
//
// Owns the connection table (TcpConn records, appended at the tail, searched
// newest first) and two lookup indexes over it: hash chains on the four
// address fields, and on the host socket's two ports (outgoing connections,
// for ICMP errors); newest record first in each chain, so a lookup returns
// the same record a walk of the table from its tail would.
//
// How a connection lives. A guest SYN to an unknown (address, port) pair
// creates a record in LISTEN, binds a host socket (a privileged local port
// when the destination port is listed in [PrivilegedTCP], or autodetect is
// on and the guest's port is below 1024) and starts a non-blocking connect;
// the record is then CONNECTING and the guest gets no answer until the host
// side is connected: then TcpConn_HostConnected answers with SYN+ACK and the
// record is SYN_RECEIVED. A connect that fails at once ends the record
// silently, one that fails later draws an RST (tcp_data.cpp). Incoming
// connections (tcp_accept.cpp) start in SYN_SENT with our SYN out.
//
// Synchronized states accept a segment when it overlaps the offered window
// [rcvNext, rcvAdvertised) (zero-length segments: start inside it, or equal
// rcvNext when it is closed). Unacceptable segments draw an ACK, and an
// unacceptable one-byte segment just below rcvNext is the guest's
// keep-alive probe. In-order data and FIN are delivered to the to-host
// queue; data beyond rcvNext waits in the out-of-order queue, which stays
// sorted by sequence number and never holds a byte twice: a new range keeps
// only the gaps between queued segments. Acknowledgements and windows from
// the guest drive the send ring (tcp_data.cpp). The guest's FIN moves
// ESTABLISHED to CLOSE_WAIT, FIN_WAIT_1 to CLOSING and FIN_WAIT_2 to
// TIME_WAIT; an RST ends the connection in every state.
//
// Load limits ([limits], 0 = none). `tcpConnections` caps the records: a
// new guest SYN past it evicts the oldest record in TIME_WAIT or CLOSING
// (the closing list, in the order they got there), else it is answered
// with a reset. `tcpReorderSegments` caps the out-of-order queue: a
// segment that finds it full is dropped and not acknowledged. The connect,
// idle and half-close time-outs are in tcp_data.cpp. A privileged-port
// search that failed on all its 512 ports is not repeated within the same
// clock second: the countdown moves on as if it had been.
//
// Records end only through the event loop: TcpConn_Kill removes the poll
// entry and TcpConn_Release frees the record after the pass, so a record
// found by a lookup stays valid for the whole callback.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "alg/ftp.h"
#include "alg/pptp.h"
#include "control/textbuf.h"
#include "core/limits.h"
#include "core/settings.h"
#include "lib/support.h"
#include "lib/util.h"
#include "nat/tcp_accept.h"
#include "nat/tcp_conn.h"
#include "packet/ip.h"
#include "packet/skbuff.h"
#include "packet/wire.h"

namespace {

ListLink g_conns = {&g_conns, &g_conns, nullptr};
unsigned g_connCount = 0;
unsigned g_dyingCount = 0;  // killed records not yet released
// Records a new connection may evict past tcpConnections, oldest first:
// TIME_WAIT/CLOSING ones, then those whose host connect is still in progress
// (so that a guest's SYNs to silent hosts cannot keep the others out).
ListLink g_closing = {&g_closing, &g_closing, nullptr};
ListLink g_connecting = {&g_connecting, &g_connecting, nullptr};

HashTable g_byKey;        // connections by guest and remote address and port
HashTable g_byHostPorts;  // outgoing connections by host socket ports

uint16_t g_nextPrivPort = 1024;  // host order; runs 1023 .. 256 and wraps
constexpr int kPrivBindAttempts = 512;
int64_t g_privExhaustedSec = -1;  // clock second of the last failed search

long g_segmentsLive = 0;

uint32_t HostPortsHash(uint16_t localPort, uint16_t remotePort) {
  return Hash_Key(uint32_t(localPort) << 16 | remotePort);
}

// The guest chooses every part of the key, so the two addresses are hashed
// first: what it can make collide in that 32-bit value depends on the
// process's hash key, which it cannot know.
uint32_t KeyHash(uint32_t ga, uint16_t gp, uint32_t ra, uint16_t rp) {
  return Hash_Key(uint64_t(Hash_Key(uint64_t(ga) << 32 | ra)) << 32 | uint32_t(gp) << 16 | rp);
}

uint32_t LoopbackN() { return htonl(INADDR_LOOPBACK); }

// Default operations on the host socket.

int DefaultShutdown(TcpConn *conn, int how) { return ::shutdown(conn->poll.fd, how); }

void DefaultRelease(TcpConn *conn) {
  if (conn->poll.fd >= 0) ::close(conn->poll.fd);
  conn->poll.fd = -1;
}

void DefaultSegmentHook(TcpConn *, TcpSegment *) {}

bool IsPrivilegedDest(uint16_t dportN, uint16_t sportN) {
  uint16_t dport = ntohs(dportN);
  for (int i = 0; i < g_settings.privTcpCount; ++i)
    if (g_settings.privTcpPorts[i] == dport) return true;
  return g_settings.privTcpAutodetect && ntohs(sportN) < 1024;
}

// Binds the new host socket: a privileged port when asked for (up to 512
// attempts on the shared countdown), else an ephemeral one. 0 or -1.
int BindHostSocket(int fd, bool privileged) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = g_settings.extAddr;
  if (privileged) {
    bool exhausted = g_privExhaustedSec == Clock_Now.sec;
    for (int i = 0; i < kPrivBindAttempts; ++i) {
      if (g_nextPrivPort <= 256)
        g_nextPrivPort = 1023;
      else
        --g_nextPrivPort;
      sa.sin_port = htons(g_nextPrivPort);
      if (!exhausted && bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0) return 0;
    }
    g_privExhaustedSec = Clock_Now.sec;
  }
  // Port 0: bind would reserve an ephemeral port for this socket alone, so
  // all connections together could hold no more than the ephemeral range.
  // Left to connect, the port is chosen per destination (and read back after
  // connect as before): on the wildcard address the bind is then a no-op and
  // is skipped, on a chosen address it only fixes the address.
  if (sa.sin_addr.s_addr == INADDR_ANY) return 0;
  int one = 1;
  setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
  return bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
}

// The fields of one guest segment, read once by Tcp_Input.
struct SegView {
  uint8_t *iph;
  uint8_t *th;
  uint32_t src, dst;   // network order
  uint16_t sport, dport;  // network order
  uint32_t seq, ack, win;
  uint8_t flags;
  uint32_t precedence;
  uint8_t *payload;
  uint32_t n;          // payload bytes
};

// A reset for an offending segment. With a record the segment goes out
// through the connection's sending (ports, window, addresses from the
// record); without one, ports swapped, window 32767.
void SendResetFor(TcpConn *conn, const SegView &s) {
  SkBuff *skb = Tcp_SegmentAlloc(0);
  if (!skb) return;
  uint8_t *th = skb->data;
  if (s.flags & tcp::kAckF) {
    Wire_Put32(th + tcp::kSeq, s.ack);
    th[tcp::kFlags] = tcp::kRst;
  } else {
    uint32_t ack = s.seq + s.n + ((s.flags & tcp::kSyn) ? 1 : 0);
    Wire_Put32(th + tcp::kAck, ack);
    th[tcp::kFlags] = tcp::kRst | tcp::kAckF;
  }
  if (conn) {
    Tcp_SegmentSend(conn, skb, kTcpHdrLen);
  } else {
    Wire_Put16n(th + tcp::kSport, s.dport);
    Wire_Put16n(th + tcp::kDport, s.sport);
    th[tcp::kOff] = 5 << 4;
    Wire_Put16(th + tcp::kWin, 32767);
    uint32_t sum = Csum_Pseudo(s.dst, s.src, kProtoTcp, kTcpHdrLen);
    Wire_Put16(th + tcp::kCsum, Csum_Fold(Csum_Partial(th, kTcpHdrLen, sum)));
    Ip_Output(s.src, s.dst, kProtoTcp, skb);
    ++g_tcpSegmentsSent;
  }
  SkBuff_Free(skb);
}

// The MSS option of a guest SYN, or 0 when it has none.
uint32_t SynMss(const SegView &s) {
  const uint8_t *o = s.th + kTcpHdrLen;
  while (o < s.payload && *o != 0) {
    if (*o == 1) {
      ++o;
      continue;
    }
    if (s.payload - o < 2 || o[1] < 2 || o[1] > s.payload - o) break;
    if (o[0] == 2 && o[1] == 4) return Wire_Get16(o + 2);
    o += o[1];
  }
  return 0;
}

// Creates the record and host socket for a guest SYN (steps socket, bind,
// record, gateway attach point, descriptor, poll entry). nullptr: dropped.
TcpConn *CreateOutgoing(const SegView &s) {
  // Non-blocking from the start: the descriptor is stored below already
  // non-blocking, without two more system calls per connection.
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, IPPROTO_TCP);
  if (fd < 0) return nullptr;
  if (BindHostSocket(fd, IsPrivilegedDest(s.dport, s.sport)) < 0) {
    close(fd);
    return nullptr;
  }
  TcpConn *conn = TcpConn_Alloc(s.src, s.sport, s.dst, s.dport);
  if (!conn) {
    close(fd);
    return nullptr;
  }
  // Gateway attach point: the FTP client gateway (destination port 21) and
  // the PPTP gateway (destination port 1723) attach here, after the record
  // is filled in and before its descriptor is stored.
  if (s.dport == htons(21)) Ftp_AttachClient(conn);
  if (s.dport == htons(kPptpPort)) Pptp_Attach(conn);
  conn->poll.fd = fd;
  Tcp_RaiseSocketBuffers(fd);
  if (Poll_Add(&conn->poll) < 0) {
    TcpConn_Release(&conn->poll);
    return nullptr;
  }
  Poll_SetEvents(&conn->poll, 0);
  return conn;
}

// Our SYN towards the guest is outstanding (incoming connections).
void InputSynSent(TcpConn *conn, const SegView &s) {
  bool hasAck = s.flags & tcp::kAckF;
  bool ackOk = false;
  if (hasAck) {
    ackOk = Tcp_SeqInWindow(s.ack, conn->iss, conn->send.sndNext);
    if (!ackOk) {
      if (!(s.flags & tcp::kRst)) SendResetFor(conn, s);
      return;
    }
  }
  if (s.flags & tcp::kRst) {
    if (ackOk) TcpConn_Kill(conn);
    return;
  }
  if (!hasAck) {
    conn->precedence = s.precedence;
  } else if (s.precedence != conn->precedence) {
    SendResetFor(conn, s);
    return;
  }
  // A segment with neither SYN nor RST cannot complete the handshake:
  // dropped, the guest will send its SYN+ACK again.
  if (!(s.flags & tcp::kSyn)) return;

  TcpRecvState &rcv = conn->recv;
  rcv.synReceived = 1;
  conn->irs = s.seq;
  conn->guestMss = SynMss(s);
  conn->lastTraffic = Clock_Now.sec;
  rcv.rcvNext = s.seq + 1;
  rcv.rcvAdvertised = s.seq + 1 + kTcpRecvWindow;
  if (hasAck) TcpConn_ProcessAck(conn, s.ack, s.win);

  if (Tcp_SeqInWindow(conn->send.sndUna, conn->iss, conn->iss + 16777216u)) {
    conn->state = kTcpEstablished;
    TcpConn_SendAck(conn);
    return;
  }
  // Simultaneous open: answer with SYN+ACK and wait for the guest's ACK.
  // The SYN we answer with stays queued in the ring as sent, so that the
  // guest's acknowledgement of iss + 1 is acceptable and the retransmission
  // timer repeats it.
  TcpSend_Start(&conn->send, conn->iss, s.win);
  conn->send.synPending = 1;
  if (TcpConn_QueueSyn(conn) < 0) return;
  SkBuff *skb = Tcp_SegmentAlloc(0);
  if (skb) {
    uint8_t *th = skb->data;
    Wire_Put32(th + tcp::kSeq, conn->iss);
    Wire_Put32(th + tcp::kAck, rcv.rcvNext);
    th[tcp::kFlags] = tcp::kSyn | tcp::kAckF;
    Tcp_SegmentSend(conn, skb, kTcpHdrLen);
    SkBuff_Free(skb);
    Timer_Cancel(&conn->ackTimer);
  }
  conn->send.sndNext = conn->iss + 1;
  Timer_AddMillis(&conn->rexmitTimer, kTcpRexmitMs);
  conn->state = kTcpSynReceived;
}

// Inserts [start, start + total) of the guest's stream (bytes at `bytes`,
// the last position being the FIN when `fin`) into the out-of-order queue,
// keeping only the parts that no queued segment holds yet and nothing
// beyond a queued FIN. `push`: the range ends with the guest's PSH. False
// when the queue was full (tcpReorderSegments): the rest is dropped.
bool QueueOutOfOrder(TcpConn *conn, uint32_t start, uint32_t total, const uint8_t *bytes,
                     uint32_t fin, bool push) {
  ListLink *q = &conn->recv.outOfOrder;
  const uint32_t base = conn->recv.rcvNext;
  uint32_t s = start - base;        // offsets from rcvNext: no wrap inside the window
  uint32_t e = s + total;
  const uint32_t origin = s;
  ListLink *from = q->next;
  if (!List_Empty(q)) {
    // Mostly the range goes after the highest segment: start the walk there.
    TcpSegment *last = List_Owner<TcpSegment>(q->prev);
    uint32_t la = last->seq - base, lb = la + last->len;
    if (last->fin && e > lb) {
      if (s >= lb) return true;
      e = lb;  // ends inside `last`: no piece of it takes the FIN
    }
    if (s >= la) from = q->prev;
  }
  // A piece [a, b) of the new range as a segment; the FIN goes with the
  // piece that ends the range.
  bool full = false;
  auto makePiece = [&](uint32_t a, uint32_t b) -> TcpSegment * {
    if (Limits_Reached(kLimitTcpReorderSegments, conn->recv.reorderCount)) {
      Limits_Hit(kLimitTcpReorderSegments);
      full = true;
      return nullptr;
    }
    bool withFin = fin && b == e;
    uint32_t nbytes = (b - a) - (withFin ? 1 : 0);
    TcpSegment *seg = TcpSegment_New(bytes + (a - origin), nbytes, withFin ? 1 : 0);
    if (seg) {
      seg->seq = base + a;
      seg->push = push && b == e;
      conn->recv.reorderCount++;
    }
    return seg;
  };
  for (ListLink *l = from; l != q; l = l->next) {
    TcpSegment *qs = List_Owner<TcpSegment>(l);
    uint32_t qa = qs->seq - base, qb = qa + qs->len;
    if (s < qa) {
      uint32_t b = e < qa ? e : qa;
      TcpSegment *piece = makePiece(s, b);
      if (!piece) return !full;
      List_InsertBefore(l, &piece->link);
      if (b == e) return true;
      s = qa;
    }
    if (e <= qb) return true;     // the rest is queued already
    if (s < qb) s = qb;      // skip the overlap
  }
  if (s < e) {
    TcpSegment *piece = makePiece(s, e);
    if (piece) List_InsertBefore(q, &piece->link);
  }
  return !full;
}

// Frees the out-of-order queue: once the guest's FIN is in, nothing beyond
// it will be written, so none of it may be acknowledged.
void DropOutOfOrder(TcpConn *conn) {
  ListLink *q = &conn->recv.outOfOrder;
  while (!List_Empty(q)) {
    TcpSegment *seg = List_Owner<TcpSegment>(q->next);
    List_Unlink(&seg->link);
    TcpSegment_Free(seg);
  }
  conn->recv.reorderCount = 0;
}

// Delivers out-of-order segments that have become in order. A queued
// segment that the in-order stream has partly overtaken is trimmed; one it
// has wholly overtaken is dropped.
void DeliverQueued(TcpConn *conn) {
  ListLink *q = &conn->recv.outOfOrder;
  while (!List_Empty(q)) {
    TcpSegment *seg = List_Owner<TcpSegment>(q->next);
    uint32_t ahead = seg->seq - conn->recv.rcvNext;
    if (ahead != 0 && ahead < 0x80000000u) return;  // still a gap before it
    List_Unlink(&seg->link);
    conn->recv.reorderCount--;
    if (ahead != 0) {
      uint32_t behind = conn->recv.rcvNext - seg->seq;
      if (behind >= seg->len) {
        TcpSegment_Free(seg);
        continue;
      }
      uint32_t bytes = seg->len - (seg->fin ? 1 : 0);
      uint32_t cut = behind < bytes ? behind : bytes;
      memmove(seg->data, seg->data + cut, bytes - cut);
      seg->len -= behind;
    }
    seg->seq = 0;
    bool fin = seg->fin;
    TcpConn_Deliver(conn, seg);
    if (fin) DropOutOfOrder(conn);
  }
}

// Data and FIN of an acceptable segment in a synchronized state. Once the
// guest's FIN has been delivered its stream is over: later bytes are not
// taken (the ACK that follows tells the guest where its stream ended).
// False when the segment was dropped for want of room in the out-of-order
// queue: it is not acknowledged.
bool InputData(TcpConn *conn, const SegView &s) {
  TcpRecvState &rcv = conn->recv;
  if (conn->state == kTcpCloseWait || conn->state == kTcpClosing || conn->state == kTcpTimeWait)
    return true;
  uint32_t fin = (s.flags & tcp::kFin) ? 1 : 0;
  uint32_t total = s.n + fin;
  uint32_t front = 0, back = 0;
  if (Tcp_SeqTrim(rcv.rcvNext, rcv.rcvAdvertised, s.seq, s.seq + total, &front, &back) != 0)
    return true;
  if (back > 0) fin = 0;                    // the FIN was cut off the end
  uint32_t keep = total - front - back;     // positions kept, FIN included
  uint32_t start = s.seq + front;
  const uint8_t *bytes = s.payload + front;
  if (start == rcv.rcvNext) {
    TcpSegment *seg = TcpSegment_New(bytes, keep - fin, fin);
    if (!seg) return true;
    seg->push = (s.flags & tcp::kPsh) && back == 0;
    TcpConn_Deliver(conn, seg);
    if (fin)
      DropOutOfOrder(conn);
    else
      DeliverQueued(conn);
    if (!(Poll_GetEvents(&conn->poll) & POLLOUT)) TcpConn_FlushLater(conn);
    return true;
  }
  return QueueOutOfOrder(conn, start, keep, bytes, fin, (s.flags & tcp::kPsh) && back == 0);
}

// The synchronized states (everything but SYN_SENT and LISTEN).
void InputSynchronized(TcpConn *conn, const SegView &s) {
  TcpRecvState &rcv = conn->recv;
  uint32_t wnd = rcv.rcvAdvertised - rcv.rcvNext;
  uint32_t rel = s.seq - rcv.rcvNext;
  bool acceptable;
  if (s.n == 0) {
    acceptable = wnd == 0 ? s.seq == rcv.rcvNext : rel < wnd;
  } else if (wnd == 0) {
    acceptable = false;
  } else {
    uint32_t relEnd = s.seq + s.n - rcv.rcvNext;
    acceptable = rel < wnd || (relEnd != 0 && relEnd <= wnd);
  }
  if (!acceptable) {
    if (s.flags & tcp::kRst) return;
    if ((s.flags & tcp::kAckF) && s.n == 1 && s.seq + 1 == rcv.rcvNext)
      TcpConn_Keepalive(conn, true);
    TcpConn_SendAck(conn);
    return;
  }
  TcpConn_Keepalive(conn, false);
  conn->lastTraffic = Clock_Now.sec;
  if (s.flags & tcp::kRst) {
    TcpConn_Kill(conn);
    return;
  }
  if ((conn->state == kTcpEstablished || conn->state == kTcpSynReceived) &&
      s.precedence != conn->precedence) {
    SendResetFor(conn, s);
    return;
  }
  if (s.flags & tcp::kSyn) return;
  if (!(s.flags & tcp::kAckF)) return;
  if (conn->state == kTcpSynReceived || conn->state == kTcpConnecting) {
    if (!Tcp_SeqInWindow(s.ack, conn->send.sndUna - 1, conn->send.sndNext)) {
      SendResetFor(conn, s);
      return;
    }
    conn->state = kTcpEstablished;
  }
  if (Tcp_SeqInWindow(s.ack, conn->send.sndUna, conn->send.sndNext))
    TcpConn_ProcessAck(conn, s.ack, s.win);
  if (s.n == 0 && !(s.flags & tcp::kFin)) return;
  if (!InputData(conn, s)) return;
  if (!Timer_IsArmed(&conn->ackTimer)) {
    conn->ackTimer.expiry = Clock_Now;
    Timer_Add(&conn->ackTimer);
  }
}

// SYN on a new (or not yet started) record: the guest's side is
// synchronized and the host connect starts.
void ProcessSyn(TcpConn *conn, const SegView &s) {
  if (s.precedence > conn->precedence) conn->precedence = s.precedence;
  TcpRecvState &rcv = conn->recv;
  rcv.synReceived = 1;
  conn->irs = s.seq;
  conn->guestMss = SynMss(s);
  rcv.rcvNext = s.seq + 1;
  rcv.rcvAdvertised = s.seq + 1 + kTcpRecvWindow;
  conn->iss = (uint32_t(rand()) << 16) ^ uint32_t(rand());
  TcpSend_Start(&conn->send, conn->iss, s.win);
  conn->state = kTcpConnecting;
  List_Unlink(&conn->evictLink);
  List_InsertBefore(&g_connecting, &conn->evictLink);
  conn->lastTraffic = Clock_Now.sec;
  conn->guestIpId = Wire_Get16(s.iph + ip::kId);
  conn->guestSynSeq = Wire_Get32n(s.th + tcp::kSeq);
  Poll_SetEvents(&conn->poll, POLLOUT);

  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = conn->remoteAddr == g_settings.gatewayAddr ? LoopbackN() : conn->remoteAddr;
  sa.sin_port = conn->remotePort;
  int rc = connect(conn->poll.fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
  int err = errno;
  sockaddr_in local{};
  Sock_GetName(conn->poll.fd, &local);
  conn->localAddr = local.sin_addr.s_addr;
  conn->localPort = local.sin_port;
  // Without the index (no memory for its first buckets) only ICMP errors
  // about this connection go unmatched.
  (void)Hash_InsertFront(&g_byHostPorts, &conn->byHostPorts, conn,
                         HostPortsHash(conn->localPort, conn->remotePort));
  if (rc == 0)
    TcpConn_HostConnected(conn);
  else if (err != EINPROGRESS)
    TcpConn_Kill(conn);
}

}  // namespace

// send() rather than write(): a host peer gone away gives EPIPE, never a
// signal, whatever the process's SIGPIPE disposition.
ssize_t TcpConn_SocketWrite(TcpConn *conn, const uint8_t *bytes, size_t len) {
  return ::send(conn->poll.fd, bytes, len, MSG_NOSIGNAL);
}

int TcpConn_SocketRead(TcpConn *conn, uint8_t *buf, size_t cap, size_t *count) {
  ssize_t n = ::read(conn->poll.fd, buf, cap);
  if (n > 0) {
    *count = size_t(n);
    return kTcpReadData;
  }
  if (n == 0) return kTcpReadEof;
  return errno == ECONNRESET ? kTcpReadReset : kTcpReadNothing;
}

uint32_t g_tcpSegmentsSent = 0;
uint32_t g_tcpRetransmissions = 0;

bool Tcp_SeqInWindow(uint32_t x, uint32_t lo, uint32_t hi) {
  if (lo == hi) return x == hi;
  uint32_t off = x - lo;
  return off != 0 && off <= hi - lo;
}

int Tcp_SeqTrim(uint32_t lo, uint32_t hi, uint32_t start, uint32_t end, uint32_t *front,
                uint32_t *back) {
  uint32_t len = end - start;
  // Everything is measured from lo; a range that starts before lo has a
  // "negative" (top half) offset.
  int32_t s = int32_t(start - lo);
  int32_t e = int32_t(end - lo);
  int32_t w = int32_t(hi - lo);
  if (e <= 0) {
    *front = len;
    *back = 0;
    return 1;
  }
  if (s >= w) {
    *front = 0;
    *back = len;
    return -1;
  }
  *front = s < 0 ? uint32_t(-int64_t(s)) : 0;
  *back = e > w ? uint32_t(e - w) : 0;
  return 0;
}

TcpConn *TcpConn_Lookup(uint32_t guestAddr, uint16_t guestPort, uint32_t remoteAddr,
                        uint16_t remotePort) {
  // A connection killed earlier in this pass is gone for the guest, as it
  // is once released: a batch of frames from the device (its reset, then
  // the new SYN of a re-used port) must not meet it again.
  const uint32_t hash = KeyHash(guestAddr, guestPort, remoteAddr, remotePort);
  return Hash_Find<TcpConn>(&g_byKey, hash, [&](const TcpConn *c) {
    return c->guestAddr == guestAddr && c->guestPort == guestPort && c->remoteAddr == remoteAddr &&
           c->remotePort == remotePort && !c->poll.removing;
  });
}

TcpConn *TcpConn_FindByHost(uint32_t localAddr, uint16_t localPort, uint32_t remoteAddr,
                            uint16_t remotePort) {
  return Hash_Find<TcpConn>(&g_byHostPorts, HostPortsHash(localPort, remotePort), [&](const TcpConn *c) {
    if (c->localAddr != localAddr && c->localAddr != g_settings.extAddr) return false;
    if (c->localPort != localPort || c->remotePort != remotePort) return false;
    return c->remoteAddr == remoteAddr ||
           (remoteAddr == LoopbackN() && c->remoteAddr == g_settings.gatewayAddr);
  });
}

TcpConn *TcpConn_Alloc(uint32_t guestAddr, uint16_t guestPort, uint32_t remoteAddr,
                       uint16_t remotePort) {
  TcpConn *conn = static_cast<TcpConn *>(calloc(1, sizeof(TcpConn)));
  if (!conn) return nullptr;
  const uint32_t hash = KeyHash(guestAddr, guestPort, remoteAddr, remotePort);
  if (!Hash_InsertFront(&g_byKey, &conn->byKey, conn, hash)) {
    free(conn);
    return nullptr;
  }
  Poll_Init(&conn->poll, TcpConn_HostEvent, TcpConn_Release);
  Timer_Init(&conn->ackTimer, TcpConn_AckTimer, conn);
  Timer_Init(&conn->rexmitTimer, TcpConn_RexmitTimer, conn);
  Timer_Init(&conn->timeWaitTimer, TcpConn_EndTimer, conn);
  Timer_Init(&conn->idleTimer, TcpConn_EndTimer, conn);
  Timer_Init(&conn->limitTimer, TcpConn_LimitTimer, conn);
  conn->limitState = -1;
  conn->read = TcpConn_SocketRead;
  conn->write = TcpConn_SocketWrite;
  conn->shutdown = DefaultShutdown;
  conn->release = DefaultRelease;
  conn->segmentHook = DefaultSegmentHook;
  conn->gateway = nullptr;
  conn->guestAddr = guestAddr;
  conn->guestPort = guestPort;
  conn->remoteAddr = remoteAddr;
  conn->remotePort = remotePort;
  conn->state = kTcpListen;
  conn->mss = kTcpMss;
  conn->lastActivity = conn->lastTraffic = Clock_Now.sec;
  TcpSend_Init(&conn->send, kTcpRingMax);
  conn->recv.rcvAdvertised = kTcpRecvWindow;
  List_Init(&conn->recv.outOfOrder);
  List_Init(&conn->recv.toHost);
  List_Init(&conn->link, conn);
  List_Init(&conn->flushLink, conn);
  List_Init(&conn->evictLink, conn);
  List_InsertBefore(&g_conns, &conn->link);
  ++g_connCount;
  return conn;
}

void TcpConn_Kill(TcpConn *conn) {
  Timer_Cancel(&conn->ackTimer);
  Timer_Cancel(&conn->rexmitTimer);
  Timer_Cancel(&conn->limitTimer);
  List_Unlink(&conn->evictLink);
  if (conn->poll.removing) return;
  Poll_Remove(&conn->poll);
  conn->dying = 1;
  ++g_dyingCount;
}

void TcpConn_MarkClosing(TcpConn *conn) {
  if (List_Empty(&conn->evictLink) && !conn->poll.removing)
    List_InsertBefore(&g_closing, &conn->evictLink);
}

void TcpConn_Release(PollEntry *entry) {
  TcpConn *conn = reinterpret_cast<TcpConn *>(entry);
  List_Unlink(&conn->link);
  Hash_Remove(&g_byKey, &conn->byKey);
  Hash_Remove(&g_byHostPorts, &conn->byHostPorts);
  List_Unlink(&conn->flushLink);
  List_Unlink(&conn->evictLink);
  --g_connCount;
  if (conn->dying) --g_dyingCount;
  conn->release(conn);
  for (ListLink *q : {&conn->recv.outOfOrder, &conn->recv.toHost}) {
    while (!List_Empty(q)) {
      TcpSegment *seg = List_Owner<TcpSegment>(q->next);
      List_Unlink(&seg->link);
      TcpSegment_Free(seg);
    }
  }
  free(conn->send.ring);
  Timer_Cancel(&conn->ackTimer);
  Timer_Cancel(&conn->rexmitTimer);
  Timer_Cancel(&conn->timeWaitTimer);
  Timer_Cancel(&conn->idleTimer);
  Timer_Cancel(&conn->limitTimer);
  free(conn);
}

void TcpConn_HostConnected(TcpConn *conn) {
  List_Unlink(&conn->evictLink);
  conn->state = kTcpSynReceived;
  Poll_SetEvents(&conn->poll, kTcpPollIn);
  TcpConn_ArmLimitTimer(conn);
  if (TcpConn_QueueSyn(conn) < 0) return;
  TcpConn_Output(conn);
}

void Tcp_RaiseSocketBuffers(int fd) {
  for (int opt : {SO_RCVBUF, SO_SNDBUF}) {
    int val = 0;
    socklen_t len = sizeof val;
    if (getsockopt(fd, SOL_SOCKET, opt, &val, &len) == 0 && val < kTcpSockBuf) {
      val = kTcpSockBuf;
      setsockopt(fd, SOL_SOCKET, opt, &val, sizeof val);
    }
  }
}

TcpSegment *TcpSegment_New(const uint8_t *bytes, uint32_t n, uint32_t fin) {
  TcpSegment *seg = static_cast<TcpSegment *>(malloc(sizeof(TcpSegment)));
  if (!seg) return nullptr;
  seg->data = static_cast<uint8_t *>(malloc(n ? n : 1));
  if (!seg->data) {
    free(seg);
    return nullptr;
  }
  if (n) memcpy(seg->data, bytes, n);
  List_Init(&seg->link, seg);
  seg->seq = 0;
  seg->len = n + (fin ? 1 : 0);
  seg->fin = fin ? 1 : 0;
  seg->push = 0;
  seg->cap = 0;
  ++g_segmentsLive;
  return seg;
}

void TcpSegment_Free(TcpSegment *seg) {
  free(seg->data);
  free(seg);
  --g_segmentsLive;
}

void Tcp_Input(SkBuff *skb) {
  if (skb->pktType != kPktHost) return;
  SegView s{};
  s.iph = skb->networkHdr;
  s.th = skb->data;
  if (!s.iph || !s.th) return;
  s.src = Wire_Get32n(s.iph + ip::kSrc);
  s.dst = Wire_Get32n(s.iph + ip::kDst);
  uint8_t srcFirst = s.iph[ip::kSrc], dstFirst = s.iph[ip::kDst];
  if (srcFirst >= 224 || srcFirst == 0 || dstFirst >= 224 || dstFirst == 0) return;
  // Nothing connects to, or answers from, the subnet's broadcast or
  // network address.
  if (skb->destClass == kDestBroadcast) return;
  uint32_t len = skb->len;
  uint32_t sum = Csum_Pseudo(s.src, s.dst, kProtoTcp, len) + Tcp_Sum(s.th, len);
  if (Csum_Fold(sum) != 0) return;
  if (len < kTcpHdrLen) return;
  uint32_t off = uint32_t(s.th[tcp::kOff] >> 4) * 4;
  if (off < kTcpHdrLen || off > len) return;
  s.sport = Wire_Get16n(s.th + tcp::kSport);
  s.dport = Wire_Get16n(s.th + tcp::kDport);
  s.seq = Wire_Get32(s.th + tcp::kSeq);
  s.ack = Wire_Get32(s.th + tcp::kAck);
  s.win = Wire_Get16(s.th + tcp::kWin);
  s.flags = s.th[tcp::kFlags];
  s.precedence = s.iph[ip::kTos] & 0xE0;
  s.payload = s.th + off;
  s.n = len - off;

  TcpConn *conn = TcpConn_Lookup(s.src, s.sport, s.dst, s.dport);
  // natd's own, with [tcp] timeWaitReuse: a guest that re-uses the port of
  // a connection in TIME_WAIT with a SYN beyond everything that connection
  // received ends it and is answered as a new connection, instead of an ACK
  // that its kernel must reset before it repeats the SYN.
  if (conn && conn->state == kTcpTimeWait && g_settings.tcpTimeWaitReuse &&
      (s.flags & (tcp::kSyn | tcp::kAckF | tcp::kRst)) == tcp::kSyn && int32_t(s.seq - conn->recv.rcvNext) > 0) {
    TcpConn_Kill(conn);
    conn = nullptr;
  }
  if (conn && conn->state == kTcpSynSent) {
    InputSynSent(conn, s);
    if (!conn->poll.removing) TcpConn_ArmLimitTimer(conn);
    return;
  }
  if (conn && conn->state != kTcpListen) {
    InputSynchronized(conn, s);
    if (!conn->poll.removing) TcpConn_ArmLimitTimer(conn);
    return;
  }
  // No connection (or one not yet started).
  if (s.flags & tcp::kRst) return;
  if (s.flags & tcp::kAckF) {
    SendResetFor(nullptr, s);
    return;
  }
  if (!(s.flags & tcp::kSyn)) return;
  if (!conn && Limits_Reached(kLimitTcpConnections, g_connCount - g_dyingCount)) {
    Limits_Hit(kLimitTcpConnections);
    if (!List_Empty(&g_closing)) {
      TcpConn_Kill(List_Owner<TcpConn>(g_closing.next));
    } else if (!List_Empty(&g_connecting)) {
      TcpConn_SendReset(List_Owner<TcpConn>(g_connecting.next));
    } else {
      SendResetFor(nullptr, s);
      return;
    }
  }
  if (!conn) conn = CreateOutgoing(s);
  if (!conn) return;
  ProcessSyn(conn, s);
  if (!conn->poll.removing) TcpConn_ArmLimitTimer(conn);
}

void Tcp_DumpTable(TextBuf *out) {
  char line[1024];
  TextBuf_Append(out, "250-TCP NAT table\r\n");
  unsigned n = 0;
  for (ListLink *l = g_conns.prev; l != &g_conns; l = l->prev) {
    const TcpConn *c = List_Owner<TcpConn>(l);
    const uint8_t *g = reinterpret_cast<const uint8_t *>(&c->guestAddr);
    const uint8_t *r = reinterpret_cast<const uint8_t *>(&c->remoteAddr);
    int len = Str_Format(line, sizeof line,
                         "251-fd %u, from %u.%u.%u.%u/%u to %u.%u.%u.%u/%u state %d\r\n",
                         unsigned(c->poll.fd), g[0], g[1], g[2], g[3], unsigned(ntohs(c->guestPort)),
                         r[0], r[1], r[2], r[3], unsigned(ntohs(c->remotePort)), int(c->state));
    TextBuf_Insert(out, kTextBufAppend, line, size_t(len));
    ++n;
  }
  int len = Str_Format(line, sizeof line, "252-TCP segments sent to qlink: %d\r\n",
                       int(g_tcpSegmentsSent));
  TextBuf_Insert(out, kTextBufAppend, line, size_t(len));
  len = Str_Format(line, sizeof line, "253-TCP retransmissions: %d\r\n", int(g_tcpRetransmissions));
  TextBuf_Insert(out, kTextBufAppend, line, size_t(len));
  len = Str_Format(line, sizeof line, "259-%u entries\r\n", n);
  TextBuf_Insert(out, kTextBufAppend, line, size_t(len));
}

void Tcp_Reset() {
  for (ListLink *l = g_conns.next; l != &g_conns; l = l->next) {
    TcpConn *c = List_Owner<TcpConn>(l);
    TcpConn_Kill(c);
  }
  TcpAccept_RemoveAll();
  Poll_Reap();
  Hash_Free(&g_byKey);
  Hash_Free(&g_byHostPorts);
  g_tcpSegmentsSent = 0;
  g_tcpRetransmissions = 0;
  g_nextPrivPort = 1024;
  g_privExhaustedSec = -1;
}

unsigned Tcp_ConnCount() { return g_connCount; }
long Tcp_SegmentLiveCount() { return g_segmentsLive; }
uint32_t Tcp_SegmentsSent() { return g_tcpSegmentsSent; }
uint32_t Tcp_Retransmissions() { return g_tcpRetransmissions; }
