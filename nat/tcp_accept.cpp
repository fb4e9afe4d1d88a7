// Incoming TCP forwarding: accept listeners on host ports, each relaying to
// one guest address and port, and the creation of connections towards a
// guest (TcpConn_CreateIncoming), for which this engine sends the SYN.
//
// Owns the accept table (TcpAccept records, appended at the tail, listed
// newest first). A listener accepts one connection per POLLIN event; a peer
// whose address or port differs from the allowed ones (when set) is closed
// at once and does not count. A listener with a connection limit is removed
// after its last accepted connection; a persistent one lives until the
// event loop shuts down. A listener whose accept fails for want of
// descriptors is not polled for a moment (AcceptPause) rather than spinning.
//
// An incoming connection starts in SYN_SENT with only our SYN in flight
// (window 1); its host socket is not read until the guest's SYN+ACK has been
// accepted and opens the window. A guest that never answers has the SYN
// repeated every 100 ms until the idle timer ends the connection 30 s after
// the SYN was queued.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "alg/ftp.h"
#include "control/textbuf.h"
#include "core/settings.h"
#include "lib/support.h"
#include "lib/util.h"
#include "nat/tcp_accept.h"
#include "nat/tcp_conn.h"

namespace {

ListLink g_accepts = {&g_accepts, &g_accepts, nullptr};
unsigned g_acceptCount = 0;
constexpr int kListenBacklog = 20;

void DefaultClose(TcpAccept *acc) {
  if (acc->poll.fd >= 0) close(acc->poll.fd);
  acc->poll.fd = -1;
}

void AppendLine(TextBuf *out, const char *line, int len) {
  TextBuf_Insert(out, kTextBufAppend, line, size_t(len));
}

}  // namespace

TcpAccept *TcpAccept_Create(uint32_t guestN, uint16_t guestPortN, uint32_t allowedN,
                            uint16_t allowedPortN, int limit, uint16_t listenPortN) {
  TcpAccept *acc = static_cast<TcpAccept *>(calloc(1, sizeof(TcpAccept)));
  if (!acc) return nullptr;
  Poll_Init(&acc->poll, TcpAccept_Input, TcpAccept_Release);
  AcceptPause_Init(&acc->pause, &acc->poll);
  acc->close = DefaultClose;
  acc->owner = nullptr;
  acc->guestAddr = guestN;
  acc->guestPort = guestPortN;
  acc->allowedAddr = allowedN;
  acc->allowedPort = allowedPortN;
  acc->connsLeft = limit;
  List_Init(&acc->link, acc);
  List_InsertBefore(&g_accepts, &acc->link);
  ++g_acceptCount;

  int fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (fd < 0) {
    TcpAccept_Release(&acc->poll);
    return nullptr;
  }
  acc->poll.fd = fd;
  Fd_SetNonBlocking(fd);
  int one = 1, buf = kTcpSockBuf;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = g_settings.extAddr;
  sa.sin_port = listenPortN;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0 ||
      setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf) < 0 ||
      setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf) < 0 ||
      bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0 || listen(fd, kListenBacklog) < 0 ||
      Poll_Add(&acc->poll) < 0) {
    TcpAccept_Release(&acc->poll);
    return nullptr;
  }
  Poll_SetEvents(&acc->poll, POLLIN);
  return acc;
}

void TcpAccept_Release(PollEntry *entry) {
  TcpAccept *acc = reinterpret_cast<TcpAccept *>(entry);
  List_Unlink(&acc->link);
  --g_acceptCount;
  AcceptPause_Cancel(&acc->pause);
  acc->close(acc);
  free(acc);
}

void TcpAccept_Input(PollEntry *entry, struct pollfd *slot) {
  TcpAccept *acc = reinterpret_cast<TcpAccept *>(entry);
  if (!(slot->revents & POLLIN)) return;
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  int fd = accept(acc->poll.fd, reinterpret_cast<sockaddr *>(&peer), &len);
  if (fd < 0) {
    AcceptPause_Check(&acc->pause, errno);
    return;
  }
  if ((acc->allowedAddr != 0 && acc->allowedAddr != peer.sin_addr.s_addr) ||
      (acc->allowedPort != 0 && acc->allowedPort != peer.sin_port)) {
    close(fd);
    return;
  }
  if (!TcpConn_CreateIncoming(fd, acc->guestAddr, acc->guestPort, peer.sin_addr.s_addr,
                              peer.sin_port)) {
    close(fd);
    return;
  }
  if (acc->connsLeft >= 1 && --acc->connsLeft == 0) Poll_Remove(&acc->poll);
}

