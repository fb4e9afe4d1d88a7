// Control server: listeners on the UNIX-domain socket "/var/run/qlnat.<pid>"
// and on the optional TCP configport, and the line protocol of the control
// connections.
//
// Owns every CtlListener, the list of CtlConn records (appended at the tail
// as they are accepted; the status reply walks it newest first) and the list
// of table dumps that the modules added at start-up.
//
// A connection alternates between two states:
//   reading  (events POLLIN): bytes are read one at a time, at most 99 per
//            event; CR and LF each end a line; a complete line is answered
//            by appending the reply to `output` and flushing at once;
//   flushing (events POLLOUT): a reply did not fit the socket; nothing more
//            is read until `output` has been written whole, so replies go
//            out complete and in order. `written` counts the bytes of
//            `output` already sent; `output` is emptied when it is all out.
// QUIT sets closeAfterFlush: the connection is removed once "200 OK" is out.
// The server never changes the daemon's state.
//
// natd's own limits ([limits], 0 = none): past ctlClients connections a new
// client is accepted and closed at once; a line longer than ctlLineMax bytes
// closes its connection. A listener that cannot accept for want of
// descriptors pauses instead of spinning (AcceptPause). The input line's
// storage doubles as it fills, so a long line costs few reallocations.
#include "control/ctl.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "control/textbuf.h"
#include "core/limits.h"
#include "core/config.h"
#include "core/poll.h"
#include "core/settings.h"
#include "lib/list.h"
#include "lib/support.h"
#include "lib/util.h"

