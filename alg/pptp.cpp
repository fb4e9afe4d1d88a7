// PPTP gateway: the control-connection reader and the GRE relays.
//
// A guest's PPTP client opens a TCP control connection to port 1723 of a
// server (relayed by the TCP engine like any other connection) and then
// exchanges enhanced GRE packets with that server for each call. GRE has no
// ports, so the only thing that tells the calls apart is the Call ID in the
// GRE header, and the only place where both Call IDs of a call appear is the
// server's Outgoing-Call-Reply on the control connection.
//
// Control reader. Pptp_Read sits in front of the connection's own read
// operation and looks at the bytes of each read that returns data: when the
// read begins with a whole Outgoing-Call-Reply (Length 32, PPTP message type
// 1, the magic cookie, control message type 8) a relay is created for the
// call, keyed by (guest, server, Call ID of the server) for the guest's GRE
// and by the Peer's Call ID (the guest's own) for the server's GRE. The
// reader keeps no state between reads: a reply that starts in the middle of
// a read, or is split over two reads, is not seen. The reply is passed on
// unchanged; when no relay can be made for it (the guest's Call ID is
// already relayed towards the same server, for this guest or another one,
// or the raw socket cannot be opened) it is withheld and the control
// connection is reset, so the guest never holds a call whose GRE would go
// nowhere.
//
// Relays. Each GreRelay is a raw IPv4 socket for protocol 47 with
// IP_HDRINCL, connected to the server (so the host delivers it only the
// server's GRE), indexed by two hash tables. Guest GRE keeps its IPv4 header
// except the source, which becomes the local address of the control
// connection's host socket; server GRE is checked against the relay (from
// the server, to that local address, the guest's Call ID) and handed to the
// guest from the server's address with a fresh IPv4 header. The GRE header
// and payload are never changed and Call IDs are not translated. As for
// every relayed protocol, a server at the gateway address is the host's
// 127.0.0.1. A relay
// lives until its control connection is released; a connection that sets
// up several calls keeps a relay for each (up to [limits] pptpCalls, the
// oldest ending first), and all of them end with it.
#include "alg/pptp.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/config.h"
#include "core/limits.h"
#include "core/poll.h"
#include "core/settings.h"
#include "lib/hash.h"
#include "lib/list.h"
#include "lib/util.h"
#include "nat/icmp.h"
#include "nat/tcp_conn.h"
#include "packet/ip.h"
#include "packet/skbuff.h"
#include "packet/wire.h"

namespace {

// Outgoing-Call-Reply fields (offsets from the start of the message).
constexpr size_t kCtlLength = 0, kCtlPptpType = 2, kCtlMagic = 4, kCtlType = 8, kCtlCallId = 12,
                 kCtlPeerCallId = 14;
constexpr uint16_t kCallReplyLen = 32;
constexpr uint16_t kPptpControlMessage = 1;
constexpr uint32_t kPptpMagic = 0x1A2B3C4D;
constexpr uint16_t kOutgoingCallReply = 8;
constexpr size_t kPptpMinExamined = 8;  // a read of up to 7 bytes is not looked at

// Enhanced GRE header: version in the low bits of byte 1, Call ID at 6.
constexpr size_t kGreHdrLen = 8;
constexpr size_t kGreVersion = 1, kGreCallId = 6;
constexpr uint8_t kGreVersionMask = 0x07, kGreEnhanced = 1;

constexpr size_t kGreRecvMax = 2048;  // longer server datagrams are cut
constexpr uint32_t kGreHeadroom = 32;
constexpr int kGreReadsPerEvent = 32;

}  // namespace

/// One attached control connection (in the TcpConn gateway slot).
struct PptpGateway {
  TcpReadFn savedRead;
  TcpReleaseFn savedRelease;
  ListLink calls;      // this connection's relays, oldest first
  unsigned callCount;  // relays in `calls`
};

/// One relayed call (owned by the event loop through `poll`).
struct GreRelay {
  PollEntry poll;         // raw socket, protocol 47, IP_HDRINCL, connected
  HashLink byServerCall;  // g_byServerCall: guest, server and the server's Call ID
  HashLink byGuestCall;   // g_byGuestCall: the guest's Call ID and the server
  ListLink callLink;      // the gateway's `calls`; owner = this relay
  PptpGateway *gateway;   // control connection that made it; null once it ended
  uint32_t guestAddr;     // guest end of the control connection
  uint16_t guestCallId;   // Peer's Call ID of the reply (the guest's own)
  uint32_t serverAddr;    // server as the guest sees it
  uint16_t serverCallId;  // Call ID of the reply (the server's)
  uint32_t localAddr;     // local address of the control connection's socket
};

