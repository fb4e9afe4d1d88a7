// FTP gateway, host-to-guest side: the read operations that replace a
// control connection's read and rewrite what the host socket delivers
// before the TCP engine sends it to the guest. Client role
// (Ftp_ReadReplies): in a 227 reply the address inside the parentheses
// becomes the one the guest connected to, and a 229 argument keeps only
// the port; the gateway's own 500 replies are delivered here too. Server
// role (Ftp_ReadCommands): PORT and EPRT naming 127.0.0.1 (a client on the
// host's loopback) name the gateway address instead.
//
// The parser works in place in the caller's buffer. Per call:
//
//   buf: [ output | gap | unread input | free ]
//        0       out    in            end     cap        out <= in <= end <= cap
//
// Input is appended at `end` (first `pendingText`, then the socket through
// savedRead); the parser takes characters at `in` and writes at `out`.
// Literal states (the reply code, the command word) and text states copy
// each character they accept; a character they do not accept switches to
// Inside without being consumed. In an argument state characters are
// taken into `heldText` instead, which opens a gap. When the argument ends
// (its end character is not consumed) or fails (the failing character is
// not consumed), `heldText` holds the replacement or the characters as
// received, and is emitted at `out`: into the gap first; then, if longer,
// by shifting the unread input into the free space; then by moving the
// last unread bytes to the front of `pendingText`. If text still remains,
// the buffer is full: the state becomes Emitting and the rest goes first at
// the next call, followed by the displaced input. No step writes beyond
// `cap`, and no input byte is lost or reordered.
//
// The state lives in the gateway record, so a reply or command split over
// any number of reads gives the same bytes as in one. An argument longer
// than kArgMax characters fails (it passes unchanged), so a peer cannot
// make the gateway hold an endless argument. When the stream ends inside an
// argument, the held characters are delivered unchanged before the end.
//
// Invariant: readable is in the poll entry's ready events exactly while
// `pendingText` holds text or the state is Emitting (Ftp_SyncReadable at
// every return), so the engine calls the read operation again even when
// the socket has nothing.
#include <cstring>
#include <netinet/in.h>

#include "alg/ftp.h"
#include "core/settings.h"
#include "lib/util.h"
#include "lib/support.h"

namespace {

constexpr size_t kArgMax = 200;        // longest argument held back
constexpr size_t kReplacementMax = 59; // a formatted replacement argument

struct Cursor {
  uint8_t *buf;
  size_t cap, out, in, end;
};

bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }

bool IsArgument(uint32_t state) {
  return state == kFtpNumbers227 || state == kFtpArg229 || state == kFtpNumbersPort ||
         state == kFtpArgEprt;
}

FtpGateway *GatewayOf(TcpConn *conn) { return static_cast<FtpGateway *>(conn->gateway); }

// The state after literal state `state` sees `c`; kFtpInside when it does
// not match.
uint32_t NextLiteral(uint32_t state, uint8_t c, bool server) {
  uint8_t up = (c >= 'a' && c <= 'z') ? uint8_t(c - 'a' + 'A') : c;
  switch (state) {
    case kFtpLineStart:
      if (!server) return c == '2' ? kFtpGot2 : kFtpInside;
      return up == 'P' ? kFtpGotP : up == 'E' ? kFtpGotE : kFtpInside;
    case kFtpGot2: return c == '2' ? kFtpGot22 : kFtpInside;
    case kFtpGot22: return c == '7' ? kFtpGot227 : c == '9' ? kFtpGot229 : kFtpInside;
    case kFtpGot227: return c == ' ' ? kFtpText227 : kFtpInside;
    case kFtpGot229: return c == ' ' ? kFtpText229 : kFtpInside;
    case kFtpGotP: return up == 'O' ? kFtpGotPO : kFtpInside;
    case kFtpGotPO: return up == 'R' ? kFtpGotPOR : kFtpInside;
    case kFtpGotPOR: return up == 'T' ? kFtpGotPORT : kFtpInside;
    case kFtpGotPORT: return c == ' ' || c == '\t' ? kFtpBlanks : kFtpInside;
    case kFtpGotE: return up == 'P' ? kFtpGotEP : kFtpInside;
    case kFtpGotEP: return up == 'R' ? kFtpGotEPR : kFtpInside;
    case kFtpGotEPR: return up == 'T' ? kFtpGotEPRT : kFtpInside;
    case kFtpGotEPRT: return c == ' ' || c == '\t' ? kFtpEBlanks : kFtpInside;
    default: return kFtpInside;
  }
}

void StartArgument(FtpGateway *gw, uint32_t state) {
  memset(gw->numbers, 0, sizeof gw->numbers);
  gw->numberIndex = 0;
  gw->subState = 0;
  TextBuf_Consume(&gw->heldText, gw->heldText.len);
  gw->readState = state;
}

enum class Step { kTake, kEnd, kFail };

bool IsEndChar(uint32_t state, uint8_t c) {
  if (state == kFtpNumbers227 || state == kFtpArg229) return c == ')';
  return c == '\r' || c == '\n' || c == ' ';
}

