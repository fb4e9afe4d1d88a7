// Virtual network device and Ethernet framing.
//
// Owns the device's poll record (DevWatch, one per opened or attached
// device) and the choice of the gateway MAC address. Dev_Open runs the
// configuration steps through the backend picked by the device name
// (dev_backend.cpp) and reports each failure with its message and exit
// status. Dev_Input reads a batch of up to 64 frames per readiness event
// (fewer when the device runs dry), filters each by source MAC, classifies
// it by destination MAC, strips the link header of any of the four framings
// and hands IPv4 to Ip_Input and ARP to Arp_Input; at the end of the batch
// the TCP engine writes what the batch queued for host sockets
// (Tcp_FlushPending), so a burst of guest segments costs one host write.
// Eth_Output prepends the Ethernet header and writes the frame once; a
// frame the device cannot take yet (EAGAIN: a UNIX peer's queue is full)
// waits in the device's bounded output queue, and so does every frame
// after it, until the backend's write watch reports POLLOUT
// (Dev_OutputReady). Any other write error loses the frame.
//
// Invariant: s_output is the record whose descriptor is g_settings.devFd
// (or nullptr when that descriptor was set by someone else); releasing the
// record clears both.
#include "packet/dev.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "core/config.h"
#include "core/poll.h"
#include "core/settings.h"
#include "lib/support.h"
#include "lib/util.h"
#include "nat/tcp.h"
#include "packet/arp.h"
#include "packet/dev_backend.h"
#include "packet/ip.h"
#include "packet/pcap.h"
#include "packet/skbuff.h"
#include "packet/wire.h"

DevDeliverFn Dev_DeliverHook = nullptr;

namespace {

constexpr size_t kDevReadMax = 32768;
constexpr int kDevBatchMax = 64;  // frames read per readiness event
constexpr size_t kMacLineMax = 16383;
constexpr uint16_t kEtherTypeIpx = 0x8137;
constexpr uint16_t kMaxFrameLength = 1532;  // type field above this: Ethernet II

DevWatch *s_output = nullptr;

void DevOut_Drop(DevWatch *dev);

void DevWatch_Release(PollEntry *entry) {
  DevWatch *dev = static_cast<DevWatch *>(entry->owner);
  dev->outWatch = nullptr;  // it left the poll table with this entry or goes now
  DevOut_Drop(dev);
  DevProbe_Detach(dev);
  if (dev->poll.fd >= 0) {
    if (g_settings.devFd == dev->poll.fd) g_settings.devFd = -1;
    close(dev->poll.fd);
  }
  if (s_output == dev) {
    s_output = nullptr;
    g_settings.devSegments = false;
  }
  if (dev->boundPath) {
    unlink(dev->boundPath);
    free(dev->boundPath);
  }
  free(dev);
}

// ---- output queue ----------------------------------------------------------

}  // namespace

struct DevOutFrame {
  DevOutFrame *next;
  size_t len;
  uint32_t gsoSize;
  uint8_t *Bytes() { return reinterpret_cast<uint8_t *>(this + 1); }
};

DevOutputLimits Dev_OutputLimits = {512, 1u << 20};

namespace {

bool WouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == ENOBUFS || err == EINTR; }

// One write of a whole frame: false when the device would block (the frame
// must wait), true when it took the frame or lost it for good.
bool DevOut_Write(DevWatch *dev, const uint8_t *bytes, size_t len, uint32_t gsoSize) {
  ssize_t n = dev->backend->write(dev, bytes, len, gsoSize);
  if (n >= 0) Pcap_Frame(bytes, len);
  return n >= 0 || !WouldBlock(errno);
}

void DevOut_Watch(DevWatch *dev, PollEntry *watch) {
  if (dev->outWatch == watch) return;
  if (dev->outWatch) Poll_SetEvents(dev->outWatch, short(Poll_GetEvents(dev->outWatch) & ~POLLOUT));
  dev->outWatch = watch;
  if (watch) Poll_SetEvents(watch, short(Poll_GetEvents(watch) | POLLOUT));
}

