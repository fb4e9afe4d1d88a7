// DNS forwarding: one child process per guest query, the host's resolver
// library in the child, the answer back through a pipe.
//
// A query (UDP to port 53 of the gateway, or broadcast) gets a DnsRequest
// and a pipe; the daemon forks, keeps the read end in the event loop and
// returns at once. The child asks the host's resolver (res_init reads the
// host's configuration): a standard query for one name ending in
// ".localdomain" is looked up without that suffix through res_search and
// the answer takes the query's identifier; every other query goes to
// res_send as it came. The child then writes one message and exits:
//
//   offset 0, 4 bytes (host order): 0, or the errno of the failed call
//   offset 4: error 0: the DNS answer (possibly empty);
//             otherwise the query's IPv4 packet, the message cut to 600 bytes
//
// At end of file the daemon sets every record's time to live to 5 seconds
// and sends the answer to the guest from the address and port the query
// went to, or answers a resolver error with the ICMP destination
// unreachable that belongs to its errno. A child that dies without writing
// leaves fewer than 4 bytes: nothing is sent.
#include "alg/dns.h"

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <resolv.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include "lib/util.h"
#include "nat/icmp.h"
#include "nat/udp.h"
#include "packet/skbuff.h"
#include "packet/wire.h"

namespace {

constexpr uint32_t kAnswerAlloc = 65756;  // 65628 bytes of room after the head-room
constexpr uint32_t kHeadroom = 128;
constexpr uint32_t kErrnoLen = 4;
constexpr uint32_t kErrorMessageMax = 600;
constexpr uint32_t kDnsHeaderLen = 12;
constexpr char kLocalSuffix[] = ".localdomain";
constexpr size_t kLocalSuffixLen = sizeof kLocalSuffix - 1;
static_assert(sizeof(int) == kErrnoLen, "the pipe message carries errno as 4 bytes");

// DNS header offsets.
constexpr size_t kQdCount = 4, kAnCount = 6, kNsCount = 8, kArCount = 10;

bool s_started = false;

// ---- time-to-live rewrite -------------------------------------------------

// Skips the name at msg[*pos..len): labels of 1..63 bytes, each of which
// must leave room for the byte after it, ended by a zero byte or by a
// two-byte compression pointer (first byte 192..255). False, with *pos
// unspecified, for a label length of 64..191 or a name cut short.
bool SkipName(const uint8_t *msg, uint32_t len, uint32_t *pos) {
  for (;;) {
    if (*pos >= len) return false;
    uint32_t b = msg[*pos];
    if (b == 0) {
      *pos += 1;
      return true;
    }
    if (b >= 192) {
      if (len - *pos < 2) return false;
      *pos += 2;
      return true;
    }
    if (b >= 64 || len - *pos < b + 2) return false;
    *pos += 1 + b;
  }
}

// ---- the child ------------------------------------------------------------

// Writes the message with one call and ends the child with status 0.
[[noreturn]] void Child_Reply(int fd, int err, const uint8_t *data, uint32_t len) {
  struct iovec iov[2] = {{&err, kErrnoLen}, {const_cast<uint8_t *>(data), len}};
  (void)!writev(fd, iov, 2);
  close(fd);
  _exit(0);
}

// The child keeps nothing of the daemon but the pipe's write end: the
// daemon's sockets and devices close when the daemon closes them, and a
// signal ends the child without running the daemon's shutdown.
void Child_Detach(int keepFd) {
  if (keepFd > 3) close_range(3, unsigned(keepFd) - 1, 0);
  close_range(unsigned(keepFd) + 1, ~0u, 0);
  static const int kHandled[] = {SIGHUP, SIGINT,  SIGTERM, SIGCHLD, SIGSEGV, SIGBUS,
                                 SIGABRT, SIGFPE, SIGILL, SIGQUIT, SIGTRAP};
  for (int sig : kHandled) signal(sig, SIG_DFL);
}

// A standard query (QR 0, opcode 0) with exactly one question whose name
// ends in ".localdomain" and is longer than that suffix: true, and *n is
// res_search's result for the name without the suffix, the answer carrying
// the query's identifier. False for every other query.
bool Child_LocalDomain(const SkBuff *query, uint8_t *answer, uint32_t cap, int *n) {
  ns_msg msg;
  ns_rr rr;
  if (ns_initparse(query->data, int(query->len), &msg) != 0) return false;
  if (ns_msg_getflag(msg, ns_f_qr) != 0 || ns_msg_getflag(msg, ns_f_opcode) != 0 ||
      ns_msg_count(msg, ns_s_qd) != 1 || ns_parserr(&msg, ns_s_qd, 0, &rr) != 0)
    return false;
  const char *name = ns_rr_name(rr);
  size_t nameLen = strlen(name);
  if (nameLen <= kLocalSuffixLen ||
      memcmp(name + nameLen - kLocalSuffixLen, kLocalSuffix, kLocalSuffixLen) != 0)
    return false;
  char shortName[NS_MAXDNAME];
  memcpy(shortName, name, nameLen - kLocalSuffixLen);
  shortName[nameLen - kLocalSuffixLen] = 0;
  *n = res_search(shortName, ns_rr_class(rr), ns_rr_type(rr), answer, int(cap));
  if (*n >= 0) memcpy(answer, query->data, 2);
  return true;
}

// Answers `query` into the room of `answer` and reports to `fd`.
[[noreturn]] void Child_Run(const SkBuff *query, SkBuff *answer, int fd) {
  s_started = false;
  Child_Detach(fd);
  uint8_t *room = answer->tail;
  uint32_t cap = uint32_t(answer->end - answer->tail);
  int n = -1;
  if (res_init() == 0) {
    if (Child_LocalDomain(query, room, cap, &n)) {
      res_close();
      Child_Reply(fd, 0, room, n < 0 ? 0 : uint32_t(n));
    }
    n = res_send(query->data, int(query->len), room, int(cap));
    int err = errno;
    res_close();
    if (n >= 0) Child_Reply(fd, 0, room, uint32_t(n));
    errno = err;
  }
  // A failure must not read as an answer, whatever errno the library left.
  int err = errno != 0 ? errno : EIO;
  uint32_t len = uint32_t(query->tail - query->networkHdr);
  if (len > kErrorMessageMax - kErrnoLen) len = kErrorMessageMax - kErrnoLen;
  Child_Reply(fd, err, query->networkHdr, len);
}

// The message is complete: send the answer or the ICMP error. `buf` holds
// the whole message; the caller releases the record.
void SendResult(DnsRequest *req, SkBuff *buf) {
  if (buf->len < kErrnoLen) return;
  int err;
  memcpy(&err, buf->data, kErrnoLen);
  SkBuff_Pull(buf, kErrnoLen);
  if (buf->len == 0) return;
  if (err != 0) {
    // The query's IPv4 packet: quoted in the error to the guest.
    if (buf->len < kIpHdrLen) return;
    buf->networkHdr = buf->data;
    buf->pktType = kPktHost;
    Icmp_SendErrnoUnreach(buf, err);
    return;
  }
  Dns_RewriteTtl(buf->data, buf->len);
  Udp_Output(req->guestAddr, req->guestPort, req->serverAddr, req->serverPort, buf);
}

}  // namespace