namespace {

// Every relay is in both indexes: the guest's GRE finds its relay by the
// server's Call ID, a new call checks the guest's Call ID against them.
HashTable g_byServerCall, g_byGuestCall;

uint32_t ServerCallHash(uint32_t guestAddr, uint32_t serverAddr, uint16_t serverCallId) {
  return Hash_Key(uint64_t(guestAddr ^ serverCallId) << 32 | serverAddr);
}

uint32_t GuestCallHash(uint16_t guestCallId, uint32_t serverAddr) {
  return Hash_Key(uint64_t(guestCallId) << 32 | serverAddr);
}

// The server's address on the host: a server the guest reaches at the
// gateway address is the host itself, 127.0.0.1.
uint32_t HostAddr(const GreRelay *r) {
  return r->serverAddr == g_settings.gatewayAddr ? g_settings.loopbackAddr : r->serverAddr;
}

// Takes the relay out of both lists, so that no GRE is relayed for its call
// and its Call ID is free again at once; harmless when already out.
void GreRelay_Unlink(GreRelay *r) {
  Hash_Remove(&g_byServerCall, &r->byServerCall);
  Hash_Remove(&g_byGuestCall, &r->byGuestCall);
  List_Unlink(&r->callLink);
  if (r->gateway) r->gateway->callCount--;
  r->gateway = nullptr;
}

// Creates and registers the relay of one call; nullptr when it is refused
// (the guest's Call ID already relayed towards this server) or any step
// fails. A connection at its [limits] pptpCalls first loses its oldest call.
GreRelay *GreRelay_Create(PptpGateway *gw, const TcpConn *conn, uint16_t guestCallId, uint16_t serverCallId) {
  const uint32_t server = conn->remoteAddr;
  if (Hash_Find<GreRelay>(&g_byGuestCall, GuestCallHash(guestCallId, server), [&](const GreRelay *r) {
        return r->guestCallId == guestCallId && r->serverAddr == server;
      }))
    return nullptr;
  if (Limits_Reached(kLimitPptpCalls, gw->callCount)) {
    GreRelay *oldest = List_Owner<GreRelay>(gw->calls.next);
    GreRelay_Unlink(oldest);
    Poll_Remove(&oldest->poll);
    Limits_Hit(kLimitPptpCalls);
  }
  GreRelay *r = static_cast<GreRelay *>(calloc(1, sizeof(GreRelay)));
  if (!r) return nullptr;
  Poll_Init(&r->poll, GreRelay_HostInput, GreRelay_Release);
  List_Init(&r->callLink, r);
  List_InsertBefore(&gw->calls, &r->callLink);
  gw->callCount++;
  r->gateway = gw;
  r->guestAddr = conn->guestAddr;
  r->guestCallId = guestCallId;
  r->serverAddr = conn->remoteAddr;
  r->serverCallId = serverCallId;
  r->localAddr = conn->localAddr;
  if (!Hash_InsertFront(&g_byServerCall, &r->byServerCall, r,
                        ServerCallHash(r->guestAddr, r->serverAddr, serverCallId)) ||
      !Hash_Insert(&g_byGuestCall, &r->byGuestCall, r, GuestCallHash(guestCallId, r->serverAddr))) {
    GreRelay_Release(&r->poll);
    return nullptr;
  }

  int fd = socket(AF_INET, SOCK_RAW, kProtoGre);
  if (fd < 0) {
    GreRelay_Release(&r->poll);
    return nullptr;
  }
  r->poll.fd = fd;
  int on = 1;
  struct sockaddr_in to {};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = HostAddr(r);
  if (setsockopt(fd, IPPROTO_IP, IP_HDRINCL, &on, sizeof on) != 0 ||
      (Fd_SetNonBlocking(fd), connect(fd, reinterpret_cast<struct sockaddr *>(&to), sizeof to) != 0) ||
      Poll_Add(&r->poll) != 0) {
    GreRelay_Release(&r->poll);
    return nullptr;
  }
  Poll_SetEvents(&r->poll, POLLIN);
  return r;
}

// True when `buf` begins with a whole Outgoing-Call-Reply; sets both Call
// IDs (network order).
bool Pptp_IsCallReply(const uint8_t *buf, size_t n, uint16_t *callId, uint16_t *peerCallId) {
  if (n < kPptpMinExamined || Wire_Get32(buf + kCtlMagic) != kPptpMagic) return false;
  if (Wire_Get16(buf + kCtlPptpType) != kPptpControlMessage) return false;
  if (Wire_Get16(buf + kCtlLength) != kCallReplyLen || n < kCallReplyLen) return false;
  if (Wire_Get16(buf + kCtlType) != kOutgoingCallReply) return false;
  *callId = Wire_Get16n(buf + kCtlCallId);
  *peerCallId = Wire_Get16n(buf + kCtlPeerCallId);
  return true;
}

// Reads one datagram from the server and passes it to the guest when it
// belongs to the relay's call. False when nothing was there to read.
bool GreRelay_ReadOne(GreRelay *r) {
  uint8_t dgram[kGreRecvMax];
  ssize_t got = recvfrom(r->poll.fd, dgram, sizeof dgram, MSG_DONTWAIT, nullptr, nullptr);
  if (got < 0) return errno == EINTR;
  if (got < ssize_t(kIpHdrLen)) return true;
  const uint32_t n = uint32_t(got);
  const uint32_t hl = uint32_t(ip::HdrLen(dgram));
  if (hl < kIpHdrLen || hl + kGreHdrLen > n) return true;
  if (Wire_Get32n(dgram + ip::kDst) != r->localAddr || Wire_Get32n(dgram + ip::kSrc) != HostAddr(r) ||
      dgram[ip::kProto] != kProtoGre || Wire_Get16n(dgram + hl + kGreCallId) != r->guestCallId)
    return true;
  SkBuff *skb = SkBuff_Alloc(n + kGreHeadroom);
  if (!skb) return true;
  SkBuff_Reserve(skb, kGreHeadroom);
  skb->networkHdr = SkBuff_Put(skb, n);
  memcpy(skb->networkHdr, dgram, n);
  (void)SkBuff_Pull(skb, hl);  // the IPv4 header's room leaves space for a new one
  Ip_Output(r->guestAddr, r->serverAddr, kProtoGre, skb);
  SkBuff_Free(skb);
  return true;
}

}  // namespace

