// FTP gateway, guest-to-host side: the gateway record and its two attach
// operations, the release, the one-shot data listeners, and the scanner
// that rewrites the guest's PORT and EPRT commands (client role) or its
// 227 and 229 replies (server role) in the segments the guest sends, before
// they are queued for the host socket. The host-to-guest side is in
// alg/ftp_read.cpp.
//
// The scanner (ScanSegment) runs over a segment with a read cursor `rd` and
// a write cursor `wr` (wr <= rd): bytes before rd have been examined, bytes
// before wr are final; when the segment is done its length is cut to wr.
// `lineState` carries over between segments:
//
//   1 first word   bytes are taken out of the segment into `lineText` until
//                  a space or a line feed (not taken). A word of the role
//                  (PORT/EPRT, 227/229) moves to 2; any other word is put
//                  back unchanged and the state becomes 0 (after ABOR the
//                  data listener is dropped). A word already longer than
//                  any word of the role is put back at once: the output is
//                  the same, and a guest cannot make the gateway hold an
//                  endless word.
//   2 line         the rest of the line, up to and including its line feed,
//                  is taken into `lineText`; then the line is rewritten (or
//                  left as it came, or dropped) and put back; state 1.
//   0 inside       bytes up to and including the next line feed pass.
//
// Text is put back with TextBuf_Splice, which grows the segment when the
// text is longer than the room between wr and rd, so a rewrite that makes
// the stream longer never writes past the segment's storage. The text held
// in `lineText` is bounded by the TCP window: its bytes are not written to
// the host, so the window offered to the guest does not reopen for them.
// When the guest's FIN arrives, text still held is appended unchanged.
#include "alg/ftp.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <unistd.h>

#include "core/config.h"
#include "core/settings.h"
#include "lib/util.h"
#include "lib/support.h"
#include "nat/tcp.h"
#include "nat/tcp_accept.h"

namespace {

constexpr char kRefusePort[] = "500 Use PASV instead of PORT, incoming connections are disabled\r\n";
constexpr char kRefuseEprt[] = "500 Use EPSV instead of EPRT, incoming connections are disabled\r\n";
constexpr size_t kCommandMax = 59;    // a rewritten PORT or EPRT line
constexpr size_t kReplyTailMax = 199; // what a rewritten 227/229 puts after the (

enum : uint32_t { kLineInside = 0, kLineFirstWord = 1, kLineCollect = 2 };
enum : uint32_t { kKindPort = 'P', kKindEprt = 'E' };

bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }

uint32_t AddDigit(uint32_t n, uint8_t c) { return n * 10 + uint32_t(c - '0'); }

FtpGateway *GatewayOf(TcpConn *conn) { return static_cast<FtpGateway *>(conn->gateway); }

// True when `tb` holds exactly `word` (ASCII letters compared without case).
bool IsWord(const TextBuf &tb, const char *word) {
  size_t n = strlen(word);
  if (tb.len != n) return false;
  for (size_t i = 0; i < n; ++i)
    if (toupper(tb.data[i]) != word[i]) return false;
  return true;
}

// Up to six comma-separated decimal numbers from p until a character of
// `stops` (reached: true). Another character, a seventh number, or the end
// of the text fail. Missing numbers stay 0.
bool ParseSix(const uint8_t *p, const uint8_t *end, const char *stops, uint32_t n[6]) {
  memset(n, 0, 6 * sizeof n[0]);
  int idx = 0;
  for (; p < end; ++p) {
    if (strchr(stops, *p) != nullptr) return true;
    if (*p == ',') {
      if (++idx == 6) return false;
    } else if (IsDigit(*p)) {
      n[idx] = AddDigit(n[idx], *p);
    } else {
      return false;
    }
  }
  return false;
}

uint32_t AddressOf(const uint32_t n[4]) { return (n[0] << 24) | (n[1] << 16) | (n[2] << 8) | n[3]; }

