// Device layer: classification of crafted frames read through a socket pair
// attached with Dev_Attach, Eth_Output framing, the character-device
// backend through its open/ioctl seam, the UNIX datagram backend, and the
// rules that choose the gateway MAC (MAC file, [host] MAC key).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/main.h"
#include "core/poll.h"
#include "packet/dev.h"
#include "packet/dev_backend.h"
#include "packet/skbuff.h"
#include "packet/wire.h"
#include "unit/capture.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Mac = std::array<uint8_t, 6>;

const Mac kGatewayMac = {0x02, 0x4E, 0xA1, 0x11, 0x22, 0x33};
const Mac kHostMac = {0x02, 0x4E, 0xA1, 0xC0, 0x00, 0x08};
const Mac kGuestMac = {0x02, 0x4E, 0xA1, 0x01, 0x02, 0x03};
const Mac kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

struct Delivery {
  uint16_t protocol;
  uint32_t pktType;
  size_t networkOffset;  // network header minus link header
  Bytes payload;         // data .. tail
};
std::vector<Delivery> g_delivered;

void Capture(uint16_t protocol, SkBuff *skb) {
  g_delivered.push_back({protocol, skb->pktType, size_t(skb->networkHdr - skb->linkHdr),
                         Bytes(skb->data, skb->data + skb->len)});
}

Bytes Frame(const Mac &dst, const Mac &src, uint16_t typeOrLen, const Bytes &rest) {
  Bytes f(dst.begin(), dst.end());
  f.insert(f.end(), src.begin(), src.end());
  f.push_back(uint8_t(typeOrLen >> 8));
  f.push_back(uint8_t(typeOrLen));
  f.insert(f.end(), rest.begin(), rest.end());
  return f;
}


class DevTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Settings_Reset();
    memcpy(g_settings.gatewayMac, kGatewayMac.data(), 6);
    memcpy(g_settings.hostMac, kHostMac.data(), 6);
    char tmpl[] = "/tmp/natd-dev-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    savedConfig_ = Config_Path;
    Config_Path = dir_ + "/nat.conf";
    g_settings.macFilePath = dir_ + "/mac";
    g_delivered.clear();
    Dev_DeliverHook = Capture;
  }
  void TearDown() override {
    Poll_RemoveAll();
    Dev_DeliverHook = nullptr;
    EXPECT_EQ(Poll_ActiveCount(), 0u);
    EXPECT_EQ(SkBuff_LiveCount(), 0);
    EXPECT_EQ(g_settings.devFd, -1) << "releasing the device forgets its descriptor";
    if (guest_ >= 0) close(guest_);
    Config_Path = savedConfig_;
    std::string cmd = "rm -rf " + dir_;
    EXPECT_EQ(system(cmd.c_str()), 0);
  }

  void Attach() {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, sv), 0);
    Fd_SetNonBlocking(sv[0]);
    ASSERT_EQ(Dev_Attach(sv[0]), 0);
    guest_ = sv[1];
  }

  // Sends a frame from the guest end and runs one pass of the loop.
  void Send(const Bytes &frame) {
    ASSERT_EQ(write(guest_, frame.data(), frame.size()), ssize_t(frame.size()));
    Poll_RunOnce(100);
  }

  void WriteFile(const std::string &path, const std::string &text) {
    FILE *f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs(text.c_str(), f);
    fclose(f);
  }

  std::string dir_;
  std::string savedConfig_;
  int guest_ = -1;
};

Bytes Payload(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(0x40 + i);
  return b;
}

// ---------------------------------------------------------------- filters

struct FilterCase {
  const char *name;
  Mac dst;
  Mac src;
  int allowAnyOUI;
  bool delivered;
  uint32_t pktType;
};