TcpConn *TcpConn_CreateIncoming(int fd, uint32_t guestN, uint16_t guestPortN, uint32_t peerN,
                                uint16_t peerPortN) {
  uint32_t remote = peerN == htonl(INADDR_LOOPBACK) ? g_settings.gatewayAddr : peerN;
  TcpConn *conn = TcpConn_Alloc(guestN, guestPortN, remote, peerPortN);
  if (!conn) return nullptr;
  conn->state = kTcpSynSent;
  conn->poll.fd = fd;
  // Gateway attach point: the FTP server gateway attaches here to every
  // connection towards guest port 21, before the SYN is queued.
  if (guestPortN == htons(21)) Ftp_AttachServer(conn);
  conn->iss = (uint32_t(rand()) << 16) ^ uint32_t(rand());
  TcpSend_Start(&conn->send, conn->iss, 1);
  if (TcpConn_QueueSyn(conn) < 0) {
    conn->poll.fd = -1;  // the caller closes the accepted socket
    TcpConn_Release(&conn->poll);
    return nullptr;
  }
  TcpConn_Output(conn);
  Fd_SetNonBlocking(fd);
  Tcp_RaiseSocketBuffers(fd);
  if (Poll_Add(&conn->poll) < 0) {
    conn->poll.fd = -1;
    TcpConn_Release(&conn->poll);
    return nullptr;
  }
  Poll_SetEvents(&conn->poll, 0);
  return conn;
}

void TcpAccept_DumpTable(TextBuf *out) {
  char line[1024];
  TextBuf_Append(out, "260-TCP accept NAT table\r\n");
  unsigned n = 0;
  for (ListLink *l = g_accepts.prev; l != &g_accepts; l = l->prev) {
    const TcpAccept *acc = List_Owner<TcpAccept>(l);
    char from[32], via[32], left[40];
    const uint8_t *a = reinterpret_cast<const uint8_t *>(&acc->allowedAddr);
    if (acc->allowedAddr)
      Str_Format(from, sizeof from, "%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
    else
      Str_Copy(from, "*", sizeof from);
    char port[8];
    if (acc->allowedPort)
      Str_Format(port, sizeof port, "%u", unsigned(ntohs(acc->allowedPort)));
    else
      Str_Copy(port, "*", sizeof port);
    sockaddr_in local{};
    if (Sock_GetName(acc->poll.fd, &local) == 0)
      Str_Format(via, sizeof via, "port %u", unsigned(ntohs(local.sin_port)));
    else
      Str_Copy(via, "<unknown>", sizeof via);
    if (acc->connsLeft > 0)
      Str_Format(left, sizeof left, " (%u conns left)", unsigned(acc->connsLeft));
    else
      Str_Copy(left, " (persistent)", sizeof left);
    const uint8_t *g = reinterpret_cast<const uint8_t *>(&acc->guestAddr);
    int len = Str_Format(line, sizeof line, "261-fd %u, from %s:%s via %s to %u.%u.%u.%u:%u%s\r\n",
                         unsigned(acc->poll.fd), from, port, via, g[0], g[1], g[2], g[3],
                         unsigned(ntohs(acc->guestPort)), left);
    AppendLine(out, line, len);
    ++n;
  }
  int len = Str_Format(line, sizeof line, "269-%u entries\r\n", n);
  AppendLine(out, line, len);
}

unsigned TcpAccept_Count() { return g_acceptCount; }

void TcpAccept_RemoveAll() {
  for (ListLink *l = g_accepts.next; l != &g_accepts; l = l->next) {
    TcpAccept *acc = List_Owner<TcpAccept>(l);
    if (!acc->poll.removing) Poll_Remove(&acc->poll);
  }
}