// Forgets every waiting frame (counted as dropped) and the watch.
void DevOut_Drop(DevWatch *dev) {
  while (DevOutFrame *f = dev->outHead) {
    dev->outHead = f->next;
    free(f);
    dev->outDropped++;
  }
  dev->outTail = nullptr;
  dev->outFrames = 0;
  dev->outBytes = 0;
  DevOut_Watch(dev, nullptr);
}

// After a write would block: wait on the backend's watch, or, when it has
// none, give the waiting frames up.
void DevOut_Wait(DevWatch *dev) {
  PollEntry *watch = dev->backend->writeWatch(dev);
  if (watch)
    DevOut_Watch(dev, watch);
  else
    DevOut_Drop(dev);
}

void DevOut_Append(DevWatch *dev, const uint8_t *bytes, size_t len, uint32_t gsoSize) {
  if (dev->outFrames + 1 > Dev_OutputLimits.frames || dev->outBytes + len > Dev_OutputLimits.bytes) {
    dev->outDropped++;
    return;
  }
  DevOutFrame *f = static_cast<DevOutFrame *>(malloc(sizeof(DevOutFrame) + len));
  if (!f) {
    dev->outDropped++;
    return;
  }
  f->next = nullptr;
  f->len = len;
  f->gsoSize = gsoSize;
  memcpy(f->Bytes(), bytes, len);
  if (dev->outTail)
    dev->outTail->next = f;
  else
    dev->outHead = f;
  dev->outTail = f;
  dev->outFrames++;
  dev->outBytes += len;
}

// ---- input ---------------------------------------------------------------

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// First line of the MAC file that parses after trimming blanks.
bool MacFromFile(uint8_t mac[6]) {
  FILE *f = File_Fopen(g_settings.macFilePath.c_str(), "r");
  if (!f) return false;
  char line[kMacLineMax];
  bool found = false;
  while (!found && fgets(line, sizeof line, f)) {
    size_t len = strlen(line);
    while (len > 0 && IsSpace(line[len - 1])) line[--len] = 0;
    char *start = line;
    while (IsSpace(*start)) start++;
    found = Mac_Parse(start, mac) == 0;
  }
  fclose(f);
  return found;
}

// [host] MAC, accepted only inside 02:4E:A1:00:00:00 .. 02:4E:A1:3F:FF:FF.
bool MacFromConfig(uint8_t mac[6]) {
  std::optional<std::string> text = Config_GetString("host", "MAC");
  if (!text) return false;
  uint8_t parsed[6];
  if (Mac_Parse(text->c_str(), parsed) != 0) return false;
  if (parsed[0] != 0x02 || parsed[1] != 0x4E || parsed[2] != 0xA1 || (parsed[3] & 0xC0) != 0)
    return false;
  memcpy(mac, parsed, 6);
  return true;
}

// Source filter: multicast sources, the host's own adapters and (unless any
// vendor prefix is allowed) foreign prefixes are dropped.
bool SourceAccepted(const uint8_t *src) {
  if (src[0] & 0x01) return false;
  if (memcmp(src, g_settings.hostMac, 6) == 0) return false;
  if (src[0] == 0x02 && src[1] == 0x4E && src[2] == 0xA1 && src[3] == 0xC0 && src[4] == 0x00)
    return false;
  if (g_settings.allowAnyOUI == 0) {
    bool ours = src[0] == 0x02 && src[1] == 0x4E && src[2] == 0xA1;
    bool guest = src[0] == 0x02 && src[1] == 0x7D && src[2] == 0x33;
    if (!ours && !guest) return false;
  }
  return true;
}

uint32_t PacketType(const uint8_t *dst) {
  static const uint8_t kBroadcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  if (dst[0] & 0x01) return memcmp(dst, kBroadcast, 6) == 0 ? kPktBroadcast : kPktMulticast;
  return memcmp(dst, g_settings.gatewayMac, 6) == 0 ? kPktHost : kPktOtherHost;
}

