// Fuzz target for the PPTP gateway: the control-connection reader and the
// guest GRE input, on one control connection from guest 10.254.254.10 to
// server 127.0.0.2 (local address 127.0.0.1). Runs as root (raw sockets).
//
// Input: records of an op byte, a length byte and that many bytes. With op
// bit 2 set the bytes are one read of the control connection; otherwise
// they are a GRE packet from the guest (op bit 0: from another address) to
// the server (op bit 1: to another address).
//
// A model of the relays checks every step: a read passes through unchanged,
// unless it begins with a whole Outgoing-Call-Reply, which adds a relay for
// the call, or resets the connection when the guest's Call ID (the Peer's
// Call ID) is already relayed; past three calls the oldest one's relay
// ends ([limits] pptpCalls = 3). A GRE packet leaves with the local address as
// its source and nothing else changed exactly when it is version 1, from the
// guest to the server, with the server's Call ID of a relayed call; any
// other is left untouched. Releasing the connection must run its own
// release, restore its operations and end every relay at once (no poll
// entry left, no buffer).
#include <arpa/inet.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>

#include "alg/pptp.h"
#include "core/config.h"
#include "core/limits.h"
#include "core/poll.h"
#include "nat/tcp_conn.h"
#include "packet/skbuff.h"
#include "packet/wire.h"

static const uint8_t *g_read;
static size_t g_readLen;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Config_Path = "/nonexistent/nat.conf";  // activatepptp = 1
  TcpConn c = {};
  c.guestAddr = htonl(0x0AFEFE0A), c.remoteAddr = htonl(0x7F000002), c.localAddr = htonl(0x7F000001);
  c.read = [](TcpConn *, uint8_t *buf, size_t, size_t *n) -> int {
    memcpy(buf, g_read, *n = g_readLen);
    return *n ? kTcpReadData : kTcpReadNothing;
  };
  c.release = [](TcpConn *conn) { conn->localAddr = 0; };  // stands for closing the socket
  Limits_Set(kLimitPptpCalls, 3);
  Pptp_Attach(&c);
  std::deque<std::pair<uint16_t, uint16_t>> calls;  // relayed, oldest first: (guest's, server's Call ID)
  for (size_t len; size >= 2; data += 2 + len, size -= 2 + len) {
    const uint8_t op = data[0], *p = data + 2;
    uint8_t got[300], want[300];
    size_t n = 0;
    len = std::min<size_t>(data[1], size - 2);
    if (op & 4) {
      bool reply = len >= 32 && Wire_Get32(p) == 0x00200001 && Wire_Get32(p + 4) == 0x1A2B3C4D &&
                   Wire_Get16(p + 8) == 8;
      const uint16_t guestId = reply ? Wire_Get16n(p + 14) : 0;
      bool taken =
          reply && std::any_of(calls.begin(), calls.end(), [&](auto &k) { return k.first == guestId; });
      if (reply && !taken && calls.size() == 3) calls.pop_front();
      if (reply && !taken) calls.emplace_back(guestId, Wire_Get16n(p + 12));
      g_read = p, g_readLen = len;
      int r = c.read(&c, got, sizeof got, &n), expect = taken ? kTcpReadReset : len ? kTcpReadData : kTcpReadNothing;
      if (r != expect || n != len || memcmp(got, p, n) != 0 || GreRelay_Count() != calls.size()) abort();
      continue;
    }
    SkBuff *skb = SkBuff_Alloc(uint32_t(kIpHdrLen + len));
    uint8_t *ip = skb->networkHdr = SkBuff_Put(skb, uint32_t(kIpHdrLen + len));
    memset(ip, 0, kIpHdrLen), memcpy(ip + kIpHdrLen, p, len), ip[0] = 0x45, ip[ip::kProto] = kProtoGre;
    Wire_Put32n(ip + ip::kSrc, c.guestAddr ^ (op & 1)), Wire_Put32n(ip + ip::kDst, c.remoteAddr ^ (op & 2));
    memcpy(want, ip, kIpHdrLen + len);
    for (auto [guestId, serverId] : calls)
      if ((op & 3) == 0 && len >= 8 && (p[1] & 7) == 1 && serverId == Wire_Get16n(p + 6))
        Wire_Put32n(want + ip::kSrc, c.localAddr);
    (void)SkBuff_Pull(skb, kIpHdrLen);
    Gre_Input(skb);
    if (memcmp(ip, want, kIpHdrLen + len) != 0) abort();
    SkBuff_Free(skb);
  }
  c.release(&c);  // the relays end at once, the connection's own operations are back
  if (GreRelay_Count() != 0 || Poll_ActiveCount() != 0 || SkBuff_LiveCount() != 0 || c.localAddr != 0 ||
      c.gateway != nullptr || c.read == Pptp_Read || c.release == Pptp_Release)
    abort();
  Poll_Reap();
  return 0;
}