TEST_F(DevTest, SourceFilterAndPacketType) {
  const Mac otherGuest = {0x02, 0x7D, 0x33, 0x12, 0x34, 0x56};
  const Mac foreign = {0x0A, 0x00, 0x00, 0x12, 0x34, 0x56};
  const Mac hostAdapter = {0x02, 0x4E, 0xA1, 0xC0, 0x00, 0x01};
  const Mac multicastSrc = {0x03, 0x4E, 0xA1, 0x01, 0x02, 0x03};
  const Mac otherStation = {0x02, 0x4E, 0xA1, 0x99, 0x99, 0x99};
  const Mac multicastDst = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};
  const FilterCase cases[] = {
      {"guest to gateway", kGatewayMac, kGuestMac, 0, true, kPktHost},
      {"second guest prefix", kGatewayMac, otherGuest, 0, true, kPktHost},
      {"foreign prefix", kGatewayMac, foreign, 0, false, 0},
      {"foreign prefix allowed", kGatewayMac, foreign, 1, true, kPktHost},
      {"host MAC", kGatewayMac, kHostMac, 1, false, 0},
      {"host adapter", kGatewayMac, hostAdapter, 1, false, 0},
      {"multicast source", kGatewayMac, multicastSrc, 1, false, 0},
      {"other station", otherStation, kGuestMac, 0, false, 0},
      {"broadcast", kBroadcast, kGuestMac, 0, true, kPktBroadcast},
      {"multicast", multicastDst, kGuestMac, 0, true, kPktMulticast},
  };
  Attach();
  for (const FilterCase &c : cases) {
    SCOPED_TRACE(c.name);
    g_delivered.clear();
    g_settings.allowAnyOUI = c.allowAnyOUI;
    Send(Frame(c.dst, c.src, kEtherTypeIp, Payload(20)));
    if (!c.delivered) {
      EXPECT_TRUE(g_delivered.empty());
      continue;
    }
    ASSERT_EQ(g_delivered.size(), 1u);
    EXPECT_EQ(g_delivered[0].protocol, kEtherTypeIp);
    EXPECT_EQ(g_delivered[0].pktType, c.pktType);
    EXPECT_EQ(g_delivered[0].networkOffset, 14u);
    EXPECT_EQ(g_delivered[0].payload, Payload(20));
  }
}

// -------------------------------------------------------------- framings

struct FramingCase {
  const char *name;
  uint16_t typeOrLen;
  Bytes afterType;
  bool delivered;
  uint16_t protocol;
  size_t headerLen;
};

