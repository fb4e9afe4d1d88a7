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

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
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

Bytes U32(uint32_t v) {
  const uint8_t *p = reinterpret_cast<const uint8_t *>(&v);
  return Bytes(p, p + 4);
}

// Sends `payload` through Eth_Output as one frame to `dst`.
void Output(const Bytes &payload, const Mac &dst, uint16_t type) {
  SkBuff *skb = SkBuff_Alloc(uint32_t(payload.size()) + 14);
  ASSERT_NE(skb, nullptr);
  SkBuff_Reserve(skb, 14);
  memcpy(SkBuff_Put(skb, payload.size()), payload.data(), payload.size());
  Eth_Output(skb, dst.data(), type);
  EXPECT_EQ(skb->len, payload.size() + 14) << "the header stays pushed in the caller's buffer";
  SkBuff_Free(skb);
}

// At most one delivery: none when `protocol` is 0, else with these fields.
void ExpectDelivery(uint16_t protocol, uint32_t pktType, size_t headerLen, const Bytes &frame) {
  if (protocol == 0) {
    EXPECT_TRUE(g_delivered.empty());
    return;
  }
  ASSERT_EQ(g_delivered.size(), 1u);
  EXPECT_EQ(g_delivered[0].protocol, protocol);
  EXPECT_EQ(g_delivered[0].pktType, pktType);
  EXPECT_EQ(g_delivered[0].networkOffset, headerLen);
  EXPECT_EQ(g_delivered[0].payload, Bytes(frame.begin() + long(headerLen), frame.end()));
}

void WriteFile(const std::string &path, const std::string &text) { std::ofstream(path) << text; }

// Dev_Open's status; what it wrote on standard error goes to *err.
int Open(const std::string &name, std::string *err = nullptr) {
  int status = -1;
  std::string text = CaptureStderr([&] { status = Dev_Open(name.c_str()); });
  if (err) *err = text;
  return status;
}

sockaddr_un UnixAddr(const std::string &path) {
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
  return a;
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
    EXPECT_EQ(system(("rm -rf " + dir_).c_str()), 0);
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

  std::string dir_, savedConfig_;
  int guest_ = -1;
};

Bytes Payload(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(0x40 + i);
  return b;
}

// ---------------------------------------------------------------- filters

TEST_F(DevTest, SourceFilterAndPacketType) {
  const Mac otherGuest = {0x02, 0x7D, 0x33, 0x12, 0x34, 0x56},
            foreign = {0x0A, 0x00, 0x00, 0x12, 0x34, 0x56},
            hostAdapter = {0x02, 0x4E, 0xA1, 0xC0, 0x00, 0x01},
            multicastSrc = {0x03, 0x4E, 0xA1, 0x01, 0x02, 0x03},
            otherStation = {0x02, 0x4E, 0xA1, 0x99, 0x99, 0x99},
            multicastDst = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};
  struct Case {
    const char *name;
    Mac dst, src;
    int allowAnyOUI;
    uint32_t pktType;  // ~0u: dropped
  };
  const Case cases[] = {
      {"guest to gateway", kGatewayMac, kGuestMac, 0, kPktHost},
      {"second guest prefix", kGatewayMac, otherGuest, 0, kPktHost},
      {"foreign prefix", kGatewayMac, foreign, 0, ~0u},
      {"foreign prefix allowed", kGatewayMac, foreign, 1, kPktHost},
      {"host MAC", kGatewayMac, kHostMac, 1, ~0u},
      {"host adapter", kGatewayMac, hostAdapter, 1, ~0u},
      {"multicast source", kGatewayMac, multicastSrc, 1, ~0u},
      {"other station", otherStation, kGuestMac, 0, ~0u},
      {"broadcast", kBroadcast, kGuestMac, 0, kPktBroadcast},
      {"multicast", multicastDst, kGuestMac, 0, kPktMulticast},
  };
  Attach();
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    g_delivered.clear();
    g_settings.allowAnyOUI = c.allowAnyOUI;
    Bytes frame = Frame(c.dst, c.src, kEtherTypeIp, Payload(20));
    Send(frame);
    ExpectDelivery(c.pktType == ~0u ? 0 : kEtherTypeIp, c.pktType, 14, frame);
  }
}

// -------------------------------------------------------------- framings