namespace {

constexpr int kListenBacklog = 10;
constexpr int kMaxBytesPerEvent = 99;
constexpr size_t kLineMax = 1024;
constexpr size_t kPeerTextMax = 120;
constexpr socklen_t kUnixPathWrong = 107;
constexpr int kMaxDumps = 8;
constexpr size_t kInputFirstRoom = 64;

struct CtlListener {
  PollEntry poll;      // first: the poll owner is the record
  char *path;          // malloc'd socket path (UNIX listener), else nullptr
  AcceptPause pause;   // armed while accept() lacks descriptors
};

struct CtlConn {
  PollEntry poll;         // first: the poll owner is the record
  ListLink link;          // in s_conns, owner = this record
  TextBuf input;          // the command line being collected
  TextBuf output;         // the reply being written
  size_t written;         // bytes of output already written
  uint32_t closeAfterFlush;
};

ListLink s_conns = {&s_conns, &s_conns, nullptr};
size_t s_connCount = 0;
CtlDumpFn s_dumps[kMaxDumps];
int s_dumpCount = 0;

void CtlListener_Release(PollEntry *entry) {
  CtlListener *l = static_cast<CtlListener *>(entry->owner);
  AcceptPause_Cancel(&l->pause);
  if (l->poll.fd >= 0) close(l->poll.fd);
  if (l->path) {
    File_Unlink(l->path);
    free(l->path);
  }
  free(l);
}

void CtlConn_Release(PollEntry *entry) {
  CtlConn *c = static_cast<CtlConn *>(entry->owner);
  List_Unlink(&c->link);
  s_connCount--;
  if (c->poll.fd >= 0) close(c->poll.fd);
  TextBuf_Free(&c->input);
  TextBuf_Free(&c->output);
  free(c);
}

// Registers a listening socket; releases it (silently) on failure.
void Listener_Start(CtlListener *l) {
  if (listen(l->poll.fd, kListenBacklog) != 0 || Poll_Add(&l->poll) != 0) {
    CtlListener_Release(&l->poll);
    return;
  }
  Poll_SetEvents(&l->poll, POLLIN);
}

CtlListener *Listener_New(int fd) {
  CtlListener *l = static_cast<CtlListener *>(calloc(1, sizeof(CtlListener)));
  if (!l) {
    close(fd);
    return nullptr;
  }
  Poll_Init(&l->poll, Ctl_Accept, CtlListener_Release);
  AcceptPause_Init(&l->pause, &l->poll);
  l->poll.fd = fd;
  return l;
}

void AppendText(TextBuf *out, const char *line, int len) {
  TextBuf_Insert(out, kTextBufAppend, line, size_t(len));
}

// The peer of a control connection as the status reply shows it.
void PeerText(int fd, char *text, size_t size) {
  struct sockaddr_storage ss;
  socklen_t len = sizeof ss;
  memset(&ss, 0, sizeof ss);
  if (getpeername(fd, reinterpret_cast<struct sockaddr *>(&ss), &len) != 0) {
    snprintf(text, size, "<error %s>", Err_Text(errno));
    return;
  }
  if (ss.ss_family == AF_INET) {
    const struct sockaddr_in *in = reinterpret_cast<const struct sockaddr_in *>(&ss);
    uint8_t a[4];
    memcpy(a, &in->sin_addr.s_addr, 4);
    snprintf(text, size, "%u.%u.%u.%u/%u", a[0], a[1], a[2], a[3], ntohs(in->sin_port));
    return;
  }
  if (ss.ss_family == AF_UNIX) {
    const struct sockaddr_un *un = reinterpret_cast<const struct sockaddr_un *>(&ss);
    size_t base = offsetof(struct sockaddr_un, sun_path);
    size_t pathLen = len > base ? len - base : 0;
    if (pathLen == 0) {
      snprintf(text, size, "<zero>");
    } else if (pathLen >= kUnixPathWrong) {
      snprintf(text, size, "<wrong UNIX data>");
    } else {
      // Printed as text: a leading 0 byte (abstract name) shows as '@'.
      size_t out = 0;
      for (size_t i = 0; i < pathLen && out + 1 < size; ++i) {
        char ch = un->sun_path[i];
        if (ch == 0 && i > 0) break;
        text[out++] = ch == 0 ? '@' : ch;
      }
      text[out] = 0;
    }
    return;
  }
  snprintf(text, size, "<unknown>");
}

// Writes what is left of the reply. 0, or -1 on a write error.
int CtlConn_Flush(CtlConn *c) {
  Poll_SetEvents(&c->poll, short(Poll_GetEvents(&c->poll) & ~POLLOUT));
  while (c->written < c->output.len) {
    ssize_t n = write(c->poll.fd, c->output.data + c->written, c->output.len - c->written);
    if (n < 0) {
      if (errno != EAGAIN && errno != EINTR) return -1;
      Poll_SetEvents(&c->poll, POLLOUT);
      return 0;
    }
    c->written += size_t(n);
    if (c->written < c->output.len) {
      Poll_SetEvents(&c->poll, POLLOUT);
      return 0;
    }
  }
  TextBuf_Free(&c->output);
  c->written = 0;
  if (c->closeAfterFlush)
    Poll_Remove(&c->poll);
  else
    Poll_SetEvents(&c->poll, POLLIN);
  return 0;
}

// A complete line: builds the reply and flushes it. 0, or -1 when the
// connection must go.
int CtlConn_Command(CtlConn *c) {
  bool answered = true;
  if (c->input.len != 0) {
    const uint8_t nul = 0;
    TextBuf_Insert(&c->input, kTextBufAppend, &nul, 1);
  }
  if (c->input.error) {
    TextBuf_Append(&c->output, "500 Not enough memory\r\n");
  } else if (c->input.len == 0) {
    answered = false;
  } else {
    const char *line = reinterpret_cast<const char *>(c->input.data);
    if (strcasecmp(line, "CONNS") == 0 || strcasecmp(line, "S") == 0) {
      Ctl_StatusReply(&c->output);
    } else if (strcasecmp(line, "LIMITS") == 0) {  // natd's own addition
      Limits_Dump(&c->output);
      TextBuf_Append(&c->output, "200 OK\r\n");
    } else if (strcmp(line, "QUIT") == 0) {
      TextBuf_Append(&c->output, "200 OK\r\n");
      c->closeAfterFlush = 1;
    } else {
      TextBuf_Append(&c->output, "502 Unknown command\r\n");
    }
  }
  TextBuf_Free(&c->input);
  if (!answered) return 0;
  if (c->output.error) {
    TextBuf_Free(&c->output);
    TextBuf_Append(&c->output, "501 Not enough memory for command output\r\n");
    c->written = 0;
  }
  return CtlConn_Flush(c);
}

}  // namespace

void Ctl_InitUnix() {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) return;
  Fd_SetNonBlocking(fd);
  CtlListener *l = Listener_New(fd);
  if (!l) return;
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  char path[sizeof addr.sun_path];
  int n = snprintf(path, sizeof path, "/var/run/qlnat.%u", unsigned(getpid()));
  if (n < 0 || size_t(n) >= sizeof path) {
    CtlListener_Release(&l->poll);
    return;
  }
  File_Unlink(path);
  memcpy(addr.sun_path, path, size_t(n));
  if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), socklen_t(2 + n)) != 0) {
    CtlListener_Release(&l->poll);
    return;
  }
  l->path = strdup(path);
  if (!l->path) {
    unlink(path);
    CtlListener_Release(&l->poll);
    return;
  }
  Listener_Start(l);
}