TEST_F(DevTest, FramingsAndShortFrames) {
  Bytes llcIp = {0x06, 0x06, 0x03, 0xAB, 0xCD};
  const FramingCase cases[] = {
      {"Ethernet II ARP", 0x0806, {1, 2, 3, 4}, true, kEtherTypeArp, 14},
      {"Ethernet II, one byte", 0x0800, {0x45}, true, kEtherTypeIp, 14},
      {"Ethernet II, unknown type", 0x86DD, {1, 2, 3, 4}, false, 0, 0},
      {"802.2 LLC 06 06 03", 100, llcIp, true, kEtherTypeIp, 17},
      {"length 1532 is 802.3", 1532, llcIp, true, kEtherTypeIp, 17},
      {"type 1533 is Ethernet II", 1533, llcIp, false, 0, 0},
      {"type 1535 is Ethernet II", 1535, llcIp, false, 0, 0},
      {"802.2 LLC 06 06 F3 has no protocol", 100, {0x06, 0x06, 0xF3, 1, 2}, false, 0, 0},
      {"802.2 LLC E0 E0 03 is IPX", 100, {0xE0, 0xE0, 0x03, 1, 2}, false, 0, 0},
      {"raw 802.3 is IPX", 100, {0xFF, 0xFF, 1, 2, 3}, false, 0, 0},
      {"SNAP OUI 0 ARP", 100, {0xAA, 0xAA, 0x03, 0, 0, 0, 0x08, 0x06, 9, 8}, true, kEtherTypeArp,
       22},
      {"SNAP OUI 0 IPv4", 100, {0xAA, 0xAA, 0x03, 0, 0, 0, 0x08, 0x00, 9}, true, kEtherTypeIp, 22},
      {"SNAP other OUI", 100, {0xAA, 0xAA, 0x03, 0x00, 0x00, 0xF8, 0x08, 0x00, 9}, false, 0, 0},
      {"SNAP first OUI byte set", 100, {0xAA, 0xAA, 0x03, 0x01, 0, 0, 0x08, 0x00, 9}, false, 0, 0},
      {"SNAP header cut short", 100, {0xAA, 0xAA, 0x03, 0, 0, 0, 0x08}, false, 0, 0},
      {"802.3 with two bytes", 100, {0x06, 0x06}, false, 0, 0},
      {"802.3 with one byte", 100, {0x06}, false, 0, 0},
      {"LLC 06 06 03 without data", 100, {0x06, 0x06, 0x03}, true, kEtherTypeIp, 17},
  };
  Attach();
  for (const FramingCase &c : cases) {
    SCOPED_TRACE(c.name);
    g_delivered.clear();
    Bytes frame = Frame(kGatewayMac, kGuestMac, c.typeOrLen, c.afterType);
    Send(frame);
    if (!c.delivered) {
      EXPECT_TRUE(g_delivered.empty());
      continue;
    }
    ASSERT_EQ(g_delivered.size(), 1u);
    EXPECT_EQ(g_delivered[0].protocol, c.protocol);
    EXPECT_EQ(g_delivered[0].networkOffset, c.headerLen);
    EXPECT_EQ(g_delivered[0].payload, Bytes(frame.begin() + long(c.headerLen), frame.end()));
  }
}

TEST_F(DevTest, FourteenByteFrameIsIgnored) {
  Attach();
  Send(Frame(kGatewayMac, kGuestMac, kEtherTypeIp, {}));
  EXPECT_TRUE(g_delivered.empty());
  Dev_InputFrame(Frame(kGatewayMac, kGuestMac, kEtherTypeIp, {}).data(), 14);
  Dev_InputFrame(Frame(kGatewayMac, kGuestMac, kEtherTypeIp, {}).data(), 3);
  EXPECT_TRUE(g_delivered.empty());
  // The next frame is read on its own: one frame per read.
  Send(Frame(kGatewayMac, kGuestMac, kEtherTypeIp, {0x45}));
  ASSERT_EQ(g_delivered.size(), 1u);
  EXPECT_EQ(g_delivered[0].payload, Bytes{0x45});
}

// A readiness event reads the frames queued on the device in batches of at
// most 64, in order; frames of 14 bytes or less are skipped without ending
// the batch, and an empty device ends it.
TEST_F(DevTest, FramesAreReadInBoundedBatches) {
  Attach();
  const int kFrames = 100;
  for (int i = 0; i < kFrames; ++i) {
    Bytes f = i % 10 == 5 ? Frame(kGatewayMac, kGuestMac, kEtherTypeIp, {})
                          : Frame(kGatewayMac, kGuestMac, kEtherTypeIp, {uint8_t(i)});
    ASSERT_EQ(write(guest_, f.data(), f.size()), ssize_t(f.size()));
  }
  Poll_RunOnce(100);
  ASSERT_EQ(g_delivered.size(), 64u - 6u) << "frames 0..63 less the six short ones";
  Poll_RunOnce(100);
  ASSERT_EQ(g_delivered.size(), size_t(kFrames - 10));
  int want = 0;
  for (const Delivery &d : g_delivered) {
    if (want % 10 == 5) ++want;
    EXPECT_EQ(d.payload, Bytes{uint8_t(want)});
    ++want;
  }
  Poll_RunOnce(0);
  EXPECT_EQ(g_delivered.size(), size_t(kFrames - 10)) << "nothing left to read";
}

// ------------------------------------------------------------------ output

