// TCP NAT, data path: the send ring of every connection, the segments sent
// to guests, acknowledgement processing, delivery of guest data to the host
// socket, the host socket's events, the connection timers, keep-alive
// mirroring and ICMP errors about relayed connections. Owns the two
// counters shown by the TCP dump (segments sent, retransmissions) and the
// pending-flush list (connections with guest bytes queued for the host).
//
// Host to guest. Bytes read from the host socket go into the send ring and
// are sent at once in segments of at most 1460 bytes; the reading side
// enforces the guest's window: it reads at most sndLimit - sndUna - count
// bytes, so that everything in the ring may be in flight. When the window
// is used up the socket's POLLIN is withdrawn until an acknowledgement
// leaves count below the window. Ring positions from `head`:
//
//   [SYN?][ sent, unacknowledged ][ unsent ][FIN?]
//   ^sndUna                      ^sndNext           (head + count)
//
// the SYN and FIN positions carry no byte. When the device cuts TCP packets
// itself (g_settings.devSegments), the segments of one pass go as one packet
// of up to 64 KiB (SkBuff gsoSize: the guest's MSS), the same segments once
// cut. Unacknowledged data is resent from sndUna every 100 ms (go-back-N),
// for ever: the connection is given up silently 30 s after the last read
// from the host (idleTimer, cancelled when the guest has acknowledged
// everything).
//
// Guest to host. In-order guest segments are queued on the to-host queue
// and written to the host socket; the window offered to the guest is
// rcvAdvertised - rcvNext, and rcvAdvertised moves right by what has been
// written, so the guest never has more than 64240 bytes queued here. A
// blocked write asks for POLLOUT; the write that follows sends a window
// update. The device reads guest frames in batches; the segments of one
// batch are queued, and the connection goes on the pending-flush list
// (flushLink), which Tcp_FlushPending empties at the end of the batch: each
// queue goes out in one gathering write (a window's worth at most: the
// guest cannot send more than it was offered). Nothing waits on the clock:
// the bytes of a batch reach the host before the loop runs its timers, so
// the delayed ACK armed by the batch offers the window those writes
// reopened. One host write per guest segment would make the host stack
// send, and wake its receiver, once per 1460 bytes.
//
// Invariant: a connection is on the pending-flush list only while its
// to-host queue holds bytes and no POLLOUT event is awaited (a blocked
// write or a connect in progress: the POLLOUT event flushes then); every
// flush takes it off, and so does its release.
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "core/limits.h"
#include "core/settings.h"
#include "nat/tcp_conn.h"
#include "packet/ip.h"
#include "packet/skbuff.h"
#include "packet/wire.h"

namespace {

constexpr uint32_t kSegHeadroom = 128;
constexpr uint32_t kSegExtra = 212;  // head-room + header + room for options
constexpr uint32_t kMergeMax = 4096;  // to-host segments grow up to this by merging
constexpr uint32_t kTcpMinMss = 536;   // a smaller MSS option is not followed
constexpr size_t kTcpLargestPayload = 65535 - 40;  // one IPv4 packet, no options

uint32_t LoopbackN() { return htonl(INADDR_LOOPBACK); }

void SetPollIn(TcpConn *conn, bool on) {
  short ev = Poll_GetEvents(&conn->poll);
  short want = on ? short(ev | kTcpPollIn) : short(ev & ~kTcpPollIn);
  if (want != ev) Poll_SetEvents(&conn->poll, want);
}

int SocketError(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) return errno;
  return err;
}

// Free space of the ring after its contents, as one or two parts; the ring
// keeps one byte free so that head == tail means empty.
void RingFree(const TcpSendBuf &snd, size_t *a1, size_t *l1, size_t *l2) {
  *a1 = *l1 = *l2 = 0;
  if (snd.capacity == 0 || snd.count + 1 >= snd.capacity) return;
  size_t tail = (snd.head + snd.count) % snd.capacity;
  *a1 = tail;
  if (tail < snd.head) {
    *l1 = snd.head - 1 - tail;
  } else if (snd.head > 0) {
    *l1 = snd.capacity - tail;
    *l2 = snd.head - 1;
  } else {
    *l1 = snd.capacity - 1 - tail;
  }
}

