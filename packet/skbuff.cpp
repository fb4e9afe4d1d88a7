// Packet buffers: allocation, reference counting and the cursor operations
// with their consistency checks.
//
// A buffer is one allocation: the SkBuff fields followed by `size` bytes of
// storage. The one exception is a buffer made by SkBuff_AllocExternal (IP
// reassembly), whose cursors point into a separately malloc'd block that is
// freed together with the buffer.
//
// Invariants: head <= data <= tail <= end, len == tail - data, users >= 1
// while the buffer is live. Reserve, Put and Push check the cursor they move
// before moving it; a failure is a bug in the daemon's own head-room
// arithmetic (no guest or host input can cause it) and ends the process with
// a core dump. g_live counts the buffers allocated and not yet released.
#include "packet/skbuff.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The buffer module's name and the line numbers of its checks, as they
// appear in the check failure messages.
constexpr const char *kSkBuffPath = "apps/qlnat/skbuff";
constexpr int kLineReserveOver = 188;
constexpr int kLinePutOver = 116;
constexpr int kLinePushUnder = 132;

long g_live = 0;

[[noreturn]] void SkBuff_Bug(int line, const char *check) {
  fprintf(stderr, "BUG %s:%d: %s\n", kSkBuffPath, line, check);
  fflush(stderr);
  abort();
}

void SkBuff_InitFields(SkBuff *skb, uint8_t *storage, uint32_t size) {
  memset(skb, 0, sizeof *skb);
  skb->owner = skb;
  skb->size = size;
  skb->users = 1;
  skb->head = storage;
  skb->data = storage;
  skb->tail = storage;
  skb->end = storage + size;
  g_live++;
}

}  // namespace

SkBuff *SkBuff_Alloc(uint32_t size) {
  void *mem = malloc(sizeof(SkBuff) + size_t(size));
  if (mem == nullptr) return nullptr;
  SkBuff *skb = static_cast<SkBuff *>(mem);
  SkBuff_InitFields(skb, reinterpret_cast<uint8_t *>(skb + 1), size);
  return skb;
}

SkBuff *SkBuff_AllocExternal(uint8_t *block, uint32_t size) {
  SkBuff *skb = static_cast<SkBuff *>(malloc(sizeof(SkBuff)));
  if (skb == nullptr) {
    // The block was handed over; without a buffer to carry it, it goes.
    free(block);
    return nullptr;
  }
  SkBuff_InitFields(skb, block, size);
  skb->extBlock = block;
  return skb;
}

void SkBuff_Hold(SkBuff *skb) { skb->users++; }

void SkBuff_Free(SkBuff *skb) {
  if (--skb->users != 0) return;
  free(skb->extBlock);
  free(skb);
  g_live--;
}

void SkBuff_Reserve(SkBuff *skb, uint32_t n) {
  if (n > size_t(skb->end - skb->tail)) SkBuff_Bug(kLineReserveOver, "SkBuff_Reserve_over");
  skb->data += n;
  skb->tail += n;
}

uint8_t *SkBuff_Put(SkBuff *skb, uint32_t n) {
  if (n > size_t(skb->end - skb->tail)) SkBuff_Bug(kLinePutOver, "SkBuff_Put_over");
  uint8_t *added = skb->tail;
  skb->tail += n;
  skb->len += n;
  return added;
}

uint8_t *SkBuff_Push(SkBuff *skb, uint32_t n) {
  if (n > size_t(skb->data - skb->head)) SkBuff_Bug(kLinePushUnder, "SkBuff_Push_under");
  skb->data -= n;
  skb->len += n;
  return skb->data;
}

uint8_t *SkBuff_Pull(SkBuff *skb, uint32_t n) {
  if (skb->len < n) return nullptr;
  skb->data += n;
  skb->len -= n;
  return skb->data;
}

void SkBuff_Trim(SkBuff *skb, uint32_t newLen) {
  if (newLen >= skb->len) return;
  skb->len = newLen;
  skb->tail = skb->data + newLen;
}

long SkBuff_LiveCount() { return g_live; }