void AddDigit(FtpGateway *gw, int idx, uint8_t c) {
  gw->numbers[idx] = gw->numbers[idx] * 10 + uint32_t(c - '0');
}

// 227 and PORT: six comma-separated numbers.
Step NumbersStep(FtpGateway *gw, uint8_t c) {
  if (IsEndChar(gw->readState, c)) return gw->numberIndex == 5 ? Step::kEnd : Step::kFail;
  if (c == ',') {
    if (gw->numberIndex >= 5) return Step::kFail;
    gw->numbers[++gw->numberIndex] = 0;
    return Step::kTake;
  }
  if (!IsDigit(c)) return Step::kFail;
  AddDigit(gw, gw->numberIndex, c);
  return Step::kTake;
}

// 229 and EPRT: |proto|address|port| with any delimiter; numbers 0 = the
// network protocol, 1..4 the address, 5 the port.
Step ExtendedStep(FtpGateway *gw, uint8_t c) {
  const bool delim = gw->subState != 0 && c == gw->delimiter;
  switch (gw->subState) {
    case 0:
      if (c < 33 || c > 126 || IsDigit(c)) return Step::kFail;
      gw->delimiter = c;
      gw->subState = 1;
      return Step::kTake;
    case 1:
      if (delim) {
        gw->subState = 2;
        gw->numberIndex = 1;
      } else if (IsDigit(c)) {
        AddDigit(gw, 0, c);
      } else {
        return Step::kFail;
      }
      return Step::kTake;
    case 2:
      if (delim) {
        if (gw->numberIndex != 4 && !(gw->numberIndex == 1 && gw->numbers[1] == 0))
          return Step::kFail;
        gw->subState = 3;
        gw->numberIndex = 5;
      } else if (c == '.') {
        if (++gw->numberIndex >= 5) return Step::kFail;
      } else if (IsDigit(c)) {
        AddDigit(gw, gw->numberIndex, c);
      } else {
        return Step::kFail;
      }
      return Step::kTake;
    case 3:
      if (delim)
        gw->subState = 4;
      else if (IsDigit(c))
        AddDigit(gw, 5, c);
      else
        return Step::kFail;
      return Step::kTake;
    default:
      return IsEndChar(gw->readState, c) ? Step::kEnd : Step::kFail;
  }
}

bool IsLoopback(const uint32_t *n) { return n[0] == 127 && n[1] == 0 && n[2] == 0 && n[3] == 1; }

// The argument ended at its end character: heldText becomes the
// replacement, or stays as received when the argument must pass.
void FinishArgument(FtpGateway *gw) {
  const uint32_t *n = gw->numbers;
  char d = char(gw->delimiter);
  char text[kReplacementMax + 1];
  int len = -1;
  uint32_t addr = gw->readState == kFtpNumbers227 ? gw->conn->remoteAddr : g_settings.gatewayAddr;
  const uint8_t *a = reinterpret_cast<const uint8_t *>(&addr);
  switch (gw->readState) {
    case kFtpNumbers227:
      len = Str_Format(text, sizeof text, "%u,%u,%u,%u,%u,%u", a[0], a[1], a[2], a[3], n[4], n[5]);
      break;
    case kFtpArg229:
      len = Str_Format(text, sizeof text, "%c%c%c%u%c", d, d, d, n[5], d);
      break;
    case kFtpNumbersPort:
      if (IsLoopback(n))
        len = Str_Format(text, sizeof text, "%u,%u,%u,%u,%u,%u", a[0], a[1], a[2], a[3], n[4],
                         n[5]);
      break;
    default:  // kFtpArgEprt
      if (n[0] == 1 && IsLoopback(n + 1))
        len = Str_Format(text, sizeof text, "%c%u%c%u.%u.%u.%u%c%u%c", d, 1u, d, a[0], a[1], a[2],
                         a[3], d, n[5], d);
      break;
  }
  if (len < 0) return;
  TextBuf_Consume(&gw->heldText, gw->heldText.len);
  TextBuf_Insert(&gw->heldText, kTextBufAppend, text, size_t(len));
}

// Writes heldText at out (see the file comment); the state becomes Inside,
// or Emitting when the buffer is full before all of it is out.
void Emit(FtpGateway *gw, Cursor &c) {
  TextBuf &held = gw->heldText;
  gw->readState = kFtpInside;
  auto put = [&](size_t n) {
    if (n == 0) return;
    memcpy(c.buf + c.out, held.data, n);
    c.out += n;
    TextBuf_Consume(&held, n);
  };
  auto shiftUnread = [&](size_t n) {
    memmove(c.buf + c.in + n, c.buf + c.in, c.end - c.in);
    c.in += n;
    c.end += n;
  };
  put(held.len < c.in - c.out ? held.len : c.in - c.out);
  if (held.len == 0) return;
  size_t n = held.len < c.cap - c.end ? held.len : c.cap - c.end;
  shiftUnread(n);
  put(n);
  if (held.len == 0) return;
  n = held.len < c.end - c.in ? held.len : c.end - c.in;
  if (n != 0) {
    TextBuf_Insert(&gw->pendingText, 0, c.buf + c.end - n, n);
    c.end -= n;
    shiftUnread(n);
    put(n);
  }
  if (held.len != 0) gw->readState = kFtpEmitting;
}

