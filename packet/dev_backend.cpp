// Device backends: the character device of the virtual switch (four ioctl
// requests), a Linux TAP interface and a UNIX datagram socket, plus the
// plain descriptor used by Dev_Attach. Each backend only moves frames and
// answers the five configuration steps; Dev_Open in dev.cpp owns the order,
// the messages and the exit statuses. Backend state lives in the DevWatch
// record (stored MAC, TAP interface name, UNIX peer). Each backend also
// names the poll entry to wait on when a write would block: the device's
// own entry, or for the UNIX socket a probe connected to the peer.
#include "packet/dev_backend.h"

#include "core/settings.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

int SysOpen(const char *path, int flags) { return ::open(path, flags); }
int SysIoctl(int fd, unsigned long request, void *arg) { return ::ioctl(fd, request, arg); }

// ---- character device ---------------------------------------------------

int CharOpen(DevWatch *, const char *path) {
  return Dev_CharSys.open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
}

int CharVersion(DevWatch *dev, int *version) {
  // The module answers in bytes 2-3 of the word (host byte order).
  uint32_t word = 0x00030000;
  if (Dev_CharSys.ioctl(dev->poll.fd, kDevIoctlVersion, &word) < 0) return -1;
  uint16_t v;
  memcpy(&v, reinterpret_cast<uint8_t *>(&word) + 2, 2);
  *version = v;
  return 0;
}

int CharSetMac(DevWatch *dev, const uint8_t mac[6]) {
  uint8_t arg[16] = {};
  const uint32_t one = 1;
  memcpy(arg, &one, 4);
  memcpy(arg + 4, mac, 6);
  memcpy(arg + 12, &one, 4);
  return Dev_CharSys.ioctl(dev->poll.fd, kDevIoctlSetMac, arg) == 0 ? 0 : -1;
}

int CharSetFlags(DevWatch *dev) {
  uint32_t flags = kDevIfFlags;
  return Dev_CharSys.ioctl(dev->poll.fd, kDevIoctlSetFlags, &flags) == 0 ? 0 : -1;
}

int CharGetMac(DevWatch *dev, uint8_t mac[6]) {
  return Dev_CharSys.ioctl(dev->poll.fd, kDevIoctlGetMac, mac) == 0 ? 0 : -1;
}

ssize_t FdRead(DevWatch *dev, uint8_t *buf, size_t size) { return ::read(dev->poll.fd, buf, size); }
ssize_t FdWrite(DevWatch *dev, const uint8_t *buf, size_t len, uint32_t) {
  return ::write(dev->poll.fd, buf, len);
}

// A descriptor that refuses a frame becomes writable again on its own.
PollEntry *OwnWatch(DevWatch *dev) { return &dev->poll; }

// ---- shared by TAP and UNIX: the stored MAC -----------------------------

int StoredVersion(DevWatch *, int *version) {
  *version = kDevModuleVersion;
  return 0;
}

int StoreMac(DevWatch *dev, const uint8_t mac[6]) {
  memcpy(dev->mac, mac, 6);
  dev->macSet = true;
  return 0;
}

// Without a stored MAC the backend invents one in 02:4E:A1:00:00:00 to
// 02:4E:A1:3F:FF:FF, as an adapter of the switch has its own.
int StoredGetMac(DevWatch *dev, uint8_t mac[6]) {
  if (!dev->macSet) {
    dev->mac[0] = 0x02;
    dev->mac[1] = 0x4E;
    dev->mac[2] = 0xA1;
    dev->mac[3] = uint8_t(rand() & 0x3F);
    dev->mac[4] = uint8_t(rand() & 0xFF);
    dev->mac[5] = uint8_t(rand() & 0xFF);
    dev->macSet = true;
  }
  memcpy(mac, dev->mac, 6);
  return 0;
}

// ---- TAP ----------------------------------------------------------------

// The virtio-net header in front of each frame with IFF_VNET_HDR (host byte
// order, the TAP's default).
struct VnetHdr {
  uint8_t flags;        // 1: the checksum at csumStart + csumOffset is partial
  uint8_t gsoType;      // 0: none, 1: TCP over IPv4
  uint16_t hdrLen;      // Ethernet, IP and TCP headers
  uint16_t gsoSize;     // payload bytes per segment
  uint16_t csumStart;   // where the checksummed bytes start (the TCP header)
  uint16_t csumOffset;  // the checksum field within them
};
static_assert(sizeof(VnetHdr) == 10);
constexpr uint8_t kVnetNeedsCsum = 1, kVnetGsoNone = 0, kVnetGsoTcp4 = 1;