// The reading loop of a POLLIN event: returns the kTcpRead* bits seen and
// sets *full when the window or the largest ring is used up. Unless drain is
// set, a read that returns less than asked ends the loop: the socket is empty
// and the peer's FIN is not there, so one more read would only say EAGAIN.
int ReadHost(TcpConn *conn, bool *full, bool drain) {
  TcpSendBuf &snd = conn->send;
  int32_t w = int32_t(snd.sndLimit - snd.sndUna);
  const size_t window = w > 0 ? size_t(w) : 0;
  int seen = 0;
  *full = snd.count >= window;
  while (snd.count < window) {
    size_t a1, l1, l2;
    RingFree(snd, &a1, &l1, &l2);
    size_t budget = window - snd.count;
    if (l1 > budget) l1 = budget;
    if (l2 > budget - l1) l2 = budget - l1;
    const size_t starts[2] = {a1, 0};
    const size_t lens[2] = {l1, l2};
    bool stop = false;
    for (int part = 0; part < 2 && !stop; ++part) {
      size_t filled = 0;
      while (filled < lens[part]) {
        size_t n = 0;
        int r = conn->read(conn, snd.ring + starts[part] + filled, lens[part] - filled, &n);
        if (r == kTcpReadNothing) {
          stop = true;
          break;
        }
        Timer_AddSeconds(&conn->idleTimer, kTcpIdleSec);
        conn->lastTraffic = Clock_Now.sec;
        seen |= r;
        if (r & kTcpReadData) {
          if (n > lens[part] - filled) n = lens[part] - filled;  // a misbehaving read
          snd.count += n;
          filled += n;
          if (!drain && filled < lens[part] && !(r & (kTcpReadEof | kTcpReadReset))) {
            stop = true;
            break;
          }
        }
        if (r & kTcpReadEof) {
          snd.count += 1;
          snd.finPending = 1;
          stop = true;
          break;
        }
        if (r & kTcpReadReset) {
          snd.rstPending = 1;
          stop = true;
          break;
        }
        if (!(r & kTcpReadData) || n == 0) {
          stop = true;
          break;
        }
      }
    }
    if (stop) break;
    if (snd.count >= window || snd.capacity >= snd.maxSize) {
      *full = true;
      break;
    }
    if (TcpSend_Grow(&snd, snd.capacity ? snd.capacity * 2 : kTcpRingInitial) < 0) break;
  }
  return seen;
}

constexpr int kMaxGather = 64;

ListLink g_flushPending = {&g_flushPending, &g_flushPending, nullptr};

// Writes the queue's bytes: with the socket's own write operation, the
// leading segments (up to a FIN) in one sendmsg; otherwise the first
// segment through the write operation. Result as write().
ssize_t WriteQueued(TcpConn *conn) {
  ListLink *q = &conn->recv.toHost;
  TcpSegment *first = List_Owner<TcpSegment>(q->next);
  if (conn->write != TcpConn_SocketWrite)
    return conn->write(conn, first->data + first->seq, first->len - first->seq);
  iovec iov[kMaxGather];
  int n = 0;
  for (ListLink *l = q->next; l != q && n < kMaxGather; l = l->next) {
    TcpSegment *seg = List_Owner<TcpSegment>(l);
    if (seg->len > seg->seq) {
      iov[n].iov_base = seg->data + seg->seq;
      iov[n].iov_len = seg->len - seg->seq;
      ++n;
    }
    if (seg->fin) break;
  }
  msghdr msg{};
  msg.msg_iov = iov;
  msg.msg_iovlen = size_t(n);
  return sendmsg(conn->poll.fd, &msg, MSG_NOSIGNAL);
}

// Appends the bytes of `seg` to the last segment of the to-host queue when
// that holds no FIN and both fit in kMergeMax bytes, then frees `seg`; so a
// guest sending tiny segments to a host that does not read holds a few
// records, not one per segment. False when `seg` is to be queued itself.
bool MergeIntoLast(TcpConn *conn, TcpSegment *seg) {
  ListLink *q = &conn->recv.toHost;
  if (List_Empty(q)) return false;
  TcpSegment *last = List_Owner<TcpSegment>(q->prev);
  uint32_t need = last->len + seg->len;
  if (last->fin || need > kMergeMax) return false;
  if (last->cap < need) {
    auto *p = static_cast<uint8_t *>(realloc(last->data, kMergeMax));
    if (!p) return false;
    last->data = p;
    last->cap = kMergeMax;
  }
  memcpy(last->data + last->len, seg->data, seg->len);
  last->len = need;
  TcpSegment_Free(seg);
  return true;
}

