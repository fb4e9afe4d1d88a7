// Packet handling below the protocols: buffer cursors and their checks, the
// Internet checksum, MAC address parsing and the device's read batches.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <random>
#include <vector>

#include "core/main.h"
#include "core/poll.h"
#include "packet/dev.h"
#include "packet/dev_backend.h"
#include "packet/skbuff.h"
#include "packet/wire.h"

namespace {

TEST(SkBuffDeathTest, CursorsStopExactlyAtTheirLimits) {
  SkBuff *skb = SkBuff_Alloc(64);
  SkBuff_Reserve(skb, 14);
  EXPECT_EQ(SkBuff_Put(skb, 50), skb->head + 14);
  EXPECT_EQ(SkBuff_Push(skb, 14), skb->head);
  EXPECT_EQ(SkBuff_Pull(skb, 65), nullptr);
  SkBuff_Trim(skb, 10);
  EXPECT_TRUE(skb->len == 10 && skb->tail == skb->data + 10);
  EXPECT_EXIT(SkBuff_Put(skb, 55), testing::KilledBySignal(SIGABRT), "SkBuff_Put_over");
  EXPECT_EXIT(SkBuff_Push(skb, 1), testing::KilledBySignal(SIGABRT), "SkBuff_Push_under");
  SkBuff_Free(skb);
  EXPECT_EQ(SkBuff_LiveCount(), 0);
}

TEST(Checksum, KnownSumsAndIncrementalUpdates) {
  uint8_t h[20] = {0x45, 0, 0, 0x73, 0, 0, 0x40, 0, 0x40, 0x11, 0, 0, 192, 168, 0, 1, 192, 168, 0, 199};
  EXPECT_EQ(Csum_Compute(h, 20), 0xb861);
  EXPECT_EQ(Csum_Compute("\x12\x34\x56", 3), 0x97cb) << "an odd length is padded with a zero byte";
  const uint8_t udp[] = {0x04, 0xd2, 0x00, 0x35, 0x00, 0x0d, 0, 0, 'h', 'e', 'l', 'l', 'o'};
  uint32_t src = htonl(0xC0000201), dst = htonl(0xC6336407);  // 192.0.2.1, 198.51.100.7
  EXPECT_EQ(Csum_Fold(Csum_Partial(udp, sizeof udp, Csum_Pseudo(src, dst, kProtoUdp, sizeof udp))), 0xcabe);
  std::mt19937 rng(1624);
  for (int round = 0; round < 4000; round++) {  // a rewritten address against a full recomputation
    for (uint8_t &b : h) b = round % 4 ? uint8_t(rng()) : round % 8 ? 0xff : 0;  // and one's complement corners
    Wire_Put16(h + ip::kCsum, 0);
    Wire_Put16(h + ip::kCsum, Csum_Compute(h, 20));
    uint32_t oldv = Wire_Get32(h + ip::kDst), newv = round % 3 ? uint32_t(rng()) : ~oldv;
    Wire_Put32(h + ip::kDst, newv);
    uint16_t updated = Csum_Update32(Wire_Get16(h + ip::kCsum), oldv, newv);
    Wire_Put16(h + ip::kCsum, 0);
    ASSERT_EQ(updated, Csum_Compute(h, 20)) << round;
  }
}

TEST(MacParse, ExactFormOnly) {
  uint8_t mac[6];
  ASSERT_EQ(Mac_Parse("02:4e:A1:c0:0F:ff", mac), 0);
  EXPECT_EQ(memcmp(mac, "\x02\x4E\xA1\xC0\x0F\xFF", 6), 0);
  for (const char *bad : {"02:4E:A1:C0:00:0", "02:4E:A1:C0:00:000", "02-4E-A1-C0-00-08", "02:4E:A1:C0:00:0g",
                          "02:4E:A1:C0:00:08 ", "0x:4E:A1:C0:00:08", ""})
    EXPECT_EQ(Mac_Parse(bad, mac), -1) << bad;
}

std::vector<uint8_t> g_delivered;  // first payload byte of each frame handed on

TEST(Device, ReadsAtMost64FramesPerEvent) {
  Settings_Reset();
  memcpy(g_settings.gatewayMac, "\x02\x4E\xA1\x00\x00\x01", 6);
  Dev_DeliverHook = [](uint16_t, SkBuff *skb) { g_delivered.push_back(skb->data[0]); };
  int sv[2];
  ASSERT_TRUE(socketpair(AF_UNIX, SOCK_DGRAM, 0, sv) == 0 && Dev_Attach(sv[0]) == 0);
  uint8_t f[15] = {0x02, 0x4E, 0xA1, 0, 0, 1, 0x02, 0x7D, 0x33, 0, 0, 1, 0x08, 0x00};
  for (int i = 0; i < 100; i++, f[14]++) ASSERT_GT(write(sv[1], f, i % 10 == 5 ? 14 : 15), 0);  // 14: no frame
  Poll_RunOnce(0);
  EXPECT_EQ(g_delivered.size(), 64u - 6);
  Poll_RunOnce(0);
  ASSERT_EQ(g_delivered.size(), 90u);
  for (size_t i = 0; i < 90; i++) EXPECT_EQ(g_delivered[i], i + i / 9 + (i % 9 >= 5)) << i;
  Poll_RemoveAll();
  close(sv[1]);
}

}  // namespace
