// Text buffer: insertion, consumption, truncation, the sticky error flag and
// splicing text into TCP segments with and without growth.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "control/textbuf.h"
#include "nat/tcp.h"

namespace {

std::string Contents(const TextBuf &tb) {
  return tb.len ? std::string(reinterpret_cast<const char *>(tb.data), tb.len) : std::string();
}

TextBuf Make(const std::string &text) {
  TextBuf tb;
  TextBuf_Init(&tb);
  TextBuf_Insert(&tb, kTextBufAppend, text.data(), text.size());
  return tb;
}

TEST(TextBufTest, InsertAtPositions) {
  struct Case {
    const char *start;
    size_t pos;
    const char *bytes;
    const char *want;
  };
  const Case cases[] = {
      {"a", 0, "bc", "bca"},
      {"a", 5, "bc", "abc"},
      {"a", 1, "bc", "abc"},
      {"abc", 1, "XY", "aXYbc"},
      {"abc", 2, "-", "ab-c"},
      {"", 0, "first", "first"},
      {"abc", kTextBufAppend, "", "abc"},
  };
  for (const Case &c : cases) {
    TextBuf tb = Make(c.start);
    TextBuf_Insert(&tb, c.pos, c.bytes, strlen(c.bytes));
    EXPECT_EQ(Contents(tb), c.want) << c.start << " @" << c.pos << " + " << c.bytes;
    EXPECT_EQ(tb.capacity, tb.len) << "storage grows to exactly the length";
    EXPECT_EQ(tb.error, 0u);
    TextBuf_Free(&tb);
    EXPECT_EQ(tb.data, nullptr);
  }
}

TEST(TextBufTest, AppendBuildsALineAndGrowthIsExact) {
  TextBuf tb;
  TextBuf_Init(&tb);
  EXPECT_EQ(tb.data, nullptr);
  TextBuf_Append(&tb, "UDP ");
  TextBuf_Append(&tb, "");
  TextBuf_Append(&tb, "10.254.254.2:53\n");
  EXPECT_EQ(Contents(tb), "UDP 10.254.254.2:53\n");
  EXPECT_EQ(tb.capacity, 20u);
  // Space freed by consuming is reused without growing.
  TextBuf_Consume(&tb, 4);
  TextBuf_Append(&tb, "+4+");
  EXPECT_EQ(Contents(tb), "10.254.254.2:53\n+4+");
  EXPECT_EQ(tb.capacity, 20u);
  TextBuf_Free(&tb);
}

TEST(TextBufTest, ConsumeAndTruncate) {
  TextBuf tb = Make("USER anonymous\r\nPASS x\r\n");
  uint8_t *storage = tb.data;
  TextBuf_Consume(&tb, 16);
  EXPECT_EQ(Contents(tb), "PASS x\r\n");
  TextBuf_Consume(&tb, 0);
  EXPECT_EQ(Contents(tb), "PASS x\r\n");
  TextBuf_Consume(&tb, 100);
  EXPECT_EQ(tb.len, 0u);
  EXPECT_EQ(tb.data, storage) << "an emptied buffer keeps its storage";
  EXPECT_EQ(tb.capacity, 24u);
  TextBuf_Free(&tb);

  tb = Make("227 Entering\r\n");
  TextBuf_TruncateAt(&tb, tb.data + 14);  // at the end: nothing changes
  EXPECT_EQ(tb.len, 14u);
  TextBuf_TruncateAt(&tb, tb.data + 200);
  EXPECT_EQ(tb.len, 14u);
  TextBuf_TruncateAt(&tb, tb.data + 12);
  EXPECT_EQ(Contents(tb), "227 Entering");
  TextBuf_TruncateAt(&tb, tb.data);
  EXPECT_EQ(tb.len, 0u);
  TextBuf_Free(&tb);
}

TEST(TextBufTest, FailedGrowthEmptiesTheBufferAndTheErrorSticks) {
  TextBuf tb = Make("partial reply");
  // A length that cannot be represented cannot be allocated either.
  TextBuf_Insert(&tb, 0, "x", SIZE_MAX);
  EXPECT_EQ(tb.error, 1u);
  EXPECT_EQ(tb.data, nullptr);
  EXPECT_EQ(tb.len, 0u);
  EXPECT_EQ(tb.capacity, 0u);
  // Later inserts may succeed; the flag stays until the buffer is freed.
  TextBuf_Append(&tb, "more");
  EXPECT_EQ(Contents(tb), "more");
  EXPECT_EQ(tb.error, 1u);
  TextBuf_Free(&tb);
  EXPECT_EQ(tb.error, 0u);

#if !defined(__SANITIZE_ADDRESS__)
  // A size the allocator refuses (sanitizer builds abort on such requests).
  tb = Make("abc");
  static const char bytes[1] = {'z'};
  TextBuf_Insert(&tb, kTextBufAppend, bytes, SIZE_MAX / 2);
  EXPECT_EQ(tb.error, 1u);
  EXPECT_EQ(tb.data, nullptr);
  TextBuf_Free(&tb);
#endif
}

// A segment whose bytes are `text`, with the room being [roomStart, roomEnd).
struct SegFixture {
  TcpSegment seg = {};
  uint8_t *cursor = nullptr;
  uint8_t *end = nullptr;
  SegFixture(const std::string &text, size_t roomStart, size_t roomEnd) {
    seg.len = uint32_t(text.size());
    seg.data = static_cast<uint8_t *>(malloc(text.size()));
    memcpy(seg.data, text.data(), text.size());
    cursor = seg.data + roomStart;
    end = seg.data + roomEnd;
  }
  ~SegFixture() { free(seg.data); }
  std::string Bytes() const { return std::string(reinterpret_cast<char *>(seg.data), seg.len); }
};

TEST(TextBufTest, Splice) {
  struct Case {
    const char *what;
    const char *segment;
    size_t roomStart, roomEnd;
    const char *text;
    const char *want;
    size_t wantCursor, wantEnd;  // offsets into the result
  };
  const Case cases[] = {
      // A 19-byte command line into a room of 10: the segment grows by 9 and
      // the bytes behind the room move up.
      {"grows", "<<PORT 1,2,3,4,0,21\r\n>>", 2, 12, "PORT 19,8,7,6,5,4\r\n",
       "<<PORT 19,8,7,6,5,4\r\n,4,0,21\r\n>>", 21, 21},
      {"shorter text", "[.....]tail", 1, 6, "ab", "[ab...]tail", 3, 6},
      {"exact fit", "[.....]", 1, 6, "hello", "[hello]", 6, 6},
      {"empty text", "[...]", 1, 4, "", "[...]", 1, 4},
      {"empty room", "AB", 1, 1, "xyz", "AxyzB", 4, 4},
      {"room at the end", "head:", 5, 5, "tail", "head:tail", 9, 9},
  };
  for (const Case &c : cases) {
    std::string text = c.text;
    SegFixture f(c.segment, c.roomStart, c.roomEnd);
    TextBuf tb = Make(text);
    TextBuf_Splice(&f.seg, &f.cursor, &f.end, &tb);
    EXPECT_EQ(f.Bytes(), c.want) << c.what;
    EXPECT_EQ(size_t(f.cursor - f.seg.data), c.wantCursor) << c.what;
    EXPECT_EQ(size_t(f.end - f.seg.data), c.wantEnd) << c.what;
    EXPECT_EQ(tb.data, nullptr) << c.what << ": the buffer is freed";
    EXPECT_EQ(tb.len, 0u);
  }
}

TEST(TextBufTest, SpliceThatCannotGrowKeepsTheLineTerminated) {
  struct Case {
    size_t room;
    const char *want;  // the room after the splice
  };
  const Case cases[] = {
      {4, "PO\r\n"},
      {2, "\r\n"},
      {1, "\n"},
      {0, ""},
  };
  for (const Case &c : cases) {
    SegFixture f("[" + std::string(c.room, '.') + "]", 1, 1 + c.room);
    // A segment length at the limit: growing by any amount would overflow
    // it, so the growth fails without touching the storage.
    uint32_t realLen = f.seg.len;
    f.seg.len = UINT32_MAX - 1;
    TextBuf tb = Make("PORT 1,2,3,4,5,6\r\n");
    uint8_t *oldEnd = f.end;
    TextBuf_Splice(&f.seg, &f.cursor, &f.end, &tb);
    EXPECT_EQ(f.seg.len, UINT32_MAX - 1);
    f.seg.len = realLen;
    EXPECT_EQ(f.Bytes(), "[" + std::string(c.want) + "]") << c.room;
    EXPECT_EQ(f.cursor, f.seg.data + 1 + c.room);
    EXPECT_EQ(f.end, oldEnd);
    EXPECT_EQ(tb.data, nullptr);
  }
}

}  // namespace