// The argument of EPRT or 229 from p: delimiter (33..126), zeros, the
// network protocol 1 (optional unless `needOne`), delimiter, dotted address
// of at most four parts (empty: 0.0.0.0), delimiter, port, delimiter.
// Host-order results.
bool ParseExtended(const uint8_t *p, const uint8_t *end, bool needOne, uint32_t *addr,
                   uint32_t *port) {
  if (p >= end || *p < 33 || *p > 126) return false;
  uint8_t d = *p++;
  while (p < end && *p == '0') ++p;
  if (p < end && *p == '1')
    ++p;
  else if (needOne)
    return false;
  if (p >= end || *p++ != d) return false;
  uint32_t part[4] = {};
  int idx = 0;
  for (;; ++p) {
    if (p >= end) return false;
    if (*p == d) break;
    if (*p == '.') {
      if (++idx == 4) return false;
    } else if (IsDigit(*p)) {
      part[idx] = AddDigit(part[idx], *p);
    } else {
      return false;
    }
  }
  *addr = AddressOf(part);
  *port = 0;
  for (++p;; ++p) {
    if (p >= end) return false;
    if (*p == d) return true;
    if (!IsDigit(*p)) return false;
    *port = AddDigit(*port, *p);
  }
}

void ReplaceText(TextBuf *tb, const char *text, int len) {
  TextBuf_Consume(tb, tb->len);
  TextBuf_Insert(tb, kTextBufAppend, text, size_t(len));
}

// Client role: a collected PORT or EPRT line ("PORT ...\n") is refused
// (activeftp 0), or names a new data listener; on failure it stays.
void RewriteCommand(FtpGateway *gw) {
  TextBuf &line = gw->lineText;
  if (gw->activeFtp == 0) {
    // Refused whatever its argument: no PORT or EPRT reaches the server.
    TextBuf_Append(&gw->pendingText, gw->lineKind == kKindPort ? kRefusePort : kRefuseEprt);
    TextBuf_Consume(&line, line.len);
    Ftp_SyncReadable(gw);
    return;
  }
  if (line.len < 5) return;  // text lost when the buffer could not grow
  const uint8_t *p = line.data + 4, *end = line.data + line.len;
  while (p < end && *p == ' ') ++p;
  uint32_t addr = 0, port = 0;
  if (gw->lineKind == kKindPort) {
    uint32_t n[6];
    if (!ParseSix(p, end, " \r\n", n)) return;
    addr = AddressOf(n);
    port = (n[4] << 8) | n[5];
  } else if (!ParseExtended(p, end, true, &addr, &port)) {
    return;
  }
  uint32_t local = 0;
  uint16_t listenPort = 0;
  if (!gw->openData(gw, htonl(addr), htons(uint16_t(port)), &local, &listenPort)) return;
  const uint8_t *a = reinterpret_cast<const uint8_t *>(&local);
  unsigned lp = ntohs(listenPort);
  char text[kCommandMax + 1];
  int len = gw->lineKind == kKindPort
                ? Str_Format(text, sizeof text, "PORT %u,%u,%u,%u,%u,%u\r\n", a[0], a[1], a[2],
                             a[3], lp >> 8, lp & 0xFF)
                : Str_Format(text, sizeof text, "EPRT |1|%u.%u.%u.%u|%u|\r\n", a[0], a[1], a[2],
                             a[3], lp);
  ReplaceText(&line, text, len);
}

