// Device backends (private to the device layer and its tests).
//
// The daemon talks to its virtual network through one of three backends,
// chosen by the device name given to Dev_Open:
//   "tap:NAME"   a Linux TAP interface (created when missing); with [host]
//                tapOffload = 1 (natd's own addition) every frame carries a
//                virtio-net header both ways and natd may write one large
//                TCP packet that the kernel cuts into segments; offloads for
//                the read direction stay off, so frames read are whole
//                segments with their checksums;
//   "unix:PATH"  a UNIX datagram socket bound at PATH, one frame per datagram,
//                frames written to the peer that last sent one;
//   anything else: a path to the character device of the virtual switch,
//                configured with its four ioctl requests.
// Each backend performs the same five steps in the same order (open,
// version, set MAC, set flags, get MAC), so Dev_Open reports the same
// messages and statuses whichever backend is in use. Descriptors handed over
// with Dev_Attach use the plain backend (read/write one frame per call).
//
// Frames the device cannot take yet (a write failing with EAGAIN) wait in
// the record's output queue, bounded by Dev_OutputLimits, and are written in
// order once the backend's write watch reports POLLOUT.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include "core/poll.h"

struct SkBuff;
struct DevBackend;
struct DevOutFrame;  // a frame waiting for the device (dev.cpp)
struct DevProbe;

/// The device's poll record. `poll` comes first (the poll owner pointer is
/// the record). Backend state lives here as well.
struct DevWatch {
  PollEntry poll;
  const DevBackend *backend;
  char ifName[16];              // tap: the interface name (IFNAMSIZ)
  bool vnetHdr;                 // tap: every frame carries a virtio-net header
  bool macSet;                  // tap/unix: a MAC was stored by set-MAC
  uint8_t mac[6];               // tap/unix: the stored gateway MAC
  struct sockaddr_un peer;      // unix: the peer that last sent a frame
  socklen_t peerLen;            // unix: 0 while no peer is known
  char *boundPath;              // unix: malloc'd socket path, removed on release
  DevProbe *probe;              // unix: writability probe, created on demand

  DevOutFrame *outHead;         // frames waiting for the device, oldest first
  DevOutFrame *outTail;
  size_t outFrames;             // frames and bytes in the queue
  size_t outBytes;
  uint64_t outDropped;          // frames lost: queue full, or nothing to wait on
  PollEntry *outWatch;          // the entry that has POLLOUT requested, if any
};

/// unix: a socket connected to the peer and never written. The bound
/// socket sends with sendto and is not connected, so its own POLLOUT only
/// tells about its send buffer; the connected probe's POLLOUT also waits
/// until the peer's receive queue has room. Released with its device.
struct DevProbe {
  PollEntry poll;
  DevWatch *dev;                // nullptr once the device is gone
  struct sockaddr_un peer;      // the address the probe is connected to
  socklen_t peerLen;            // 0: not connected
};

/// One backend: every step returns 0 on success or -1 with errno set.
struct DevBackend {
  /// Opens the device named `arg` (the name with any "tap:"/"unix:" prefix
  /// removed); returns the descriptor or -1.
  int (*open)(DevWatch *dev, const char *arg);
  /// Interface version into *version (must be 3); -1 when the request fails.
  int (*version)(DevWatch *dev, int *version);
  int (*setMac)(DevWatch *dev, const uint8_t mac[6]);
  int (*setFlags)(DevWatch *dev);
  int (*getMac)(DevWatch *dev, uint8_t mac[6]);
  /// One frame into `buf` (at most `size` bytes); bytes read or -1.
  ssize_t (*read)(DevWatch *dev, uint8_t *buf, size_t size);
  /// One frame; bytes written, or -1 with errno (EAGAIN: try again later).
  /// A nonzero `gsoSize` (only where g_settings.devSegments was set) asks the
  /// device to cut the frame's TCP packet into segments of that payload size
  /// and to fill in their checksums.
  ssize_t (*write)(DevWatch *dev, const uint8_t *buf, size_t len, uint32_t gsoSize);
  /// Called after a write failed with EAGAIN: the poll entry whose POLLOUT
  /// tells that the device takes frames again, or nullptr when there is
  /// none (the waiting frames are then lost).
  PollEntry *(*writeWatch)(DevWatch *dev);
};

extern const DevBackend kDevBackendChar;
extern const DevBackend kDevBackendTap;
extern const DevBackend kDevBackendUnix;
extern const DevBackend kDevBackendPlain;

/// Writes the queued frames, oldest first, until the device blocks again
/// (the write watch is re-armed) or the queue is empty (POLLOUT withdrawn).
/// Called on POLLOUT of the write watch.
void Dev_OutputReady(DevWatch *dev);

/// Cuts the device's probe loose and removes it (device release).
void DevProbe_Detach(DevWatch *dev);

/// Bounds of each device's output queue: a frame that would exceed either
/// is dropped and counted in outDropped.
struct DevOutputLimits {
  size_t frames;
  size_t bytes;
};
extern DevOutputLimits Dev_OutputLimits;

/// Picks the backend for `name` and sets *arg to the part after the prefix.
const DevBackend *DevBackend_Select(const char *name, const char **arg);

// ---- Test seams ---------------------------------------------------------

/// System calls of the character-device backend. Tests replace them to
/// observe the requests; the defaults call open(2) and ioctl(2).
struct DevCharSys {
  int (*open)(const char *path, int flags);
  int (*ioctl)(int fd, unsigned long request, void *arg);
};
extern DevCharSys Dev_CharSys;

/// Ioctl request codes of the character device.
constexpr unsigned long kDevIoctlVersion = 0xC00499E0;
constexpr unsigned long kDevIoctlSetMac = 0x99F6;
constexpr unsigned long kDevIoctlSetFlags = 0x8914;
constexpr unsigned long kDevIoctlGetMac = 0x8915;
constexpr uint32_t kDevIfFlags = 0x203;      // up, broadcast, all-multicast
constexpr int kDevModuleVersion = 3;

/// Receives the frames that Dev_InputFrame would hand to Ip_Input
/// (0x0800) or Arp_Input (0x0806) when set; nullptr restores the real
/// handlers. The buffer is borrowed for the call.
using DevDeliverFn = void (*)(uint16_t protocol, SkBuff *skb);
extern DevDeliverFn Dev_DeliverHook;

/// The MAC that Dev_Open would set (MAC file first, then [host] MAC):
/// true and `mac` filled, or false when the device keeps its own.
bool Dev_ChooseMac(uint8_t mac[6]);