// Runs the parser over [in, end). Stops when the input is used up or the
// state becomes Emitting.
void Parse(FtpGateway *gw, Cursor &c, bool server) {
  while (c.in < c.end && gw->readState != kFtpEmitting) {
    uint8_t ch = c.buf[c.in];
    uint32_t state = gw->readState;
    if (state == kFtpInside) {
      uint8_t *from = c.buf + c.in;
      uint8_t *lf = static_cast<uint8_t *>(memchr(from, '\n', c.end - c.in));
      size_t n = lf ? size_t(lf - from) + 1 : c.end - c.in;
      memmove(c.buf + c.out, from, n);
      c.out += n;
      c.in += n;
      if (lf) gw->readState = kFtpLineStart;
    } else if (IsArgument(state)) {
      Step step = state == kFtpNumbers227 || state == kFtpNumbersPort ? NumbersStep(gw, ch)
                                                                       : ExtendedStep(gw, ch);
      if (step == Step::kTake && gw->heldText.len >= kArgMax) step = Step::kFail;
      if (step == Step::kTake) {
        TextBuf_Insert(&gw->heldText, kTextBufAppend, &ch, 1);
        ++c.in;
        continue;
      }
      if (step == Step::kEnd) FinishArgument(gw);
      Emit(gw, c);
    } else if (state == kFtpText227 || state == kFtpText229) {
      if (ch == '\n') {
        gw->readState = kFtpInside;
        continue;
      }
      c.buf[c.out++] = ch;
      ++c.in;
      if (ch == '(') StartArgument(gw, state == kFtpText227 ? kFtpNumbers227 : kFtpArg229);
    } else if (state == kFtpBlanks || state == kFtpEBlanks) {
      if (ch == ' ' || ch == '\t') {
        c.buf[c.out++] = ch;
        ++c.in;
      } else if (state == kFtpEBlanks) {
        StartArgument(gw, kFtpArgEprt);
      } else if (IsDigit(ch)) {
        StartArgument(gw, kFtpNumbersPort);
      } else {
        gw->readState = kFtpInside;
      }
    } else {
      gw->readState = NextLiteral(state, ch, server);
      if (gw->readState != kFtpInside) {
        c.buf[c.out++] = ch;
        ++c.in;
      }
    }
  }
}

int Done(FtpGateway *gw, size_t *count, size_t n, int result) {
  Ftp_SyncReadable(gw);
  *count = n;
  return result;
}

int ReadAndRewrite(TcpConn *conn, uint8_t *buf, size_t cap, size_t *count, bool server) {
  FtpGateway *gw = GatewayOf(conn);
  Cursor c{buf, cap, 0, 0, 0};
  if (gw->readState == kFtpEmitting) {
    TextBuf &held = gw->heldText;
    size_t n = held.len < cap ? held.len : cap;
    memcpy(buf, held.data, n);
    TextBuf_Consume(&held, n);
    c.out = n;
    if (held.len != 0) return Done(gw, count, n, kTcpReadData);
    gw->readState = kFtpInside;
  }
  for (;;) {
    if (c.out == cap || gw->readState == kFtpEmitting) return Done(gw, count, c.out, kTcpReadData);
    c.in = c.end = c.out;
    TextBuf &pending = gw->pendingText;
    if (pending.len != 0) {
      size_t n = pending.len < cap - c.end ? pending.len : cap - c.end;
      memcpy(buf + c.end, pending.data, n);
      TextBuf_Consume(&pending, n);
      c.end += n;
    }
    int r = kTcpReadNothing;
    if (c.end < cap) {
      size_t n = 0;
      r = gw->savedRead(conn, buf + c.end, cap - c.end, &n);
      if (r & kTcpReadData) c.end += n < cap - c.end ? n : cap - c.end;
    }
    if (c.end == c.in) {
      if ((r & (kTcpReadEof | kTcpReadReset)) && IsArgument(gw->readState)) {
        Emit(gw, c);  // the stream ends inside an argument: it goes out as received
        continue;
      }
      return c.out == 0 ? Done(gw, count, 0, r) : Done(gw, count, c.out, kTcpReadData);
    }
    Parse(gw, c, server);
  }
}

}  // namespace

void Ftp_SyncReadable(FtpGateway *gw) {
  PollEntry *entry = &gw->conn->poll;
  bool want = gw->pendingText.len != 0 || gw->readState == kFtpEmitting;
  int ready = want ? (entry->ready | POLLIN) : (entry->ready & ~POLLIN);
  if (ready != entry->ready) Poll_SetReady(entry, ready);
}

int Ftp_ReadReplies(TcpConn *conn, uint8_t *buf, size_t cap, size_t *count) {
  return ReadAndRewrite(conn, buf, cap, count, false);
}

int Ftp_ReadCommands(TcpConn *conn, uint8_t *buf, size_t cap, size_t *count) {
  return ReadAndRewrite(conn, buf, cap, count, true);
}