// Server role: a collected 227 or 229 reply names a new data listener that
// relays to the guest's announced address (0.0.0.0: the guest itself);
// everything after its ( is replaced. On failure it stays.
void RewriteReply(FtpGateway *gw) {
  TextBuf &line = gw->lineText;
  if (line.len < 4) return;  // text lost when the buffer could not grow
  const uint8_t *end = line.data + line.len;
  const uint8_t *open =
      static_cast<const uint8_t *>(memchr(line.data + 3, '(', line.len - 3));
  if (open == nullptr) return;
  const uint8_t *arg = open + 1;
  uint32_t addr = 0, port = 0;
  if (gw->lineKind == kKindPort) {
    uint32_t n[6];
    if (!ParseSix(arg, end, ")", n)) return;
    addr = AddressOf(n);
    port = (n[4] << 8) | n[5];
  } else if (!ParseExtended(arg, end, false, &addr, &port)) {
    return;
  }
  uint32_t guest = addr == 0 ? gw->conn->guestAddr : htonl(addr);
  uint32_t local = 0;
  uint16_t listenPort = 0;
  if (!gw->openData(gw, guest, htons(uint16_t(port)), &local, &listenPort)) return;
  const uint8_t *a = reinterpret_cast<const uint8_t *>(&local);
  unsigned lp = ntohs(listenPort);
  char text[kReplyTailMax + 1];
  int len = gw->lineKind == kKindPort
                ? Str_Format(text, sizeof text, "%u,%u,%u,%u,%u,%u).\r\n", a[0], a[1], a[2],
                             a[3], lp >> 8, lp & 0xFF)
                : Str_Format(text, sizeof text, "|||%u|).\r\n", lp);
  TextBuf_TruncateAt(&line, arg);
  TextBuf_Insert(&line, kTextBufAppend, text, size_t(len));
}

// The line kind a complete first word starts, or 0.
uint32_t KindOf(const TextBuf &word, bool client) {
  if (client) {
    if (IsWord(word, "PORT")) return kKindPort;
    if (IsWord(word, "EPRT")) return kKindEprt;
  } else if (word.len == 3) {
    if (memcmp(word.data, "227", 3) == 0) return kKindPort;
    if (memcmp(word.data, "229", 3) == 0) return kKindEprt;
  }
  return 0;
}

void ScanSegment(TcpConn *conn, TcpSegment *seg, bool client) {
  FtpGateway *gw = GatewayOf(conn);
  const size_t longestWord = client ? 4 : 3;
  uint8_t *rd = seg->data, *wr = seg->data;
  while (rd < seg->data + seg->len) {
    uint8_t *segEnd = seg->data + seg->len;
    if (gw->lineState == kLineInside) {
      uint8_t *lf = static_cast<uint8_t *>(memchr(rd, '\n', size_t(segEnd - rd)));
      size_t n = size_t((lf ? lf + 1 : segEnd) - rd);
      if (wr != rd) memmove(wr, rd, n);
      wr += n;
      rd += n;
      if (lf) gw->lineState = kLineFirstWord;
    } else if (gw->lineState == kLineFirstWord) {
      uint8_t *start = rd;
      while (rd < segEnd && *rd != ' ' && *rd != '\n') ++rd;
      TextBuf_Insert(&gw->lineText, kTextBufAppend, start, size_t(rd - start));
      if (rd == segEnd && gw->lineText.len <= longestWord) break;  // the word goes on
      gw->lineState = kLineInside;
      if (gw->lineText.len == 0) continue;
      uint32_t kind = KindOf(gw->lineText, client);
      if (kind != 0) {
        gw->lineState = kLineCollect;
        gw->lineKind = kind;
        continue;
      }
      if (client && IsWord(gw->lineText, "ABOR")) Ftp_DropListener(gw);
      TextBuf_Splice(seg, &wr, &rd, &gw->lineText);
    } else {
      uint8_t *lf = static_cast<uint8_t *>(memchr(rd, '\n', size_t(segEnd - rd)));
      uint8_t *stop = lf ? lf + 1 : segEnd;
      TextBuf_Insert(&gw->lineText, kTextBufAppend, rd, size_t(stop - rd));
      rd = stop;
      if (!lf) break;
      gw->lineState = kLineFirstWord;
      if (client)
        RewriteCommand(gw);
      else
        RewriteReply(gw);
      TextBuf_Splice(seg, &wr, &rd, &gw->lineText);
    }
  }
  seg->len = uint32_t(wr - seg->data);
  if (seg->fin && gw->lineText.len != 0) {
    // The guest closes in the middle of a line: what is held goes out as
    // it came, ahead of the end of stream.
    uint8_t *at = seg->data + seg->len, *atEnd = at;
    TextBuf_Splice(seg, &at, &atEnd, &gw->lineText);
  }
}