TEST_F(DevTest, EthOutputPrependsHeaderAndWritesOnce) {
  Attach();
  SkBuff *skb = SkBuff_Alloc(64);
  ASSERT_NE(skb, nullptr);
  SkBuff_Reserve(skb, 14);
  memcpy(SkBuff_Put(skb, 5), "\x01\x02\x03\x04\x05", 5);
  const Mac dst = {0x02, 0x7D, 0x33, 0xAA, 0xBB, 0xCC};
  Eth_Output(skb, dst.data(), kEtherTypeArp);
  EXPECT_EQ(skb->len, 19u) << "the header stays pushed in the caller's buffer";
  SkBuff_Free(skb);

  uint8_t buf[128];
  ssize_t n = recv(guest_, buf, sizeof buf, MSG_DONTWAIT);
  ASSERT_EQ(n, 19) << "no padding to the Ethernet minimum";
  Bytes expect = Frame(dst, kGatewayMac, kEtherTypeArp, {1, 2, 3, 4, 5});
  EXPECT_EQ(Bytes(buf, buf + n), expect);
  EXPECT_EQ(recv(guest_, buf, sizeof buf, MSG_DONTWAIT), -1) << "exactly one write";
}

// ------------------------------------------------------------ MAC choice

TEST_F(DevTest, MacFileAndKeyRules) {
  struct Case {
    const char *name;
    const char *file;    // nullptr: no MAC file
    const char *config;  // configuration file text
    bool chosen;
    Mac mac;
  };
  const Case cases[] = {
      {"file between blanks", " \t02:4E:A1:12:34:56  \n", "", true,
       {0x02, 0x4E, 0xA1, 0x12, 0x34, 0x56}},
      {"file: first line that parses", "junk\n\n00:11:22:aa:bb:cc\n02:4E:A1:00:00:01\n", "", true,
       {0x00, 0x11, 0x22, 0xAA, 0xBB, 0xCC}},
      {"file wins over key", "02:4E:A1:00:00:02\n", "[host]\nMAC = 02:4E:A1:00:00:03\n", true,
       {0x02, 0x4E, 0xA1, 0x00, 0x00, 0x02}},
      {"unparsable file falls back to key", "02-4E-A1-00-00-02\n",
       "[host]\nMAC = 02:4E:A1:3F:FF:FF\n", true, {0x02, 0x4E, 0xA1, 0x3F, 0xFF, 0xFF}},
      {"key at the bottom of the range", nullptr, "[host]\nMAC = 02:4e:a1:00:00:00\n", true,
       {0x02, 0x4E, 0xA1, 0x00, 0x00, 0x00}},
      {"key above the range", nullptr, "[host]\nMAC = 02:4E:A1:40:00:01\n", false, {}},
      {"key with another prefix", nullptr, "[host]\nMAC = 02:4E:A2:00:00:01\n", false, {}},
      {"key that does not parse", nullptr, "[host]\nMAC = 02:4E:A1:00:00\n", false, {}},
      {"no file, no key", nullptr, "[host]\nip = 10.0.0.1\n", false, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    unlink(g_settings.macFilePath.c_str());
    if (c.file) WriteFile(g_settings.macFilePath, c.file);
    WriteFile(Config_Path, c.config);
    uint8_t mac[6] = {};
    bool chosen = Dev_ChooseMac(mac);
    EXPECT_EQ(chosen, c.chosen);
    if (c.chosen) {
      EXPECT_EQ(Mac({mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]}), c.mac);
    }
  }
}

// ---------------------------------------------------- character device

struct IoctlCall {
  unsigned long request;
  Bytes arg;
};

struct FakeChar {
  std::vector<IoctlCall> calls;
  std::string openedPath;
  int openFlags = 0;
  int openErrno = 0;          // non-zero: open fails with it
  unsigned long failRequest = 0;
  int failResult = -1;
  uint16_t version = 3;
  Mac mac = {0x02, 0x4E, 0xA1, 0x2A, 0x2B, 0x2C};
  int fd = -1;
  int peer = -1;
} g_fake;