// Link header length and protocol of the frame (len >= 15). Returns false
// when the frame is too short for its framing; such frames are dropped.
bool Decapsulate(const uint8_t *f, size_t len, size_t *hdrLen, uint32_t *protocol) {
  uint16_t type = Wire_Get16(f + 12);
  if (type > kMaxFrameLength) {
    *hdrLen = kEthHdrLen;
    *protocol = type;
    return true;
  }
  // 802.3 framings look at up to 8 bytes after the header; every branch
  // that could read past a frame shorter than that drops it anyway.
  if (len < 17) return false;
  if (f[14] == 0xFF && f[15] == 0xFF) {
    *hdrLen = kEthHdrLen;
    *protocol = kEtherTypeIpx;
    return true;
  }
  if (f[14] == 0xAA && f[15] == 0xAA && f[16] == 0x03) {
    *hdrLen = 22;
    if (len < 22) return false;
    *protocol = f[17] == 0 ? Wire_Get32(f + 18) : 0;
    return true;
  }
  *hdrLen = f[16] == 0x03 ? 17 : 18;
  if (f[14] == 0x06 && f[15] == 0x06 && f[16] == 0x03)
    *protocol = kEtherTypeIp;
  else if (f[14] == 0xE0 && f[15] == 0xE0 && f[16] == 0x03)
    *protocol = kEtherTypeIpx;
  else
    *protocol = 0;
  return true;
}

}  // namespace

bool Dev_ChooseMac(uint8_t mac[6]) { return MacFromFile(mac) || MacFromConfig(mac); }

int Dev_Open(const char *name) {
  DevWatch *dev = static_cast<DevWatch *>(calloc(1, sizeof(DevWatch)));
  if (!dev) {
    fputs("Not enough memory for qlink watch\n", stderr);
    return 118;
  }
  Poll_Init(&dev->poll, Dev_Input, DevWatch_Release);
  const char *arg = name;
  dev->backend = DevBackend_Select(name, &arg);

  int status = 0;
  int fd = dev->backend->open(dev, arg);
  if (fd < 0) {
    fprintf(stderr, "Cannot open network device `%s': %s\n", name, Err_Text(errno));
    status = 119;
  }
  if (status == 0) {
    dev->poll.fd = fd;
    int version = 0;
    if (dev->backend->version(dev, &version) < 0) {
      fprintf(stderr, "Cannot get module qlink version: %s\n", Err_Text(errno));
      status = 129;
    } else if (version != kDevModuleVersion) {
      fprintf(stderr, "Module version mismatch %d != %d. Please update host.\n", version,
              kDevModuleVersion);
      status = 130;
    }
  }
  if (status == 0) {
    uint8_t mac[6];
    if (Dev_ChooseMac(mac) && dev->backend->setMac(dev, mac) != 0) {
      fprintf(stderr, "`%s' is not a Zelmor network device (cannot set MAC address)\n", name);
      status = 114;
    }
  }
  if (status == 0 && dev->backend->setFlags(dev) != 0) {
    fprintf(stderr, "`%s' is not a Zelmor network device (cannot set interface flags)\n", name);
    status = 116;
  }
  if (status == 0 && dev->backend->getMac(dev, g_settings.gatewayMac) != 0) {
    fprintf(stderr, "`%s' is not Zelmor network device (cannot get MAC address)\n", name);
    status = 115;
  }
  if (status == 0 && Poll_Add(&dev->poll) != 0) {
    fputs("Not enough memory for qlink polling\n", stderr);
    status = 117;
  }
  if (status != 0) {
    // Never added to the poll table: release it directly (closes the fd).
    DevWatch_Release(&dev->poll);
    return status;
  }
  Poll_SetEvents(&dev->poll, POLLIN);
  if (g_settings.devFd < 0) {
    g_settings.devFd = dev->poll.fd;
    s_output = dev;
    g_settings.devSegments = dev->vnetHdr;
  }
  return 0;
}