FtpGateway *Attach(TcpConn *conn, TcpReadFn read, TcpSegmentHookFn hook) {
  FtpGateway *gw = static_cast<FtpGateway *>(calloc(1, sizeof(FtpGateway)));
  if (gw == nullptr) return nullptr;
  TextBuf_Init(&gw->heldText);
  TextBuf_Init(&gw->pendingText);
  TextBuf_Init(&gw->lineText);
  gw->dataListener = nullptr;
  gw->readState = kFtpLineStart;
  gw->lineState = kLineFirstWord;
  gw->savedRead = conn->read;
  gw->savedWrite = conn->write;
  gw->savedShutdown = conn->shutdown;
  gw->savedRelease = conn->release;
  gw->savedSegmentHook = conn->segmentHook;
  gw->activeFtp = 1;
  gw->conn = conn;
  gw->openData = Ftp_OpenDataListener;
  conn->gateway = gw;
  conn->read = read;
  conn->release = Ftp_Release;
  conn->segmentHook = hook;
  return gw;
}

}  // namespace

void Ftp_AttachClient(TcpConn *conn) {
  FtpGateway *gw = Attach(conn, Ftp_ReadReplies, Ftp_GuestCommands);
  if (gw != nullptr) gw->activeFtp = uint32_t(Config_GetInt("host", "activeftp", 1));
}

void Ftp_AttachServer(TcpConn *conn) { Attach(conn, Ftp_ReadCommands, Ftp_GuestReplies); }

void Ftp_Release(TcpConn *conn) {
  FtpGateway *gw = GatewayOf(conn);
  Ftp_DropListener(gw);
  gw->savedRelease(conn);
  TextBuf_Free(&gw->heldText);
  TextBuf_Free(&gw->pendingText);
  TextBuf_Free(&gw->lineText);
  conn->gateway = nullptr;
  free(gw);
}

void Ftp_DropListener(FtpGateway *gw) {
  TcpAccept *acc = gw->dataListener;
  if (acc == nullptr) return;
  acc->owner = nullptr;
  Poll_Remove(&acc->poll);
  gw->dataListener = nullptr;
}

void Ftp_ListenerGone(TcpAccept *listener) {
  FtpGateway *gw = static_cast<FtpGateway *>(listener->owner);
  if (gw != nullptr) {
    gw->dataListener = nullptr;
    listener->owner = nullptr;
  }
  if (listener->poll.fd >= 0) close(listener->poll.fd);
  listener->poll.fd = -1;
}

bool Ftp_OpenDataListener(FtpGateway *gw, uint32_t guestAddr, uint16_t guestPort,
                          uint32_t *localAddr, uint16_t *listenPort) {
  TcpConn *conn = gw->conn;
  sockaddr_in local{};
  if (Sock_GetName(conn->poll.fd, &local) != 0) return false;
  // The far end of a control connection from the host's loopback is
  // recorded as the gateway address, but its data connection comes from
  // 127.0.0.1: that is the address to let in.
  uint32_t allowed = conn->remoteAddr == g_settings.gatewayAddr ? htonl(INADDR_LOOPBACK)
                                                                 : conn->remoteAddr;
  // An earlier listener the peer never used goes: one per control
  // connection, so a guest cannot pile up listening sockets.
  Ftp_DropListener(gw);
  TcpAccept *acc = TcpAccept_Create(guestAddr, guestPort, allowed, 0, 1, 0);
  if (acc == nullptr) return false;
  acc->owner = gw;
  acc->close = Ftp_ListenerGone;
  gw->dataListener = acc;
  sockaddr_in bound{};
  if (Sock_GetName(acc->poll.fd, &bound) != 0) return false;
  *localAddr = local.sin_addr.s_addr;
  *listenPort = bound.sin_port;
  return true;
}

void Ftp_GuestCommands(TcpConn *conn, TcpSegment *seg) { ScanSegment(conn, seg, true); }

void Ftp_GuestReplies(TcpConn *conn, TcpSegment *seg) { ScanSegment(conn, seg, false); }