// natd's own time-out for a state, in seconds (0: none), and its limit.
uint64_t StateLimit(int32_t state, LimitId *id) {
  switch (state) {
    case kTcpConnecting: *id = kLimitTcpConnectTimeout; break;
    case kTcpEstablished: *id = kLimitTcpIdleTimeout; break;
    case kTcpFinWait2:
    case kTcpCloseWait: *id = kLimitTcpHalfCloseTimeout; break;
    default: return 0;
  }
  const uint64_t kLongest = uint64_t(1) << 30;  // some 34 years: clock sums cannot overflow
  return Limits_Get(*id) < kLongest ? Limits_Get(*id) : kLongest;
}

void Retransmit(TcpConn *conn) {
  if (conn->send.sndNext == conn->send.sndUna) return;
  conn->send.sndNext = conn->send.sndUna;
  TcpConn_Output(conn);
  ++g_tcpRetransmissions;
}

}  // namespace

uint32_t Tcp_Sum(const uint8_t *p, size_t len) {
  // Native-order words: the one's-complement sum does not depend on the
  // byte order except for a final swap (RFC 1071).
  uint64_t acc = 0;
  while (len >= 32) {
    uint64_t w[4];
    memcpy(w, p, 32);
    for (uint64_t x : w) acc += (x & 0xFFFFFFFFu) + (x >> 32);
    p += 32;
    len -= 32;
  }
  while (len >= 8) {
    uint64_t x;
    memcpy(&x, p, 8);
    acc += (x & 0xFFFFFFFFu) + (x >> 32);
    p += 8;
    len -= 8;
  }
  if (len >= 4) {
    uint32_t x;
    memcpy(&x, p, 4);
    acc += x;
    p += 4;
    len -= 4;
  }
  if (len >= 2) {
    uint16_t x;
    memcpy(&x, p, 2);
    acc += x;
    p += 2;
    len -= 2;
  }
  if (len) {
    uint8_t pair[2] = {p[0], 0};
    uint16_t x;
    memcpy(&x, pair, 2);
    acc += x;
  }
  while (acc >> 16) acc = (acc & 0xFFFF) + (acc >> 16);
  uint16_t v = uint16_t(acc);
  if constexpr (std::endian::native == std::endian::little) v = uint16_t((v >> 8) | (v << 8));
  return v;
}

void TcpSend_Init(TcpSendBuf *snd, size_t maxSize) {
  snd->sndUna = snd->sndNext = 0;
  snd->sndLimit = 1;
  snd->capacity = 0;
  snd->maxSize = maxSize;
  snd->head = snd->count = 0;
  snd->ring = nullptr;
  snd->synPending = 1;
  snd->finPending = 0;
  snd->rstPending = 0;
}

void TcpSend_Start(TcpSendBuf *snd, uint32_t iss, uint32_t win) {
  snd->sndUna = snd->sndNext = iss;
  snd->sndLimit = iss + win;
  snd->head = snd->count = 0;
}

int TcpSend_Grow(TcpSendBuf *snd, size_t size) {
  size_t newSize = size < snd->maxSize ? size : snd->maxSize;
  if (newSize < snd->capacity) {
    errno = EINVAL;
    return -1;
  }
  if (newSize == snd->capacity) return 0;
  size_t used = snd->count < snd->capacity ? snd->count : snd->capacity;
  if (snd->head + used <= snd->capacity) {
    uint8_t *p = static_cast<uint8_t *>(realloc(snd->ring, newSize));
    if (!p) {
      errno = ENOMEM;
      return -1;
    }
    snd->ring = p;
  } else {
    uint8_t *p = static_cast<uint8_t *>(malloc(newSize));
    if (!p) {
      errno = ENOMEM;
      return -1;
    }
    size_t first = snd->capacity - snd->head;
    memcpy(p, snd->ring + snd->head, first);
    memcpy(p + first, snd->ring, used - first);
    free(snd->ring);
    snd->ring = p;
    snd->head = 0;
  }
  snd->capacity = newSize;
  return 0;
}