int Dev_Attach(int fd) {
  DevWatch *dev = static_cast<DevWatch *>(calloc(1, sizeof(DevWatch)));
  if (!dev) return -1;
  Poll_Init(&dev->poll, Dev_Input, DevWatch_Release);
  dev->backend = &kDevBackendPlain;
  dev->poll.fd = fd;
  Fd_SetNonBlocking(fd);  // Dev_Input reads until the descriptor runs dry
  if (Poll_Add(&dev->poll) != 0) {
    free(dev);  // the caller keeps its descriptor
    return -1;
  }
  Poll_SetEvents(&dev->poll, POLLIN);
  g_settings.devFd = fd;
  s_output = dev;
  g_settings.devSegments = false;
  return 0;
}

void Dev_OutputReady(DevWatch *dev) {
  while (DevOutFrame *f = dev->outHead) {
    if (!DevOut_Write(dev, f->Bytes(), f->len, f->gsoSize)) {
      DevOut_Wait(dev);
      return;
    }
    dev->outHead = f->next;
    if (!dev->outHead) dev->outTail = nullptr;
    dev->outFrames--;
    dev->outBytes -= f->len;
    free(f);
  }
  DevOut_Watch(dev, nullptr);
}

uint64_t Dev_OutputDrops() { return s_output ? s_output->outDropped : 0; }

void Dev_Input(PollEntry *entry, struct pollfd *slot) {
  DevWatch *dev = static_cast<DevWatch *>(entry->owner);
  if (slot->revents & POLLOUT) Dev_OutputReady(dev);
  if (!(slot->revents & POLLIN)) return;
  uint8_t frame[kDevReadMax];
  // Bounded, so that host sockets and timers are served between batches
  // however fast the guests send. A read that fails (EAGAIN: nothing more
  // queued) or returns nothing ends the batch; the next readiness event
  // brings the rest.
  for (int i = 0; i < kDevBatchMax && !dev->poll.removing; ++i) {
    ssize_t n = dev->backend->read(dev, frame, sizeof frame);
    if (n <= 0) break;
    Pcap_Frame(frame, size_t(n));
    if (n > ssize_t(kEthHdrLen)) Dev_InputFrame(frame, size_t(n));
  }
  Tcp_FlushPending();
}

void Dev_InputFrame(const uint8_t *frame, size_t len) {
  if (len <= kEthHdrLen) return;
  if (!SourceAccepted(frame + 6)) return;
  uint32_t pktType = PacketType(frame);
  if (pktType == kPktOtherHost) return;
  size_t hdrLen;
  uint32_t protocol;
  if (!Decapsulate(frame, len, &hdrLen, &protocol)) return;
  if (protocol != kEtherTypeIp && protocol != kEtherTypeArp) return;

  SkBuff *skb = SkBuff_Alloc(uint32_t(len));
  if (!skb) return;
  memcpy(SkBuff_Put(skb, uint32_t(len)), frame, len);
  skb->linkHdr = skb->data;
  skb->pktType = pktType;
  if (SkBuff_Pull(skb, uint32_t(hdrLen))) {
    skb->networkHdr = skb->data;
    if (Dev_DeliverHook)
      Dev_DeliverHook(uint16_t(protocol), skb);
    else if (protocol == kEtherTypeIp)
      Ip_Input(skb);
    else
      Arp_Input(skb);
  }
  SkBuff_Free(skb);
}

void Eth_Output(SkBuff *skb, const uint8_t dstMac[6], uint16_t etherType) {
  uint8_t *eth = SkBuff_Push(skb, kEthHdrLen);
  memcpy(eth, dstMac, 6);
  memcpy(eth + 6, g_settings.gatewayMac, 6);
  Wire_Put16(eth + 12, etherType);
  if (s_output && s_output->poll.fd == g_settings.devFd) {
    // Behind waiting frames a frame waits too, so that order is kept.
    DevWatch *dev = s_output;
    if (dev->outHead) {
      DevOut_Append(dev, skb->data, skb->len, skb->gsoSize);
    } else if (!DevOut_Write(dev, skb->data, skb->len, skb->gsoSize)) {
      DevOut_Append(dev, skb->data, skb->len, skb->gsoSize);
      if (dev->outHead) DevOut_Wait(dev);
    }
  } else if (g_settings.devFd >= 0) {
    if (write(g_settings.devFd, skb->data, skb->len) >= 0) Pcap_Frame(skb->data, skb->len);
  }
}