int FakeOpen(const char *path, int flags) {
  g_fake.openedPath = path;
  g_fake.openFlags = flags;
  if (g_fake.openErrno) {
    errno = g_fake.openErrno;
    return -1;
  }
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_DGRAM, 0, sv) != 0) return -1;
  g_fake.fd = sv[0];
  g_fake.peer = sv[1];
  return sv[0];
}

size_t ArgSize(unsigned long request) {
  switch (request) {
    case kDevIoctlVersion: return 4;
    case kDevIoctlSetMac: return 16;
    case kDevIoctlSetFlags: return 4;
    case kDevIoctlGetMac: return 6;
  }
  return 0;
}

int FakeIoctl(int fd, unsigned long request, void *arg) {
  EXPECT_EQ(fd, g_fake.fd);
  uint8_t *p = static_cast<uint8_t *>(arg);
  g_fake.calls.push_back({request, Bytes(p, p + ArgSize(request))});
  if (request == g_fake.failRequest) {
    errno = ENOTTY;
    return g_fake.failResult;
  }
  if (request == kDevIoctlVersion) memcpy(p + 2, &g_fake.version, 2);
  if (request == kDevIoctlGetMac) memcpy(p, g_fake.mac.data(), 6);
  return 0;
}

class DevCharTest : public DevTest {
 protected:
  void SetUp() override {
    DevTest::SetUp();
    saved_ = Dev_CharSys;
    Dev_CharSys = {FakeOpen, FakeIoctl};
    g_fake = FakeChar();
  }
  void TearDown() override {
    Dev_CharSys = saved_;
    if (g_fake.peer >= 0) close(g_fake.peer);
    DevTest::TearDown();
  }
  DevCharSys saved_;
};

TEST_F(DevCharTest, OpenSendsTheFourRequests) {
  WriteFile(g_settings.macFilePath, "02:4E:A1:01:02:03\n");
  std::string err;
  int status = -1;
  err = CaptureStderr([&] { status = Dev_Open("/dev/qlink-test"); });
  ASSERT_EQ(status, 0);
  EXPECT_EQ(err, "");
  EXPECT_EQ(g_fake.openedPath, "/dev/qlink-test");
  EXPECT_EQ(g_fake.openFlags & O_ACCMODE, O_RDWR);
  EXPECT_TRUE(g_fake.openFlags & O_NONBLOCK);
  EXPECT_TRUE(g_fake.openFlags & O_NOCTTY);

  ASSERT_EQ(g_fake.calls.size(), 4u);
  uint32_t preset = 0x00030000;
  EXPECT_EQ(g_fake.calls[0].request, 0xC00499E0ul);
  EXPECT_EQ(g_fake.calls[0].arg, Bytes(reinterpret_cast<uint8_t *>(&preset),
                                       reinterpret_cast<uint8_t *>(&preset) + 4));
  uint32_t one = 1;
  Bytes setMac(16, 0);
  memcpy(setMac.data(), &one, 4);
  const uint8_t mac[6] = {0x02, 0x4E, 0xA1, 0x01, 0x02, 0x03};
  memcpy(setMac.data() + 4, mac, 6);
  memcpy(setMac.data() + 12, &one, 4);
  EXPECT_EQ(g_fake.calls[1].request, 0x99F6ul);
  EXPECT_EQ(g_fake.calls[1].arg, setMac);
  uint32_t flags = 0x203;
  EXPECT_EQ(g_fake.calls[2].request, 0x8914ul);
  EXPECT_EQ(g_fake.calls[2].arg, Bytes(reinterpret_cast<uint8_t *>(&flags),
                                       reinterpret_cast<uint8_t *>(&flags) + 4));
  EXPECT_EQ(g_fake.calls[3].request, 0x8915ul);
  EXPECT_EQ(0, memcmp(g_settings.gatewayMac, g_fake.mac.data(), 6)) << "read back from device";
  EXPECT_EQ(g_settings.devFd, g_fake.fd);
  EXPECT_EQ(Poll_ActiveCount(), 1u);
  ASSERT_EQ(Poll_Used(), 1u);
  EXPECT_EQ(Poll_Slots()[0].fd, g_fake.fd);
  EXPECT_EQ(Poll_Slots()[0].events, POLLIN);

  // Frames written by Eth_Output reach the device descriptor.
  SkBuff *skb = SkBuff_Alloc(32);
  SkBuff_Reserve(skb, 14);
  SkBuff_Put(skb, 1)[0] = 0x99;
  Eth_Output(skb, kBroadcast.data(), kEtherTypeArp);
  SkBuff_Free(skb);
  uint8_t buf[64];
  EXPECT_EQ(recv(g_fake.peer, buf, sizeof buf, MSG_DONTWAIT), 15);
}