int TcpConn_QueueSyn(TcpConn *conn) {
  TcpSendBuf &snd = conn->send;
  if (snd.count != 0) {
    errno = EINVAL;
    return -1;
  }
  if (snd.capacity == 0 && TcpSend_Grow(&snd, kTcpRingInitial) < 0) return -1;
  snd.count += 1;
  snd.synPending = 1;
  Timer_AddSeconds(&conn->idleTimer, kTcpIdleSec);
  return 0;
}

SkBuff *Tcp_SegmentAlloc(uint32_t n) {
  SkBuff *skb = SkBuff_Alloc(n + kSegExtra);
  if (!skb) return nullptr;
  SkBuff_Reserve(skb, kSegHeadroom);
  uint8_t *th = SkBuff_Put(skb, kTcpHdrLen);
  memset(th, 0, kTcpHdrLen);
  skb->transportHdr = th;
  return skb;
}

void Tcp_SegmentSend(TcpConn *conn, SkBuff *skb, uint32_t hdrLen) {
  uint8_t *th = skb->data;
  Wire_Put16n(th + tcp::kSport, conn->remotePort);
  Wire_Put16n(th + tcp::kDport, conn->guestPort);
  th[tcp::kOff] = uint8_t((hdrLen / 4) << 4);
  uint32_t wnd = conn->recv.rcvAdvertised - conn->recv.rcvNext;
  Wire_Put16(th + tcp::kWin, uint16_t(wnd > 0xFFFF ? 0xFFFF : wnd));
  Wire_Put16(th + tcp::kUrg, 0);
  Wire_Put16(th + tcp::kCsum, 0);
  uint32_t sum = Csum_Pseudo(conn->remoteAddr, conn->guestAddr, kProtoTcp, skb->len);
  // A packet the device cuts carries the pseudo-header's sum; the device
  // completes each segment's checksum. It counts as the segments it becomes.
  if (skb->gsoSize)
    Wire_Put16(th + tcp::kCsum, uint16_t(~Csum_Fold(sum)));
  else
    Wire_Put16(th + tcp::kCsum, Csum_Fold(sum + Tcp_Sum(th, skb->len)));
  uint32_t segs = skb->gsoSize ? (skb->len - hdrLen + skb->gsoSize - 1) / skb->gsoSize : 1;
  Ip_Output(conn->guestAddr, conn->remoteAddr, kProtoTcp, skb);
  g_tcpSegmentsSent += segs;
}

void TcpConn_Output(TcpConn *conn) {
  TcpSendBuf &snd = conn->send;
  if (snd.rstPending) {
    TcpConn_SendReset(conn);
    return;
  }
  // A device that cuts TCP packets itself gets what would go out as several
  // segments back to back in one packet, a whole number of segments of the
  // guest's MSS (within natd's); the guest receives the same segments.
  uint32_t seg = conn->guestMss >= kTcpMinMss && conn->guestMss < conn->mss ? conn->guestMss : conn->mss;
  size_t chunk = g_settings.devSegments ? kTcpLargestPayload / seg * seg : conn->mss;
  size_t off = snd.sndNext - snd.sndUna;
  while (off < snd.count) {
    size_t len = snd.count - off;
    if (len > chunk) len = chunk;
    if (len > conn->mss && off == 0 && snd.synPending) len = conn->mss;
    SkBuff *skb = Tcp_SegmentAlloc(uint32_t(len));
    if (!skb) break;
    uint8_t *th = skb->data;
    Wire_Put32(th + tcp::kSeq, snd.sndNext);
    snd.sndNext += uint32_t(len);
    uint8_t flags = 0;
    if (!g_settings.tcpDisablePush && len == snd.count - off) flags |= tcp::kPsh;
    if (off + len == snd.count && snd.finPending) {
      flags |= tcp::kFin;
      if (conn->state == kTcpEstablished) conn->state = kTcpFinWait1;
      len -= 1;
    }
    uint32_t hdrLen = kTcpHdrLen;
    if (off == 0 && snd.synPending) {
      flags = uint8_t((flags & ~tcp::kPsh) | tcp::kSyn);
      static const uint8_t kMssOption[4] = {0x02, 0x04, 0x05, 0xB4};
      memcpy(SkBuff_Put(skb, 4), kMssOption, 4);
      hdrLen += 4;
      len -= 1;
      off = 1;
    }
    if (len > 0 && snd.capacity > 0) {
      uint8_t *dst = SkBuff_Put(skb, uint32_t(len));
      size_t pos = (snd.head + off) % snd.capacity;
      size_t first = snd.capacity - pos < len ? snd.capacity - pos : len;
      memcpy(dst, snd.ring + pos, first);
      memcpy(dst + first, snd.ring, len - first);
    }
    if (conn->recv.synReceived) {
      flags |= tcp::kAckF;
      Wire_Put32(th + tcp::kAck, conn->recv.rcvNext);
    }
    th[tcp::kFlags] = flags;
    if (len > seg && g_settings.devSegments && !(flags & tcp::kSyn)) skb->gsoSize = seg;
    Tcp_SegmentSend(conn, skb, hdrLen);
    Timer_Cancel(&conn->ackTimer);
    SkBuff_Free(skb);
    off = snd.sndNext - snd.sndUna;
  }
  Timer_Cancel(&conn->rexmitTimer);
  if (snd.sndUna != snd.sndNext) Timer_AddMillis(&conn->rexmitTimer, kTcpRexmitMs);
}