TEST_F(DevTest, FramingsAndShortFrames) {
  struct Case {
    const char *name;
    uint16_t typeOrLen;
    Bytes afterType;
    uint16_t protocol;  // 0: dropped
    size_t headerLen;
  };
  Bytes llcIp = {0x06, 0x06, 0x03, 0xAB, 0xCD};
  const Case cases[] = {
      {"Ethernet II ARP", 0x0806, {1, 2, 3, 4}, kEtherTypeArp, 14},
      {"Ethernet II, one byte", 0x0800, {0x45}, kEtherTypeIp, 14},
      {"Ethernet II, unknown type", 0x86DD, {1, 2, 3, 4}, 0, 0},
      {"802.2 LLC 06 06 03", 100, llcIp, kEtherTypeIp, 17},
      {"length 1532 is 802.3", 1532, llcIp, kEtherTypeIp, 17},
      {"type 1533 is Ethernet II", 1533, llcIp, 0, 0},
      {"type 1535 is Ethernet II", 1535, llcIp, 0, 0},
      {"802.2 LLC 06 06 F3 has no protocol", 100, {0x06, 0x06, 0xF3, 1, 2}, 0, 0},
      {"802.2 LLC E0 E0 03 is IPX", 100, {0xE0, 0xE0, 0x03, 1, 2}, 0, 0},
      {"raw 802.3 is IPX", 100, {0xFF, 0xFF, 1, 2, 3}, 0, 0},
      {"SNAP OUI 0 ARP", 100, {0xAA, 0xAA, 0x03, 0, 0, 0, 0x08, 0x06, 9, 8}, kEtherTypeArp, 22},
      {"SNAP OUI 0 IPv4", 100, {0xAA, 0xAA, 0x03, 0, 0, 0, 0x08, 0x00, 9}, kEtherTypeIp, 22},
      {"SNAP other OUI", 100, {0xAA, 0xAA, 0x03, 0x00, 0x00, 0xF8, 0x08, 0x00, 9}, 0, 0},
      {"SNAP first OUI byte set", 100, {0xAA, 0xAA, 0x03, 0x01, 0, 0, 0x08, 0x00, 9}, 0, 0},
      {"SNAP header cut short", 100, {0xAA, 0xAA, 0x03, 0, 0, 0, 0x08}, 0, 0},
      {"802.3 with two bytes", 100, {0x06, 0x06}, 0, 0},
      {"802.3 with one byte", 100, {0x06}, 0, 0},
      {"LLC 06 06 03 without data", 100, {0x06, 0x06, 0x03}, kEtherTypeIp, 17},
  };
  Attach();
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    g_delivered.clear();
    Bytes frame = Frame(kGatewayMac, kGuestMac, c.typeOrLen, c.afterType);
    Send(frame);
    ExpectDelivery(c.protocol, kPktHost, c.headerLen, frame);
  }
}

// A readiness event reads the frames queued on the device in batches of at
// most 64, in order; frames of 14 bytes or less are skipped without ending
// the batch, and an empty device ends it.
TEST_F(DevTest, FramesAreReadInBoundedBatches) {
  Attach();
  Bytes empty = Frame(kGatewayMac, kGuestMac, kEtherTypeIp, {});
  Dev_InputFrame(empty.data(), 14);
  Dev_InputFrame(empty.data(), 3);
  EXPECT_TRUE(g_delivered.empty()) << "14 bytes or less are no frame";
  const int kFrames = 100;
  for (int i = 0; i < kFrames; ++i) {
    Bytes f = i % 10 == 5 ? empty : Frame(kGatewayMac, kGuestMac, kEtherTypeIp, {uint8_t(i)});
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
  const Mac dst = {0x02, 0x7D, 0x33, 0xAA, 0xBB, 0xCC};
  Output({1, 2, 3, 4, 5}, dst, kEtherTypeArp);
  uint8_t buf[128];
  ssize_t n = recv(guest_, buf, sizeof buf, MSG_DONTWAIT);
  ASSERT_EQ(n, 19) << "no padding to the Ethernet minimum";
  EXPECT_EQ(Bytes(buf, buf + n), Frame(dst, kGatewayMac, kEtherTypeArp, {1, 2, 3, 4, 5}));
  EXPECT_EQ(recv(guest_, buf, sizeof buf, MSG_DONTWAIT), -1) << "exactly one write";
}

// Frames the device refuses (EAGAIN) wait in a bounded queue and follow in
// order once the reader drains; beyond either bound they are dropped.
// Sends `frames` frames of `len` bytes, then reads `reader` between passes
// of the loop until nothing more comes. *direct: the frames the reader had
// before the loop ran. Returns each frame's first payload byte, in order.
std::vector<int> OutputAgainstFullPeer(int reader, int frames, size_t len, size_t *direct) {
  for (int i = 0; i < frames; ++i) Output(Bytes(len, uint8_t(i)), kGuestMac, kEtherTypeIp);
  EXPECT_EQ(poll(Poll_Slots(), nfds_t(Poll_Compact()), 0), 0)
      << "nothing is ready (no busy loop) until the reader drains";
  std::vector<int> got;
  uint8_t buf[2048];
  for (int idle = 0; idle < 3;) {  // until a pass brings nothing new
    size_t before = got.size();
    ssize_t n;
    while ((n = recv(reader, buf, sizeof buf, MSG_DONTWAIT)) > 0) {
      EXPECT_EQ(size_t(n), len + 14);
      got.push_back(buf[14]);
    }
    if (before == 0) *direct = got.size();
    Poll_RunOnce(10);
    idle = got.size() == before ? idle + 1 : 0;
  }
  for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], int(i)) << "frame " << i;
  return got;
}

