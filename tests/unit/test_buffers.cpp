// Buffers and their bounds: the growable text buffer (insertion, the sticky
// error flag, splicing into TCP segments), bounded and UTF-8-whole text of
// the support library, packet buffer cursors and the device's read batches.
// (The Internet checksum is checked at the wire: the harness sums every
// frame natd writes with a checksum of its own.)
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "control/textbuf.h"
#include "core/settings.h"
#include "core/poll.h"
#include "lib/support.h"
#include "lib/support_internal.h"
#include "nat/tcp.h"
#include "packet/dev.h"
#include "packet/dev_backend.h"
#include "packet/skbuff.h"
#include "packet/wire.h"

namespace {

std::string Text(const uint8_t *data, size_t len) { return std::string(reinterpret_cast<const char *>(data), len); }

TextBuf Make(const char *text) { TextBuf tb = {}; TextBuf_Append(&tb, text); return tb; }

TEST(TextBuf, InsertGrowsToExactlyTheLengthAndFailureSticks) {
  const struct { const char *start; size_t pos; const char *bytes, *want; } cases[] = {
      {"a", 0, "bc", "bca"}, {"a", 5, "bc", "abc"}, {"abc", 1, "XY", "aXYbc"}, {"", 0, "x", "x"}, {"ab", 2, "", "ab"}};
  for (const auto &c : cases) {
    TextBuf tb = Make(c.start);
    TextBuf_Insert(&tb, c.pos, c.bytes, strlen(c.bytes));
    EXPECT_TRUE(Text(tb.data, tb.len) == c.want && tb.capacity == tb.len) << c.want;
    TextBuf_Free(&tb);
  }
  TextBuf tb = Make("partial");
  TextBuf_Insert(&tb, 0, "x", SIZE_MAX);  // the length cannot be represented: the buffer is emptied
  EXPECT_TRUE(tb.error && !tb.data && !tb.len && !tb.capacity);
  TextBuf_Append(&tb, "more");
  EXPECT_TRUE(Text(tb.data, tb.len) == "more" && tb.error) << "the error sticks";
  TextBuf_Free(&tb);
#ifndef __SANITIZE_ADDRESS__  // sanitizer builds abort on such a request
  tb = Make("abc");
  TextBuf_Insert(&tb, kTextBufAppend, "z", SIZE_MAX / 2);  // the allocator refuses
  EXPECT_TRUE(tb.error && !tb.data);
#endif
}

TEST(TextBuf, Splice) {
  // The segment, its room [from, to), the text; the segment, cursor and end
  // after; whether the segment cannot grow (its length is at the limit).
  const struct { const char *segment; size_t from, to; const char *text, *want; long cur, end; bool full; } cases[] = {
      {"<<PORT 1,2,3\r\n>>", 2, 10, "PORT 19,8,7\r\n", "<<PORT 19,8,7\r\n,3\r\n>>", 15, 15, false},
      {"[.....]tail", 1, 6, "ab", "[ab...]tail", 3, 6, false},
      {"AB", 1, 1, "xyz", "AxyzB", 4, 4, false},
      {"[....]", 1, 5, "PORT 1,2\r\n", "[PO\r\n]", 5, 5, true},  // the cut line stays terminated
  };
  for (const auto &c : cases) {
    uint32_t len = uint32_t(strlen(c.segment));
    TcpSegment seg = {{}, 0, c.full ? UINT32_MAX - 1 : len, static_cast<uint8_t *>(malloc(len)), 0, 0, 0};
    memcpy(seg.data, c.segment, len);
    uint8_t *cursor = seg.data + c.from, *end = seg.data + c.to;
    TextBuf tb = Make(c.text);
    TextBuf_Splice(&seg, &cursor, &end, &tb);
    EXPECT_EQ(Text(seg.data, c.full ? len : seg.len), c.want);
    EXPECT_TRUE(cursor - seg.data == c.cur && end - seg.data == c.end && !tb.data) << c.want;
    free(seg.data);
  }
}

TEST(SupportDeathTest, BoundedTextEndsTheProcessAndCutTextKeepsUtf8Whole) {
  char buf[6];
  EXPECT_EQ(Str_Format(buf, sizeof buf, "%s", "abcde"), 5);
  Str_Copy(buf, "ab", sizeof buf);
  Str_Append(buf, "cde", sizeof buf);
  EXPECT_STREQ(buf, "abcde");
  EXPECT_EXIT(Str_Format(buf, sizeof buf, "%s", "abcdef"), testing::ExitedWithCode(255), "Buffer too small");
  EXPECT_EXIT(Str_Copy(buf, "abcdef", sizeof buf), testing::ExitedWithCode(255), "Buffer too small");
  EXPECT_EXIT(Str_Append(buf, "f", sizeof buf), testing::ExitedWithCode(255), "Buffer too small");
  const char *text = "h\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";  // h, 2-, 3- and 4-byte characters, z
  const size_t whole[] = {0, 1, 1, 3, 3, 3, 6, 6, 6, 6, 10, 11};  // of each length's prefix
  for (size_t n = 0; n <= 11; n++) EXPECT_EQ(Utf8_WholeLength(text, n), whole[n]) << n;
}

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

std::vector<uint8_t> g_delivered;  // first payload byte of each frame handed on

// A read event takes at most 64 frames. Frames the peer refuses (EAGAIN)
// wait in a bounded queue and follow in order once it drains, without a busy
// loop meanwhile; beyond either bound they are dropped and counted.
TEST(Device, ReadsAtMost64FramesPerEventAndRefusedFramesWaitBoundedInOrder) {
  Settings_Reset();
  memcpy(g_settings.gatewayMac, "\x02\x4E\xA1\x00\x00\x01", 6);
  Dev_DeliverHook = [](uint16_t, SkBuff *skb) { g_delivered.push_back(skb->data[0]); };
  struct { DevOutputLimits limits; size_t queued; } cases[] = {{{20, 1 << 20}, 20}, {{1000, 10 * 114 + 100}, 10}};
  DevOutputLimits saved = Dev_OutputLimits;
  for (const auto &c : cases) {
    Dev_OutputLimits = c.limits;
    int sv[2], tiny = 1;  // the kernel's minimum send buffer: a few frames fill it
    ASSERT_TRUE(socketpair(AF_UNIX, SOCK_DGRAM, 0, sv) == 0 && Dev_Attach(sv[0]) == 0);
    uint8_t f[15] = {0x02, 0x4E, 0xA1, 0, 0, 1, 0x02, 0x7D, 0x33, 0, 0, 1, 0x08, 0x00};
    g_delivered.clear();
    for (int i = 0; i < 100; i++, f[14]++) ASSERT_GT(write(sv[1], f, i % 10 == 5 ? 14 : 15), 0);  // 14: no frame
    Poll_RunOnce(0);
    EXPECT_EQ(g_delivered.size(), 64u - 6);
    Poll_RunOnce(0);
    ASSERT_EQ(g_delivered.size(), 90u);
    ASSERT_EQ(setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &tiny, sizeof tiny), 0);
    uint64_t drops = Dev_OutputDrops();
    for (int i = 0; i < 100; ++i) {
      SkBuff *skb = SkBuff_Alloc(114);
      SkBuff_Reserve(skb, 14);
      memset(SkBuff_Put(skb, 100), i, 100);
      Eth_Output(skb, reinterpret_cast<const uint8_t *>("\x02\x7D\x33\0\0\1"), kEtherTypeIp);
      SkBuff_Free(skb);  // the caller keeps its reference
    }
    EXPECT_EQ(poll(Poll_Slots(), nfds_t(Poll_Compact()), 0), 0) << "nothing ready until the peer reads";
    std::vector<int> got;
    size_t direct = SIZE_MAX;
    for (int idle = 0; idle < 3;) {
      size_t before = got.size();
      uint8_t buf[256];
      for (ssize_t n; (n = recv(sv[1], buf, sizeof buf, MSG_DONTWAIT)) == 114;) got.push_back(buf[14]);
      if (direct == SIZE_MAX) direct = got.size();
      Poll_RunOnce(10);
      idle = got.size() == before ? idle + 1 : 0;
    }
    for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], int(i)) << "in order";
    EXPECT_TRUE(direct > 0 && got.size() == direct + c.queued);
    EXPECT_EQ(Dev_OutputDrops() - drops, 100 - got.size());
    EXPECT_EQ(Poll_Slots()[0].events, POLLIN) << "POLLOUT withdrawn once the queue is empty";
    Poll_RemoveAll();
    close(sv[1]);
  }
  Dev_OutputLimits = saved;
  Dev_DeliverHook = nullptr;  // later tests' frames go to the protocol handlers
}

}  // namespace