void Dns_Start() { s_started = true; }

void Dns_Stop() {
  if (!s_started) return;
  kill(0, SIGTERM);
  while (wait(nullptr) >= 0 || errno == EINTR) {
  }
}

void Dns_Forward(SkBuff *skb) {
  if (!s_started || !skb->networkHdr || !skb->transportHdr) return;
  DnsRequest *req = static_cast<DnsRequest *>(calloc(1, sizeof(DnsRequest)));
  if (!req) return;
  Poll_Init(&req->entry, Dns_ReadAnswer, Dns_Release);
  int fds[2];
  if (pipe(fds) != 0) {
    Dns_Release(&req->entry);
    return;
  }
  Fd_SetNonBlocking(fds[0]);
  req->answer = SkBuff_Alloc(kAnswerAlloc);
  if (!req->answer) {
    close(fds[0]);
    close(fds[1]);
    Dns_Release(&req->entry);
    return;
  }
  SkBuff_Reserve(req->answer, kHeadroom);
  req->guestAddr = Wire_Get32n(skb->networkHdr + ip::kSrc);
  req->serverAddr = Wire_Get32n(skb->networkHdr + ip::kDst);
  req->guestPort = Wire_Get16n(skb->transportHdr + udp::kSport);
  req->serverPort = Wire_Get16n(skb->transportHdr + udp::kDport);

  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    Dns_Release(&req->entry);
    return;
  }
  if (pid == 0) Child_Run(skb, req->answer, fds[1]);
  close(fds[1]);
  req->entry.fd = fds[0];
  if (Poll_Add(&req->entry) != 0) {
    Dns_Release(&req->entry);
    return;
  }
  Poll_SetEvents(&req->entry, POLLIN);
}

void Dns_ReadAnswer(PollEntry *entry, struct pollfd *) {
  DnsRequest *req = static_cast<DnsRequest *>(entry->owner);
  SkBuff *buf = req->answer;
  for (;;) {
    uint32_t room = uint32_t(buf->end - buf->tail);
    if (room == 0) {
      Poll_Remove(entry);
      return;
    }
    ssize_t n = read(entry->fd, buf->tail, room);
    if (n < 0) return;  // nothing more yet: the next event goes on
    if (n == 0) break;
    SkBuff_Put(buf, uint32_t(n));
  }
  Poll_Remove(entry);
  SendResult(req, buf);
}

void Dns_Release(PollEntry *entry) {
  DnsRequest *req = static_cast<DnsRequest *>(entry->owner);
  if (req->answer) SkBuff_Free(req->answer);
  if (req->entry.fd != -1) close(req->entry.fd);
  free(req);
}

int Dns_RewriteTtl(uint8_t *msg, uint32_t len) {
  if (len < kDnsHeaderLen) return 0;
  uint32_t pos = kDnsHeaderLen;
  for (uint32_t q = Wire_Get16(msg + kQdCount); q > 0; --q) {
    if (!SkipName(msg, len, &pos) || len - pos < 4) return 0;
    pos += 4;  // type, class
  }
  uint32_t records = uint32_t(Wire_Get16(msg + kAnCount)) + Wire_Get16(msg + kNsCount) +
                     Wire_Get16(msg + kArCount);
  int rewritten = 0;
  for (; records > 0; --records) {
    if (!SkipName(msg, len, &pos) || len - pos < 8) break;
    Wire_Put32(msg + pos + 4, kDnsAnswerTtlSec);  // after type and class
    rewritten++;
    pos += 8;
    if (len - pos < 2 || len - pos - 2 < Wire_Get16(msg + pos)) break;
    pos += 2 + Wire_Get16(msg + pos);
  }
  return rewritten;
}