void TcpConn_SendAck(TcpConn *conn) {
  SkBuff *skb = Tcp_SegmentAlloc(0);
  if (!skb) {
    Timer_AddMillis(&conn->ackTimer, kTcpAckRetryMs);
    return;
  }
  uint8_t *th = skb->data;
  Wire_Put32(th + tcp::kSeq, conn->send.sndNext);
  Wire_Put32(th + tcp::kAck, conn->recv.rcvNext);
  th[tcp::kFlags] = tcp::kAckF;
  Tcp_SegmentSend(conn, skb, kTcpHdrLen);
  SkBuff_Free(skb);
  Timer_Cancel(&conn->ackTimer);
}

void TcpConn_SendReset(TcpConn *conn) {
  SkBuff *skb = Tcp_SegmentAlloc(0);
  if (skb) {
    uint8_t *th = skb->data;
    Wire_Put32(th + tcp::kSeq, conn->send.sndNext);
    uint8_t flags = tcp::kRst;
    if (conn->recv.synReceived) {
      flags |= tcp::kAckF;
      Wire_Put32(th + tcp::kAck, conn->recv.rcvNext);
    }
    th[tcp::kFlags] = flags;
    Tcp_SegmentSend(conn, skb, kTcpHdrLen);
    SkBuff_Free(skb);
  }
  TcpConn_Kill(conn);
}

void TcpConn_EnterTimeWait(TcpConn *conn) {
  conn->state = kTcpTimeWait;
  TcpConn_MarkClosing(conn);
  int period = g_settings.tcpTimeWaitTimeout;
  Timer_AddSeconds(&conn->timeWaitTimer, period > 0 ? period : 0);
}

void TcpConn_ProcessAck(TcpConn *conn, uint32_t ack, uint32_t window) {
  TcpSendBuf &snd = conn->send;
  uint32_t acked = ack - snd.sndUna;
  if (acked > snd.count) acked = uint32_t(snd.count);  // cannot happen for an acceptable ack
  snd.count -= acked;
  if (acked > 0) snd.synPending = 0;
  if (snd.count > 0) {
    if (snd.capacity) snd.head = (snd.head + acked) % snd.capacity;
  } else {
    Timer_Cancel(&conn->idleTimer);
    if (snd.finPending) {
      snd.finPending = 0;
      if (conn->state == kTcpCloseWait)
        TcpConn_Kill(conn);
      else if (conn->state == kTcpClosing)
        TcpConn_EnterTimeWait(conn);
      else
        conn->state = kTcpFinWait2;
    }
  }
  snd.sndUna = ack;
  uint32_t edge = ack + window;
  if (int32_t(edge - snd.sndLimit) >= 0 || window >= snd.count) snd.sndLimit = edge;
  if (snd.count < window && !conn->hostEof && !conn->hostReset && !conn->poll.removing)
    SetPollIn(conn, true);
  Timer_Cancel(&conn->rexmitTimer);
  if (snd.sndUna != snd.sndNext) Timer_AddMillis(&conn->rexmitTimer, kTcpRexmitMs);
}