TEST_F(DevTest, RefusedFramesWaitBoundedAndInOrder) {
  const size_t kLen = 100;
  const int kFrames = 100;
  struct Case {
    const char *name;
    DevOutputLimits limits;
    size_t queued;  // frames the bound lets wait
  } cases[] = {{"frame bound", {20, 1 << 20}, 20},
               {"byte bound", {1000, 10 * (kLen + 14) + kLen}, 10}};
  DevOutputLimits saved = Dev_OutputLimits;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Dev_OutputLimits = c.limits;
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, sv), 0);
    int tiny = 1;  // the kernel's minimum: a few frames fill it
    ASSERT_EQ(setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &tiny, sizeof tiny), 0);
    ASSERT_EQ(Dev_Attach(sv[0]), 0);
    uint64_t drops = Dev_OutputDrops();
    size_t direct = 0;
    std::vector<int> got = OutputAgainstFullPeer(sv[1], kFrames, kLen, &direct);
    ASSERT_GT(direct, 0u);
    EXPECT_EQ(got.size(), direct + c.queued);
    EXPECT_EQ(Dev_OutputDrops() - drops, kFrames - got.size());
    EXPECT_EQ(Poll_Slots()[0].events, POLLIN) << "POLLOUT withdrawn once the queue is empty";
    Poll_RemoveAll();
    close(sv[1]);
  }
  Dev_OutputLimits = saved;
}

// ------------------------------------------------------------ MAC choice