TEST_F(DevCharTest, WithoutChosenMacNoSetMacRequest) {
  int status = -1;
  CaptureStderr([&] { status = Dev_Open("/dev/qlink-test"); });
  ASSERT_EQ(status, 0);
  ASSERT_EQ(g_fake.calls.size(), 3u);
  EXPECT_EQ(g_fake.calls[0].request, kDevIoctlVersion);
  EXPECT_EQ(g_fake.calls[1].request, kDevIoctlSetFlags);
  EXPECT_EQ(g_fake.calls[2].request, kDevIoctlGetMac);
}

TEST_F(DevCharTest, EachFailureHasItsMessageAndStatus) {
  struct Case {
    const char *name;
    int openErrno;
    unsigned long failRequest;
    int failResult;
    uint16_t version;
    int status;
    const char *message;
  };
  const Case cases[] = {
      {"open", ENOENT, 0, -1, 3, 119,
       "Cannot open network device `/dev/qlink-test': No such file or directory\n"},
      {"version request", 0, kDevIoctlVersion, -1, 3, 129,
       "Cannot get module qlink version: Inappropriate ioctl for device\n"},
      {"version mismatch", 0, 0, -1, 2, 130,
       "Module version mismatch 2 != 3. Please update host.\n"},
      {"set MAC", 0, kDevIoctlSetMac, 1, 3, 114,
       "`/dev/qlink-test' is not a Zelmor network device (cannot set MAC address)\n"},
      {"set flags", 0, kDevIoctlSetFlags, -1, 3, 116,
       "`/dev/qlink-test' is not a Zelmor network device (cannot set interface flags)\n"},
      {"get MAC", 0, kDevIoctlGetMac, -1, 3, 115,
       "`/dev/qlink-test' is not Zelmor network device (cannot get MAC address)\n"},
  };
  WriteFile(g_settings.macFilePath, "02:4E:A1:01:02:03\n");
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    if (g_fake.peer >= 0) close(g_fake.peer);
    g_fake = FakeChar();
    g_fake.openErrno = c.openErrno;
    g_fake.failRequest = c.failRequest;
    g_fake.failResult = c.failResult;
    g_fake.version = c.version;
    int status = -1;
    std::string err = CaptureStderr([&] { status = Dev_Open("/dev/qlink-test"); });
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(err, c.message);
    EXPECT_EQ(Poll_ActiveCount(), 0u);
    EXPECT_EQ(g_settings.devFd, -1);
    if (g_fake.fd >= 0) {
      EXPECT_EQ(fcntl(g_fake.fd, F_GETFD), -1) << "the descriptor is closed on failure";
    }
  }
}

// ------------------------------------------------------ UNIX datagram