int TapOpen(DevWatch *dev, const char *ifName) {
  if (strlen(ifName) == 0 || strlen(ifName) >= IFNAMSIZ) {
    errno = EINVAL;
    return -1;
  }
  int fd = ::open("/dev/net/tun", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct ifreq ifr;
  memset(&ifr, 0, sizeof ifr);
  memcpy(ifr.ifr_name, ifName, strlen(ifName));
  ifr.ifr_flags = IFF_TAP | IFF_NO_PI;
  if (g_settings.tapOffload) ifr.ifr_flags |= IFF_VNET_HDR;
  // No offload for frames read: the kernel hands over whole segments with
  // their checksums (the header of a frame read is only stripped).
  if (::ioctl(fd, TUNSETIFF, &ifr) < 0 || (g_settings.tapOffload && ::ioctl(fd, TUNSETOFFLOAD, 0) < 0)) {
    int err = errno;
    ::close(fd);
    errno = err;
    return -1;
  }
  memcpy(dev->ifName, ifr.ifr_name, sizeof dev->ifName);
  dev->ifName[sizeof dev->ifName - 1] = 0;
  dev->vnetHdr = g_settings.tapOffload != 0;
  return fd;
}

// With the virtio-net header: a frame read arrives behind one, which is
// dropped; a frame whose header asks for segmentation (the offloads are
// off, so the kernel should never send one) is refused as empty.
ssize_t TapRead(DevWatch *dev, uint8_t *buf, size_t size) {
  if (!dev->vnetHdr) return ::read(dev->poll.fd, buf, size);
  VnetHdr hdr;
  iovec iov[2] = {{&hdr, sizeof hdr}, {buf, size}};
  ssize_t n = ::readv(dev->poll.fd, iov, 2);
  if (n < 0) return n;
  if (size_t(n) < sizeof hdr) return 0;
  return hdr.gsoType == kVnetGsoNone ? n - ssize_t(sizeof hdr) : 0;
}

// Every frame written gets a header; a large TCP packet (gsoSize nonzero)
// gets the segment size, its headers' length and where the checksum the
// kernel completes lies (Ethernet, IPv4 with options, TCP with options).
ssize_t TapWrite(DevWatch *dev, const uint8_t *buf, size_t len, uint32_t gsoSize) {
  if (!dev->vnetHdr) return ::write(dev->poll.fd, buf, len);
  VnetHdr hdr{};
  size_t l3 = 14, l4 = len > l3 ? l3 + (buf[l3] & 0x0F) * 4u : 0;
  if (gsoSize && len >= l4 + 20) {
    hdr.flags = kVnetNeedsCsum;
    hdr.gsoType = kVnetGsoTcp4;
    hdr.gsoSize = uint16_t(gsoSize);
    hdr.csumStart = uint16_t(l4);
    hdr.csumOffset = 16;
    hdr.hdrLen = uint16_t(l4 + (buf[l4 + 12] >> 4) * 4u);
  }
  iovec iov[2] = {{&hdr, sizeof hdr}, {const_cast<uint8_t *>(buf), len}};
  ssize_t n = ::writev(dev->poll.fd, iov, 2);
  return n < 0 ? n : n - ssize_t(sizeof hdr);
}

// Brings the interface up (adding the broadcast and all-multicast flags).
int TapSetFlags(DevWatch *dev) {
  int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return -1;
  struct ifreq ifr;
  memset(&ifr, 0, sizeof ifr);
  memcpy(ifr.ifr_name, dev->ifName, sizeof dev->ifName);
  int rc = ::ioctl(s, SIOCGIFFLAGS, &ifr);
  if (rc == 0) {
    ifr.ifr_flags = short(ifr.ifr_flags | IFF_UP | IFF_BROADCAST | IFF_ALLMULTI);
    rc = ::ioctl(s, SIOCSIFFLAGS, &ifr);
  }
  int err = errno;
  ::close(s);
  errno = err;
  return rc == 0 ? 0 : -1;
}

// ---- UNIX datagram socket -----------------------------------------------

int UnixOpen(DevWatch *dev, const char *path) {
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  size_t len = strlen(path);
  if (len == 0 || len >= sizeof addr.sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path, path, len);
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  // An old socket file at the path is replaced; any other file is kept and
  // makes bind fail.
  struct stat st;
  if (::lstat(path, &st) == 0 && S_ISSOCK(st.st_mode)) ::unlink(path);
  if (::bind(fd, reinterpret_cast<struct sockaddr *>(&addr),
             socklen_t(offsetof(struct sockaddr_un, sun_path) + len + 1)) < 0) {
    int err = errno;
    ::close(fd);
    errno = err;
    return -1;
  }
  dev->boundPath = strdup(path);  // best effort: without it the file stays
  return fd;
}

int NoFlags(DevWatch *) { return 0; }

// Remembers the sender so that replies go back to it; an unbound sender
// cannot be answered and leaves the known peer unchanged.
ssize_t UnixRead(DevWatch *dev, uint8_t *buf, size_t size) {
  struct sockaddr_un from;
  socklen_t fromLen = sizeof from;
  ssize_t n = ::recvfrom(dev->poll.fd, buf, size, 0, reinterpret_cast<struct sockaddr *>(&from),
                         &fromLen);
  if (n >= 0 && fromLen > offsetof(struct sockaddr_un, sun_path) && fromLen <= sizeof from) {
    dev->peer = from;
    dev->peerLen = fromLen;
  }
  return n;
}

ssize_t UnixWrite(DevWatch *dev, const uint8_t *buf, size_t len, uint32_t) {
  if (dev->peerLen == 0) {
    errno = ENOTCONN;
    return -1;
  }
  return ::sendto(dev->poll.fd, buf, len, MSG_DONTWAIT,
                  reinterpret_cast<const struct sockaddr *>(&dev->peer), dev->peerLen);
}

void ProbeEvent(PollEntry *entry, struct pollfd *slot) {
  DevProbe *probe = static_cast<DevProbe *>(entry->owner);
  if (probe->dev && (slot->revents & (POLLOUT | POLLERR | POLLHUP))) Dev_OutputReady(probe->dev);
}

void ProbeRelease(PollEntry *entry) {
  DevProbe *probe = static_cast<DevProbe *>(entry->owner);
  if (probe->poll.fd >= 0) ::close(probe->poll.fd);
  if (probe->dev && probe->dev->probe == probe) probe->dev->probe = nullptr;
  if (probe->dev && probe->dev->outWatch == &probe->poll) probe->dev->outWatch = nullptr;
  free(probe);
}

// A sendto that would block means either that the bound socket's own send
// buffer is full (its POLLOUT tells when that clears) or that the peer's
// receive queue is (only a socket connected to the peer is told when that
// clears: the probe, connected to the current peer on demand).
PollEntry *UnixWriteWatch(DevWatch *dev) {
  struct pollfd self = {dev->poll.fd, POLLOUT, 0};
  if (::poll(&self, 1, 0) == 0) return &dev->poll;
  if (dev->peerLen == 0) return nullptr;
  DevProbe *probe = dev->probe;
  if (!probe) {
    probe = static_cast<DevProbe *>(calloc(1, sizeof(DevProbe)));
    if (!probe) return nullptr;
    Poll_Init(&probe->poll, ProbeEvent, ProbeRelease);
    probe->poll.fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (probe->poll.fd < 0 || Poll_Add(&probe->poll) != 0) {
      ProbeRelease(&probe->poll);
      return nullptr;
    }
    probe->dev = dev;
    dev->probe = probe;
  }
  if (probe->peerLen != dev->peerLen || memcmp(&probe->peer, &dev->peer, dev->peerLen) != 0) {
    probe->peerLen = 0;
    if (::connect(probe->poll.fd, reinterpret_cast<const struct sockaddr *>(&dev->peer),
                  dev->peerLen) != 0)
      return nullptr;
    probe->peer = dev->peer;
    probe->peerLen = dev->peerLen;
  }
  return &probe->poll;
}

int NoOpen(DevWatch *, const char *) {
  errno = EBADF;
  return -1;
}

}  // namespace