void TcpConn_Deliver(TcpConn *conn, TcpSegment *seg) {
  conn->recv.rcvNext += seg->len;
  if (seg->fin) {
    switch (conn->state) {
      case kTcpFinWait1:
        conn->state = kTcpClosing;
        TcpConn_MarkClosing(conn);
        break;
      case kTcpFinWait2: TcpConn_EnterTimeWait(conn); break;
      case kTcpEstablished: conn->state = kTcpCloseWait; break;
      default: break;
    }
    seg->len -= 1;
  }
  conn->segmentHook(conn, seg);
  if (seg->len == 0 && !seg->fin) {
    TcpSegment_Free(seg);
    return;
  }
  seg->seq = 0;
  conn->toHostBytes += seg->len;
  if (!seg->fin && MergeIntoLast(conn, seg)) return;
  List_InsertBefore(&conn->recv.toHost, &seg->link);
}

void TcpConn_FlushToHost(TcpConn *conn) {
  ListLink *q = &conn->recv.toHost;
  bool blocked = false;
  List_Unlink(&conn->flushLink);
  while (!List_Empty(q)) {
    // One write for as many queued bytes as it takes, then the segments it
    // covered, oldest first, as if each had been written on its own.
    TcpSegment *head = List_Owner<TcpSegment>(q->next);
    size_t done = 0;
    bool stop = false;
    if (head->len > head->seq) {
      ssize_t r = WriteQueued(conn);
      if (r == 0) break;
      if (r < 0) {
        blocked = errno == EINTR || errno == EAGAIN;
        break;
      }
      done = size_t(r);
    }
    do {
      TcpSegment *seg = List_Owner<TcpSegment>(q->next);
      uint32_t left = seg->len - seg->seq;
      uint32_t written = uint32_t(done < left ? done : left);
      done -= written;
      if (seg->fin && written == left) conn->shutdown(conn, SHUT_WR);
      conn->recv.rcvAdvertised += written;
      conn->toHostBytes -= written;
      if (written < left) {
        seg->seq += written;
        blocked = true;
        stop = true;
        break;
      }
      List_Unlink(&seg->link);
      bool fin = seg->fin;
      TcpSegment_Free(seg);
      if (fin) break;
    } while (!List_Empty(q) && (done > 0 || List_Owner<TcpSegment>(q->next)->len == 0));
    if (stop) break;
  }
  if (conn->ackAfterWrite) {
    conn->ackAfterWrite = 0;
    TcpConn_SendAck(conn);
  }
  short ev = Poll_GetEvents(&conn->poll);
  short want = blocked ? short(ev | POLLOUT) : short(ev & ~POLLOUT);
  if (want != ev) Poll_SetEvents(&conn->poll, want);
}

void TcpConn_FlushLater(TcpConn *conn) {
  if (List_Empty(&conn->recv.toHost)) return;
  if (List_Empty(&conn->flushLink)) List_InsertBefore(&g_flushPending, &conn->flushLink);
}

void Tcp_FlushPending() {
  // Each flush unlinks its connection and links none.
  while (!List_Empty(&g_flushPending))
    TcpConn_FlushToHost(List_Owner<TcpConn>(g_flushPending.next));
}

void TcpConn_HostEvent(PollEntry *entry, struct pollfd *slot) {
  TcpConn *conn = reinterpret_cast<TcpConn *>(entry);
  short rev = slot->revents;
  if (rev & POLLERR) {
    if (SocketError(conn->poll.fd) != 0) {
      TcpConn_SendReset(conn);
      return;
    }
  }
  if (rev & POLLOUT) {
    if (conn->state == kTcpConnecting) {
      if (SocketError(conn->poll.fd) != 0) {
        TcpConn_SendReset(conn);
        return;
      }
      TcpConn_HostConnected(conn);
    } else {
      conn->ackAfterWrite = 1;
      TcpConn_FlushToHost(conn);
    }
  }
  if ((rev & POLLHUP) && !(rev & POLLIN)) rev |= POLLIN;
  if (!(rev & POLLIN) || conn->state == kTcpConnecting) return;
  bool full = false;
  // Gateways' read operations may hold bytes back: only the socket's own
  // read may stop at a short read.
  bool drain = conn->read != TcpConn_SocketRead || (rev & (POLLRDHUP | POLLHUP | POLLERR));
  int seen = ReadHost(conn, &full, drain);
  if (seen & kTcpReadEof) conn->hostEof = 1;
  if (seen & kTcpReadReset) conn->hostReset = 1;
  if ((seen & (kTcpReadEof | kTcpReadReset)) || full) SetPollIn(conn, false);
  if (seen & (kTcpReadData | kTcpReadEof | kTcpReadReset)) TcpConn_Output(conn);
}

