// Text handling: the growable text buffer (insertion, the sticky error flag,
// splicing into TCP segments) and the bounded and truncating formatting of
// the support library.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "control/textbuf.h"
#include "lib/support.h"
#include "nat/tcp.h"

namespace {

std::string Text(const uint8_t *data, size_t len) { return std::string(reinterpret_cast<const char *>(data), len); }

TextBuf Make(const char *text) {
  TextBuf tb;
  TextBuf_Init(&tb);
  TextBuf_Append(&tb, text);
  return tb;
}

TEST(TextBuf, InsertGrowsToExactlyTheLength) {
  const struct { const char *start; size_t pos; const char *bytes, *want; } cases[] = {
      {"a", 0, "bc", "bca"}, {"a", 5, "bc", "abc"}, {"abc", 1, "XY", "aXYbc"}, {"", 0, "x", "x"}, {"ab", 2, "", "ab"}};
  for (const auto &c : cases) {
    TextBuf tb = Make(c.start);
    TextBuf_Insert(&tb, c.pos, c.bytes, strlen(c.bytes));
    EXPECT_EQ(Text(tb.data, tb.len), c.want);
    EXPECT_EQ(tb.capacity, tb.len);
    TextBuf_Free(&tb);
  }
}

TEST(TextBuf, FailedGrowthEmptiesTheBufferAndTheErrorSticks) {
  TextBuf tb = Make("partial");
  TextBuf_Insert(&tb, 0, "x", SIZE_MAX);  // the length cannot be represented
  EXPECT_TRUE(tb.error && !tb.data && !tb.len && !tb.capacity);
  TextBuf_Append(&tb, "more");
  EXPECT_EQ(Text(tb.data, tb.len), "more");
  EXPECT_EQ(tb.error, 1u);
  TextBuf_Free(&tb);
  EXPECT_EQ(tb.error, 0u);
#ifndef __SANITIZE_ADDRESS__  // sanitizer builds abort on such a request
  tb = Make("abc");
  TextBuf_Insert(&tb, kTextBufAppend, "z", SIZE_MAX / 2);  // the allocator refuses
  EXPECT_TRUE(tb.error && !tb.data);
#endif
}

TEST(TextBuf, Splice) {
  // The segment, its room [from, to), the text; the segment, cursor and end
  // after; whether the segment cannot grow (its length is at the limit).
  const struct { const char *segment; size_t from, to; const char *text, *want; size_t cursor, end; bool full; } cases[] = {
      {"<<PORT 1,2,3,4,0,21\r\n>>", 2, 12, "PORT 19,8,7,6,5,4\r\n", "<<PORT 19,8,7,6,5,4\r\n,4,0,21\r\n>>", 21, 21, false},
      {"[.....]tail", 1, 6, "ab", "[ab...]tail", 3, 6, false},
      {"AB", 1, 1, "xyz", "AxyzB", 4, 4, false},
      {"[....]", 1, 5, "PORT 1,2\r\n", "[PO\r\n]", 5, 5, true},  // the cut line stays terminated
  };
  for (const auto &c : cases) {
    uint32_t len = uint32_t(strlen(c.segment));
    TcpSegment seg = {{}, 0, c.full ? UINT32_MAX - 1 : len, static_cast<uint8_t *>(malloc(len)), 0, 0};
    memcpy(seg.data, c.segment, len);
    uint8_t *cursor = seg.data + c.from, *end = seg.data + c.to;
    TextBuf tb = Make(c.text);
    TextBuf_Splice(&seg, &cursor, &end, &tb);
    EXPECT_EQ(Text(seg.data, c.full ? len : seg.len), c.want);
    EXPECT_EQ(cursor - seg.data, long(c.cursor)) << c.want;
    EXPECT_EQ(end - seg.data, long(c.end)) << c.want;
    EXPECT_EQ(tb.data, nullptr);
    free(seg.data);
  }
}

int Trunc(char *buf, size_t size, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = Str_VFormatTrunc(buf, size, fmt, ap);
  va_end(ap);
  return n;
}

TEST(Support, TruncationKeepsUtf8CharactersWhole) {
  const char *text = "h\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";  // h, 2-, 3- and 4-byte characters, z
  const struct { size_t size; const char *want; } cases[] = {
      {1, ""}, {3, "h"}, {4, "h\xC3\xA9"}, {6, "h\xC3\xA9"}, {7, "h\xC3\xA9\xE2\x82\xAC"},
      {10, "h\xC3\xA9\xE2\x82\xAC"}, {11, "h\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"}};
  char buf[16];
  for (const auto &c : cases) {
    EXPECT_EQ(Trunc(buf, c.size, "%s", text), -1);
    EXPECT_STREQ(buf, c.want) << c.size;
  }
  EXPECT_EQ(Trunc(buf, 12, "%s", text), 11);
}

TEST(SupportDeathTest, BoundedCopiesEndTheProcessRatherThanTruncate) {
  char buf[6];
  EXPECT_EQ(Str_Format(buf, sizeof buf, "%s", "abcde"), 5);
  Str_Copy(buf, "ab", sizeof buf);
  Str_Append(buf, "cde", sizeof buf);
  EXPECT_STREQ(buf, "abcde");
  EXPECT_EXIT(Str_Format(buf, sizeof buf, "%s", "abcdef"), testing::ExitedWithCode(255), "Buffer too small");
  EXPECT_EXIT(Str_Copy(buf, "abcdef", sizeof buf), testing::ExitedWithCode(255), "Buffer too small");
  EXPECT_EXIT(Str_Append(buf, "f", sizeof buf), testing::ExitedWithCode(255), "Buffer too small");
}

}  // namespace