void Ctl_InitTcp() {
  unsigned long port = Config_GetInt("host", "configport", 0);
  if (port < 1 || port > 65535) return;
  int fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (fd < 0) return;
  Fd_SetNonBlocking(fd);
  CtlListener *l = Listener_New(fd);
  if (!l) return;
  int one = 1;
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = htons(uint16_t(port));
  addr.sin_addr.s_addr = g_settings.extAddr;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
    CtlListener_Release(&l->poll);
    return;
  }
  Listener_Start(l);
}

void Ctl_Accept(PollEntry *entry, struct pollfd *) {
  if (Limits_Reached(kLimitCtlClients, s_connCount)) {
    int fd = accept(entry->fd, nullptr, nullptr);
    if (fd >= 0) {
      close(fd);
      Limits_Hit(kLimitCtlClients);
    } else {
      AcceptPause_Check(&static_cast<CtlListener *>(entry->owner)->pause, errno);
    }
    return;
  }
  CtlConn *c = static_cast<CtlConn *>(calloc(1, sizeof(CtlConn)));
  if (!c) return;
  Poll_Init(&c->poll, CtlConn_Event, CtlConn_Release);
  List_Init(&c->link, c);
  List_InsertBefore(&s_conns, &c->link);
  s_connCount++;
  TextBuf_Init(&c->input);
  TextBuf_Init(&c->output);
  c->poll.fd = accept(entry->fd, nullptr, nullptr);
  if (c->poll.fd < 0) {
    AcceptPause_Check(&static_cast<CtlListener *>(entry->owner)->pause, errno);
    CtlConn_Release(&c->poll);
    return;
  }
  Fd_SetNonBlocking(c->poll.fd);
  if (Poll_Add(&c->poll) != 0) {
    CtlConn_Release(&c->poll);
    return;
  }
  Poll_SetEvents(&c->poll, POLLIN);
}

void CtlConn_Event(PollEntry *entry, struct pollfd *slot) {
  CtlConn *c = static_cast<CtlConn *>(entry->owner);
  short revents = slot->revents;
  if (c->poll.removing) return;
  if (revents & POLLOUT) {
    if (CtlConn_Flush(c) < 0) {
      Poll_Remove(&c->poll);
      return;
    }
  }
  if (!(revents & POLLIN)) {
    // An error or hang-up that is neither readable nor writable ends it.
    if (!(revents & POLLOUT) && (revents & (POLLERR | POLLHUP | POLLNVAL))) Poll_Remove(&c->poll);
    return;
  }
  for (int i = 0; i < kMaxBytesPerEvent; ++i) {
    if (c->poll.removing || c->written < c->output.len) return;
    uint8_t byte;
    ssize_t n = read(c->poll.fd, &byte, 1);
    if (n < 0) {
      if (errno != EAGAIN && errno != EINTR) Poll_Remove(&c->poll);
      return;
    }
    if (n == 0) {
      Poll_Remove(&c->poll);
      return;
    }
    if (byte != '\r' && byte != '\n') {
      if (Limits_Reached(kLimitCtlLineMax, c->input.len)) {
        Limits_Hit(kLimitCtlLineMax);
        Poll_Remove(&c->poll);
        return;
      }
      if (c->input.len == c->input.capacity)
        TextBuf_Reserve(&c->input, c->input.capacity ? 2 * c->input.capacity : kInputFirstRoom);
      TextBuf_Insert(&c->input, kTextBufAppend, &byte, 1);
      continue;
    }
    if (CtlConn_Command(c) < 0) {
      Poll_Remove(&c->poll);
      return;
    }
  }
}

void Ctl_AddDump(CtlDumpFn dump) {
  for (int i = 0; i < s_dumpCount; ++i)
    if (s_dumps[i] == dump) return;
  if (s_dumpCount == kMaxDumps) Main_Panic("Ctl_AddDump: more than %d dumps", kMaxDumps);
  s_dumps[s_dumpCount++] = dump;
}

void Ctl_StatusReply(TextBuf *out) {
  char line[kLineMax];
  AppendText(out, line, Str_Format(line, sizeof line, "210-Control connections\r\n"));
  unsigned count = 0;
  for (ListLink *l = s_conns.prev; l != &s_conns; l = l->prev) {
    CtlConn *c = List_Owner<CtlConn>(l);
    char peer[kPeerTextMax + 1];
    PeerText(c->poll.fd, peer, sizeof peer);
    AppendText(out, line,
               Str_Format(line, sizeof line, "211-fd %u, from %s\r\n", unsigned(c->poll.fd), peer));
    count++;
  }
  AppendText(out, line, Str_Format(line, sizeof line, "219-%u entries\r\n", count));
  for (int i = 0; i < s_dumpCount; ++i) s_dumps[i](out);
  AppendText(out, line, Str_Format(line, sizeof line, "200 OK\r\n"));
}

size_t Ctl_ConnCount() { return s_connCount; }