void TcpConn_Keepalive(TcpConn *conn, bool probe) {
  int fd = conn->poll.fd;
  int idle = int(Clock_Now.sec - conn->lastActivity);
  int one = 1;
  switch (conn->kaState) {
    case 0:
      if (probe) {
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
        setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
        conn->kaState = 1;
      }
      break;
    case 1:
      if (probe) {
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &idle, sizeof idle);
        conn->kaState = 2;
      } else {
        conn->kaState = 3;
      }
      break;
    case 2:
      if (!probe) conn->kaState = 3;
      break;
    default:
      if (probe) {
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
        conn->kaState = 1;
      }
      break;
  }
  conn->lastActivity = Clock_Now.sec;
}

void TcpConn_ArmLimitTimer(TcpConn *conn) {
  if (conn->state == conn->limitState) return;
  conn->limitState = conn->state;
  Timer_Cancel(&conn->limitTimer);
  LimitId id;
  uint64_t secs = StateLimit(conn->state, &id);
  if (secs == 0) return;
  conn->limitTimer.expiry = {conn->lastTraffic + int64_t(secs), Clock_Now.usec};
  Timer_Add(&conn->limitTimer);
}

// The state's time-out has come: without traffic since, the connection is
// reset both ways (the host peer gets an RST too: the socket closes with
// SO_LINGER 0); otherwise the timer moves to the last traffic's time-out.
void TcpConn_LimitTimer(Timer *, void *arg) {
  auto *conn = static_cast<TcpConn *>(arg);
  LimitId id;
  uint64_t secs = StateLimit(conn->state, &id);
  if (conn->state != conn->limitState || secs == 0) {
    conn->limitState = -1;
    TcpConn_ArmLimitTimer(conn);
    return;
  }
  int64_t due = conn->lastTraffic + int64_t(secs);
  if (due > Clock_Now.sec) {
    conn->limitTimer.expiry = {due, Clock_Now.usec};
    Timer_Add(&conn->limitTimer);
    return;
  }
  Limits_Hit(id);
  linger abort{1, 0};
  if (conn->poll.fd >= 0) setsockopt(conn->poll.fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  TcpConn_SendReset(conn);
}

void TcpConn_AckTimer(Timer *, void *arg) { TcpConn_SendAck(static_cast<TcpConn *>(arg)); }

void TcpConn_RexmitTimer(Timer *, void *arg) { Retransmit(static_cast<TcpConn *>(arg)); }

void TcpConn_EndTimer(Timer *, void *arg) { TcpConn_Kill(static_cast<TcpConn *>(arg)); }

void Tcp_IcmpError(SkBuff *skb, uint8_t *quotedIp, uint8_t *sport, uint8_t *dport, uint8_t *seq) {
  uint32_t qsrc = Wire_Get32n(quotedIp + ip::kSrc);
  uint32_t qdst = Wire_Get32n(quotedIp + ip::kDst);
  uint16_t qsport = Wire_Get16n(sport);
  uint16_t qdport = Wire_Get16n(dport);
  TcpConn *conn = TcpConn_FindByHost(qsrc, qsport, qdst, qdport);
  if (!conn) return;
  Wire_Put32n(quotedIp + ip::kSrc, conn->guestAddr);
  if (qdst == LoopbackN()) Wire_Put32n(quotedIp + ip::kDst, g_settings.gatewayAddr);
  Wire_Put16(quotedIp + ip::kId, conn->guestIpId);
  Wire_Put16(quotedIp + ip::kCsum, 0);
  Wire_Put16(quotedIp + ip::kCsum, Csum_Compute(quotedIp, ip::HdrLen(quotedIp)));
  Wire_Put16n(sport, conn->guestPort);
  Wire_Put32n(seq, conn->guestSynSeq);
  uint8_t *icmp = skb->data;
  Wire_Put16(icmp + 2, 0);
  Wire_Put16(icmp + 2, Csum_Compute(icmp, skb->len));
  uint32_t from = Wire_Get32n(skb->networkHdr + ip::kSrc);
  if (from == LoopbackN()) from = g_settings.gatewayAddr;
  Ip_Output(conn->guestAddr, from, kProtoIcmp, skb);
}