void Pptp_Attach(TcpConn *conn) {
  if (Config_GetInt("host", "activatepptp", 1) == 0) return;
  PptpGateway *gw = static_cast<PptpGateway *>(calloc(1, sizeof(PptpGateway)));
  if (!gw) return;
  gw->savedRead = conn->read;
  gw->savedRelease = conn->release;
  List_Init(&gw->calls);
  conn->gateway = gw;
  conn->read = Pptp_Read;
  conn->release = Pptp_Release;
}

int Pptp_Read(TcpConn *conn, uint8_t *buf, size_t cap, size_t *count) {
  PptpGateway *gw = static_cast<PptpGateway *>(conn->gateway);
  int result = gw->savedRead(conn, buf, cap, count);
  uint16_t callId, peerCallId;
  if (result != kTcpReadData || !Pptp_IsCallReply(buf, *count, &callId, &peerCallId)) return result;
  if (!GreRelay_Create(gw, conn, peerCallId, callId)) return kTcpReadReset;
  return result;
}

void Pptp_Release(TcpConn *conn) {
  PptpGateway *gw = static_cast<PptpGateway *>(conn->gateway);
  gw->savedRelease(conn);
  while (!List_Empty(&gw->calls)) {
    GreRelay *r = List_Owner<GreRelay>(gw->calls.next);
    GreRelay_Unlink(r);
    Poll_Remove(&r->poll);
  }
  conn->read = gw->savedRead;
  conn->release = gw->savedRelease;
  conn->gateway = nullptr;
  free(gw);
}

void Gre_Input(SkBuff *skb) {
  const uint8_t *gre = skb->data;
  if (skb->len < kGreHdrLen || (gre[kGreVersion] & kGreVersionMask) != kGreEnhanced) return;
  const uint8_t *iph = skb->networkHdr;
  const uint32_t src = Wire_Get32n(iph + ip::kSrc);
  const uint32_t dst = Wire_Get32n(iph + ip::kDst);
  const uint16_t callId = Wire_Get16n(gre + kGreCallId);
  // The newest call wins when two calls of one guest share the server's Call ID.
  GreRelay *relay =
      Hash_Find<GreRelay>(&g_byServerCall, ServerCallHash(src, dst, callId), [&](const GreRelay *r) {
        return r->guestAddr == src && r->serverAddr == dst && r->serverCallId == callId;
      });
  if (!relay) return;

  // The header in front of the data is the guest's own; a reassembled
  // datagram carries the first fragment's 20 bytes with its fragment
  // field, which must not leave with the whole datagram.
  const uint32_t hl = uint32_t(gre - iph);
  uint8_t *h = SkBuff_Push(skb, hl);
  h[ip::kVerIhl] = uint8_t(0x40 | (hl / 4));
  Wire_Put16(h + ip::kFragOff, Wire_Get16(h + ip::kFragOff) & ip::kFlagDF);
  Wire_Put32n(h + ip::kSrc, relay->localAddr);
  Wire_Put32n(h + ip::kDst, HostAddr(relay));
  if (send(relay->poll.fd, h, skb->len, 0) < 0) Icmp_SendErrnoUnreach(skb, errno);
}

void GreRelay_HostInput(PollEntry *entry, struct pollfd *slot) {
  if (!(slot->revents & (POLLIN | POLLERR))) return;
  // A burst of the server's GRE is read in one event, up to a bound that
  // leaves the loop to the other descriptors.
  GreRelay *r = reinterpret_cast<GreRelay *>(entry);
  for (int i = 0; i < kGreReadsPerEvent; i++)
    if (!GreRelay_ReadOne(r)) break;
}

void GreRelay_Release(PollEntry *entry) {
  GreRelay *r = reinterpret_cast<GreRelay *>(entry);
  GreRelay_Unlink(r);
  if (g_byGuestCall.count == 0) Hash_Free(&g_byGuestCall), Hash_Free(&g_byServerCall);  // the last one
  if (r->poll.fd != -1) close(r->poll.fd);
  free(r);
}

unsigned GreRelay_Count() { return g_byGuestCall.count; }