TEST_F(DevTest, MacFileAndKeyRules) {
  struct Case {
    const char *name;
    const char *file;    // nullptr: no MAC file
    const char *config;  // configuration file text
    const char *chosen;  // "": none
  };
  const Case cases[] = {
      {"file between blanks", " \t02:4E:A1:12:34:56  \n", "", "02:4E:A1:12:34:56"},
      {"file: first line that parses", "junk\n\n00:11:22:aa:bb:cc\n02:4E:A1:00:00:01\n", "",
       "00:11:22:AA:BB:CC"},
      {"file wins over key", "02:4E:A1:00:00:02\n", "[host]\nMAC = 02:4E:A1:00:00:03\n",
       "02:4E:A1:00:00:02"},
      {"unparsable file falls back to key", "02-4E-A1-00-00-02\n",
       "[host]\nMAC = 02:4E:A1:3F:FF:FF\n", "02:4E:A1:3F:FF:FF"},
      {"key at the bottom of the range", nullptr, "[host]\nMAC = 02:4e:a1:00:00:00\n",
       "02:4E:A1:00:00:00"},
      {"key above the range", nullptr, "[host]\nMAC = 02:4E:A1:40:00:01\n", ""},
      {"key with another prefix", nullptr, "[host]\nMAC = 02:4E:A2:00:00:01\n", ""},
      {"key that does not parse", nullptr, "[host]\nMAC = 02:4E:A1:00:00\n", ""},
      {"no file, no key", nullptr, "[host]\nip = 10.0.0.1\n", ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    unlink(g_settings.macFilePath.c_str());
    if (c.file) WriteFile(g_settings.macFilePath, c.file);
    WriteFile(Config_Path, c.config);
    uint8_t m[6] = {};
    char text[18] = "";
    if (Dev_ChooseMac(m))
      snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", m[0], m[1], m[2], m[3], m[4],
               m[5]);
    EXPECT_STREQ(text, c.chosen);
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
  return request == kDevIoctlSetMac ? 16 : request == kDevIoctlGetMac ? 6 : 4;
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
  ASSERT_EQ(Open("/dev/qlink-test", &err), 0);
  EXPECT_EQ(err, "");
  EXPECT_EQ(g_fake.openedPath, "/dev/qlink-test");
  EXPECT_EQ(g_fake.openFlags & O_ACCMODE, O_RDWR);
  EXPECT_TRUE(g_fake.openFlags & O_NONBLOCK);
  EXPECT_TRUE(g_fake.openFlags & O_NOCTTY);

  ASSERT_EQ(g_fake.calls.size(), 4u);
  EXPECT_EQ(g_fake.calls[0].request, 0xC00499E0ul);
  EXPECT_EQ(g_fake.calls[0].arg, U32(0x00030000));
  Bytes setMac = U32(1);  // count, MAC, two bytes of padding, flag
  setMac.insert(setMac.end(), {0x02, 0x4E, 0xA1, 0x01, 0x02, 0x03, 0, 0});
  for (uint8_t b : U32(1)) setMac.push_back(b);
  EXPECT_EQ(g_fake.calls[1].request, 0x99F6ul);
  EXPECT_EQ(g_fake.calls[1].arg, setMac);
  EXPECT_EQ(g_fake.calls[2].request, 0x8914ul);
  EXPECT_EQ(g_fake.calls[2].arg, U32(0x203));
  EXPECT_EQ(g_fake.calls[3].request, 0x8915ul);
  EXPECT_EQ(0, memcmp(g_settings.gatewayMac, g_fake.mac.data(), 6)) << "read back from device";
  EXPECT_EQ(g_settings.devFd, g_fake.fd);
  EXPECT_EQ(Poll_ActiveCount(), 1u);
  ASSERT_EQ(Poll_Used(), 1u);
  EXPECT_EQ(Poll_Slots()[0].fd, g_fake.fd);
  EXPECT_EQ(Poll_Slots()[0].events, POLLIN);

  // Frames written by Eth_Output reach the device descriptor.
  Output({0x99}, kBroadcast, kEtherTypeArp);
  uint8_t buf[64];
  EXPECT_EQ(recv(g_fake.peer, buf, sizeof buf, MSG_DONTWAIT), 15);
}

TEST_F(DevCharTest, WithoutChosenMacNoSetMacRequest) {
  ASSERT_EQ(Open("/dev/qlink-test"), 0);
  std::vector<unsigned long> requests;
  for (const IoctlCall &c : g_fake.calls) requests.push_back(c.request);
  EXPECT_EQ(requests,
            (std::vector<unsigned long>{kDevIoctlVersion, kDevIoctlSetFlags, kDevIoctlGetMac}));
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
    std::string err;
    EXPECT_EQ(Open("/dev/qlink-test", &err), c.status);
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
  sockaddr_un addr = UnixAddr(path);
  ASSERT_EQ(bind(old, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
  close(old);

  srand(7);
  std::string err;
  ASSERT_EQ(Open("unix:" + path, &err), 0) << err;
  // No MAC chosen: the backend invents one inside 02:4E:A1:00:00:00-3F:FF:FF.
  EXPECT_EQ(memcmp(g_settings.gatewayMac, "\x02\x4E\xA1", 3), 0);
  EXPECT_EQ(g_settings.gatewayMac[3] & 0xC0, 0);
  Mac gw;
  memcpy(gw.data(), g_settings.gatewayMac, 6);

  // Nothing is written before a peer is known.
  Output({0, 0}, kGuestMac, kEtherTypeIp);

  int guest = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un mine = UnixAddr(dir_ + "/guest.sock");
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

  Output({0x77, 0, 0}, kGuestMac, kEtherTypeIp);
  ssize_t n = recv(guest, buf, sizeof buf, MSG_DONTWAIT);
  ASSERT_EQ(n, 17);
  EXPECT_EQ(Bytes(buf, buf + n), Frame(kGuestMac, gw, kEtherTypeIp, {0x77, 0, 0}));

  // A burst far beyond the peer's receive queue (net.unix.max_dgram_qlen)
  // and far below natd's own bound all arrives, in order, once it reads.
  size_t direct = 0;
  EXPECT_EQ(OutputAgainstFullPeer(guest, 200, 1000, &direct).size(), 200u);
  EXPECT_LT(direct, 200u) << "the peer's queue was full";
  EXPECT_EQ(Dev_OutputDrops(), 0u);
  for (unsigned i = 0; i < Poll_Used(); ++i)
    EXPECT_FALSE(Poll_Slots()[i].events & POLLOUT) << "slot " << i;
  close(guest);

  Poll_RemoveAll();
  struct stat st;
  EXPECT_NE(stat(path.c_str(), &st), 0) << "the socket file goes with the device";
}

TEST_F(DevTest, UnixBackendUsesTheMacFileAndKeepsOtherFiles) {
  WriteFile(g_settings.macFilePath, "02:4E:A1:0A:0B:0C\n");
  ASSERT_EQ(Open("unix:" + dir_ + "/dev.sock"), 0);
  EXPECT_EQ(0, memcmp(g_settings.gatewayMac, "\x02\x4E\xA1\x0A\x0B\x0C", 6));
  Poll_RemoveAll();

  std::string path = dir_ + "/plain", err;
  WriteFile(path, "not a socket\n");
  EXPECT_EQ(Open("unix:" + path, &err), 119);
  EXPECT_EQ(err, "Cannot open network device `unix:" + path + "': Address already in use\n");
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
}

}  // namespace