TEST_F(DevTest, UnixBackendAnswersTheLastSender) {
  std::string path = dir_ + "/dev.sock";
  // An old socket file at the path is replaced.
  int old = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strcpy(addr.sun_path, path.c_str());
  ASSERT_EQ(bind(old, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
  close(old);

  srand(7);
  std::string name = "unix:" + path;
  int status = -1;
  std::string err = CaptureStderr([&] { status = Dev_Open(name.c_str()); });
  ASSERT_EQ(status, 0) << err;
  // No MAC chosen: the backend invents one inside 02:4E:A1:00:00:00-3F:FF:FF.
  EXPECT_EQ(g_settings.gatewayMac[0], 0x02);
  EXPECT_EQ(g_settings.gatewayMac[1], 0x4E);
  EXPECT_EQ(g_settings.gatewayMac[2], 0xA1);
  EXPECT_EQ(g_settings.gatewayMac[3] & 0xC0, 0);
  Mac gw;
  memcpy(gw.data(), g_settings.gatewayMac, 6);

  // Nothing is written before a peer is known.
  SkBuff *skb = SkBuff_Alloc(32);
  SkBuff_Reserve(skb, 14);
  SkBuff_Put(skb, 2);
  Eth_Output(skb, kGuestMac.data(), kEtherTypeIp);
  SkBuff_Free(skb);

  int guest = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un mine{};
  mine.sun_family = AF_UNIX;
  std::string guestPath = dir_ + "/guest.sock";
  strcpy(mine.sun_path, guestPath.c_str());
  ASSERT_EQ(bind(guest, reinterpret_cast<sockaddr *>(&mine), sizeof mine), 0);
  uint8_t buf[64];
  EXPECT_EQ(recv(guest, buf, sizeof buf, MSG_DONTWAIT), -1);

  Bytes frame = Frame(gw, kGuestMac, kEtherTypeArp, Payload(28));
  ASSERT_EQ(sendto(guest, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr *>(&addr),
                   sizeof addr),
            ssize_t(frame.size()));
  Poll_RunOnce(100);
  ASSERT_EQ(g_delivered.size(), 1u);
  EXPECT_EQ(g_delivered[0].protocol, kEtherTypeArp);
  EXPECT_EQ(g_delivered[0].pktType, kPktHost);

  skb = SkBuff_Alloc(32);
  SkBuff_Reserve(skb, 14);
  SkBuff_Put(skb, 3)[0] = 0x77;
  Eth_Output(skb, kGuestMac.data(), kEtherTypeIp);
  SkBuff_Free(skb);
  ssize_t n = recv(guest, buf, sizeof buf, MSG_DONTWAIT);
  ASSERT_EQ(n, 17);
  EXPECT_EQ(0, memcmp(buf, kGuestMac.data(), 6));
  EXPECT_EQ(0, memcmp(buf + 6, gw.data(), 6));
  EXPECT_EQ(buf[14], 0x77);
  close(guest);

  Poll_RemoveAll();
  struct stat st;
  EXPECT_NE(stat(path.c_str(), &st), 0) << "the socket file goes with the device";
}

TEST_F(DevTest, UnixBackendUsesTheMacFile) {
  WriteFile(g_settings.macFilePath, "02:4E:A1:0A:0B:0C\n");
  std::string name = "unix:" + dir_ + "/dev.sock";
  int status = -1;
  CaptureStderr([&] { status = Dev_Open(name.c_str()); });
  ASSERT_EQ(status, 0);
  const uint8_t want[6] = {0x02, 0x4E, 0xA1, 0x0A, 0x0B, 0x0C};
  EXPECT_EQ(0, memcmp(g_settings.gatewayMac, want, 6));
}

TEST_F(DevTest, UnixBackendKeepsOtherFiles) {
  std::string path = dir_ + "/plain";
  WriteFile(path, "not a socket\n");
  std::string name = "unix:" + path;
  int status = -1;
  std::string err = CaptureStderr([&] { status = Dev_Open(name.c_str()); });
  EXPECT_EQ(status, 119);
  EXPECT_EQ(err, "Cannot open network device `" + name + "': Address already in use\n");
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
}

}  // namespace
