// Packet buffers: cursor operations at their limits, the three checks that
// end the process, reference counting and external storage.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <cstdlib>
#include <cstring>

#include "packet/skbuff.h"

namespace {

class SkBuffTest : public ::testing::Test {
 protected:
  void SetUp() override { live_ = SkBuff_LiveCount(); }
  void TearDown() override { EXPECT_EQ(SkBuff_LiveCount(), live_) << "a buffer was left live"; }
  long live_ = 0;
};

void ExpectInvariants(const SkBuff *skb) {
  EXPECT_LE(skb->head, skb->data);
  EXPECT_LE(skb->data, skb->tail);
  EXPECT_LE(skb->tail, skb->end);
  EXPECT_EQ(skb->len, uint32_t(skb->tail - skb->data));
}

TEST_F(SkBuffTest, OutgoingPacketIsBuiltFrontToBackInPlace) {
  SkBuff *skb = SkBuff_Alloc(1024);
  ASSERT_NE(skb, nullptr);
  EXPECT_EQ(SkBuff_LiveCount(), live_ + 1);
  EXPECT_EQ(skb->owner, skb);
  EXPECT_EQ(skb->users, 1u);
  EXPECT_EQ(skb->len, 0u);
  EXPECT_EQ(skb->size, 1024u);
  EXPECT_EQ(skb->end - skb->head, 1024);
  EXPECT_EQ(skb->transportHdr, nullptr);
  EXPECT_EQ(skb->networkHdr, nullptr);
  EXPECT_EQ(skb->linkHdr, nullptr);
  memset(skb->head, 0xAB, 1024);  // the whole storage is writable

  SkBuff_Reserve(skb, 128);
  EXPECT_EQ(skb->len, 0u);
  uint8_t *payload = SkBuff_Put(skb, 100);
  EXPECT_EQ(payload, skb->head + 128);
  memset(payload, 'p', 100);
  uint8_t *udp = SkBuff_Push(skb, 8);
  uint8_t *ip = SkBuff_Push(skb, 20);
  uint8_t *eth = SkBuff_Push(skb, 14);
  EXPECT_EQ(udp, payload - 8);
  EXPECT_EQ(ip, udp - 20);
  EXPECT_EQ(eth, skb->data);
  EXPECT_EQ(skb->len, 142u);
  EXPECT_EQ(SkBuff_Headroom(skb), 128u - 42u);
  EXPECT_EQ(payload[99], 'p') << "the payload is not copied";
  ExpectInvariants(skb);
  SkBuff_Free(skb);
}

TEST_F(SkBuffTest, CursorsReachTheirLimitsExactly) {
  SkBuff *skb = SkBuff_Alloc(64);
  ASSERT_NE(skb, nullptr);
  SkBuff_Reserve(skb, 64);  // tail == end is allowed
  EXPECT_EQ(skb->tail, skb->end);
  EXPECT_EQ(SkBuff_Push(skb, 64), skb->head);  // data == head is allowed
  EXPECT_EQ(skb->len, 64u);
  ExpectInvariants(skb);
  SkBuff_Free(skb);

  skb = SkBuff_Alloc(32);
  ASSERT_NE(skb, nullptr);
  SkBuff_Put(skb, 20);
  SkBuff_Put(skb, 12);
  EXPECT_EQ(skb->tail, skb->end);
  EXPECT_EQ(SkBuff_Put(skb, 0), skb->end);
  ExpectInvariants(skb);
  SkBuff_Free(skb);

  skb = SkBuff_Alloc(0);  // an empty frame still makes a valid buffer
  ASSERT_NE(skb, nullptr);
  EXPECT_EQ(skb->head, skb->end);
  SkBuff_Free(skb);
}

TEST_F(SkBuffTest, PullAndTrim) {
  SkBuff *skb = SkBuff_Alloc(60);
  ASSERT_NE(skb, nullptr);
  uint8_t *frame = SkBuff_Put(skb, 60);
  struct Step {
    const char *what;
    bool pull;
    uint32_t n;
    bool ok;
    uint32_t wantLen;
    long wantOffset;  // data - frame
  };
  const Step steps[] = {
      {"pull Ethernet", true, 14, true, 46, 14},
      {"pull more than len", true, 47, false, 46, 14},
      {"trim padding", false, 28, true, 28, 14},
      {"trim to a larger length", false, 40, true, 28, 14},
      {"trim to the same length", false, 28, true, 28, 14},
      {"pull exactly len", true, 28, true, 0, 42},
      {"pull from empty", true, 1, false, 0, 42},
      {"pull nothing from empty", true, 0, true, 0, 42},
  };
  for (const Step &s : steps) {
    if (s.pull) {
      uint8_t *got = SkBuff_Pull(skb, s.n);
      EXPECT_EQ(got != nullptr, s.ok) << s.what;
      if (got != nullptr) {
        EXPECT_EQ(got, skb->data) << s.what;
      }
    } else {
      SkBuff_Trim(skb, s.n);
    }
    EXPECT_EQ(skb->len, s.wantLen) << s.what;
    EXPECT_EQ(skb->data - frame, s.wantOffset) << s.what;
    ExpectInvariants(skb);
  }
  SkBuff_Free(skb);
}

TEST_F(SkBuffTest, QueuedBufferOutlivesItsProducer) {
  SkBuff *skb = SkBuff_Alloc(100);
  ASSERT_NE(skb, nullptr);
  // A pending queue takes its own reference before linking the buffer.
  SkBuff queue = {};
  queue.next = queue.prev = &queue;
  SkBuff_Hold(skb);
  skb->next = &queue;
  skb->prev = &queue;
  queue.next = queue.prev = skb;
  EXPECT_EQ(skb->users, 2u);

  SkBuff_Free(skb);  // the producer is done with it
  EXPECT_EQ(SkBuff_LiveCount(), live_ + 1);
  EXPECT_EQ(queue.next, skb);
  memset(SkBuff_Put(skb, 100), 1, 100);  // still usable (ASan would object otherwise)

  SkBuff *taken = queue.next;
  queue.next = queue.prev = &queue;
  SkBuff_Free(taken);
  EXPECT_EQ(SkBuff_LiveCount(), live_);
}

TEST_F(SkBuffTest, ExternalStorageIsReleasedWithTheBuffer) {
  constexpr uint32_t kSize = 34 + 3000;
  uint8_t *block = static_cast<uint8_t *>(malloc(kSize));
  ASSERT_NE(block, nullptr);
  SkBuff *skb = SkBuff_AllocExternal(block, kSize);
  ASSERT_NE(skb, nullptr);
  EXPECT_EQ(skb->head, block);
  EXPECT_EQ(skb->end, block + kSize);
  EXPECT_EQ(skb->users, 1u);
  SkBuff_Reserve(skb, 34);
  memset(SkBuff_Put(skb, 3000), 7, 3000);
  SkBuff_Push(skb, 20);
  SkBuff_Push(skb, 14);
  EXPECT_EQ(skb->data, block);
  ExpectInvariants(skb);
  SkBuff_Hold(skb);
  SkBuff_Free(skb);
  EXPECT_EQ(SkBuff_LiveCount(), live_ + 1);
  SkBuff_Free(skb);  // the block goes too: LeakSanitizer would report it
}

// Death test child: runs `run` on a fresh 64-byte buffer; a check that does
// not fire exits with 0.
void RunWithoutCore(void (*run)(SkBuff *skb)) {
  struct rlimit none = {0, 0};
  setrlimit(RLIMIT_CORE, &none);  // no core file from the test
  SkBuff *skb = SkBuff_Alloc(64);
  if (skb == nullptr) _exit(2);
  run(skb);
  _exit(0);
}

// The checks guard the daemon's own arithmetic; a failure is a bug report
// and an abort with a core dump.
TEST(SkBuffDeathTest, FailedChecksReportAndAbort) {
  struct Case {
    const char *message;
    void (*run)(SkBuff *skb);
  };
  const Case cases[] = {
      {"BUG apps/qlnat/skbuff:188: SkBuff_Reserve_over\n",
       [](SkBuff *skb) { SkBuff_Reserve(skb, 65); }},
      {"BUG apps/qlnat/skbuff:116: SkBuff_Put_over\n",
       [](SkBuff *skb) {
         SkBuff_Put(skb, 60);
         SkBuff_Put(skb, 5);
       }},
      {"BUG apps/qlnat/skbuff:132: SkBuff_Push_under\n",
       [](SkBuff *skb) {
         SkBuff_Reserve(skb, 16);
         SkBuff_Push(skb, 17);
       }},
      {"BUG apps/qlnat/skbuff:132: SkBuff_Push_under\n",
       [](SkBuff *skb) { SkBuff_Push(skb, 1); }},
  };
  for (const Case &c : cases) {
    EXPECT_EXIT(
        RunWithoutCore(c.run),
        ::testing::KilledBySignal(SIGABRT), std::string("^") + c.message + "$")
        << c.message;
  }
}

}  // namespace