DevCharSys Dev_CharSys = {SysOpen, SysIoctl};

const DevBackend kDevBackendChar = {CharOpen, CharVersion, CharSetMac, CharSetFlags,
                                    CharGetMac, FdRead, FdWrite, OwnWatch};
const DevBackend kDevBackendTap = {TapOpen, StoredVersion, StoreMac, TapSetFlags,
                                   StoredGetMac, TapRead, TapWrite, OwnWatch};
const DevBackend kDevBackendUnix = {UnixOpen, StoredVersion, StoreMac, NoFlags,
                                    StoredGetMac, UnixRead, UnixWrite, UnixWriteWatch};
const DevBackend kDevBackendPlain = {NoOpen, StoredVersion, StoreMac, NoFlags,
                                     StoredGetMac, FdRead, FdWrite, OwnWatch};

void DevProbe_Detach(DevWatch *dev) {
  if (!dev->probe) return;
  dev->probe->dev = nullptr;
  Poll_Remove(&dev->probe->poll);
  dev->probe = nullptr;
}

const DevBackend *DevBackend_Select(const char *name, const char **arg) {
  if (strncmp(name, "tap:", 4) == 0) {
    *arg = name + 4;
    return &kDevBackendTap;
  }
  if (strncmp(name, "unix:", 5) == 0) {
    *arg = name + 5;
    return &kDevBackendUnix;
  }
  *arg = name;
  return &kDevBackendChar;
}
