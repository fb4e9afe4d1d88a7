// Timers and the daemon clock.
//
// Owns Clock_Now (the wall clock sampled once per loop pass through the
// Clock_Source seam) and the timer heap g_heap.
//
// Invariants of the timer heap:
//   - g_heap[0, g_count) holds exactly the armed timers as a binary min-heap
//     ordered by (expiry, seq): no timer comes before its parent. seq is
//     taken from a counter at every Timer_Add, so timers with equal expiry
//     run in the order in which they were added, as in one sorted list.
//   - A timer's slot is 1 + its index in the heap while armed, 0 otherwise,
//     so Timer_Cancel and Timer_IsArmed work on any initialised timer and
//     cancelling is O(log n) without a search.
//   - Expiry microseconds stay in 0..999999, also after a clock set back has
//     been compensated; moving every timer back by the same amount keeps
//     their order, so the heap stays valid.
// Timer_RunExpired disarms a timer before its callback runs, so the callback
// may re-arm it, touch other timers or free the owner, and it looks at the
// earliest timer afresh after every callback.
#include "core/timer.h"

#include <sys/time.h>

#include <cstdlib>

#include "lib/support.h"

namespace {

constexpr int64_t kUsecPerSec = 1000000;
constexpr int kMaxWaitMs = 1000;

Timer **g_heap = nullptr;
uint32_t g_count = 0;
uint32_t g_capacity = 0;
uint64_t g_nextSeq = 0;

int Clock_ReadWall(ClockTime *out) {
  struct timeval tv;
  if (gettimeofday(&tv, nullptr) != 0) return -1;
  out->sec = tv.tv_sec;
  out->usec = tv.tv_usec;
  return 0;
}

// Brings usec into 0..999999, carrying whole seconds into sec.
void Clock_Normalize(ClockTime *t) {
  int64_t carry = t->usec / kUsecPerSec;
  t->usec -= carry * kUsecPerSec;
  t->sec += carry;
  if (t->usec < 0) {
    t->usec += kUsecPerSec;
    t->sec--;
  }
}

bool Timer_Before(const Timer *a, const Timer *b) {
  int c = Clock_Compare(a->expiry, b->expiry);
  return c != 0 ? c < 0 : a->seq < b->seq;
}

void Timer_Place(Timer *t, uint32_t i) {
  g_heap[i] = t;
  t->slot = i + 1;
}

// Moves the timer at index i towards the root while it is earlier than its
// parent, then towards the leaves while a child is earlier than it.
void Timer_Sift(uint32_t i) {
  Timer *t = g_heap[i];
  while (i > 0 && Timer_Before(t, g_heap[(i - 1) / 2])) {
    Timer_Place(g_heap[(i - 1) / 2], i);
    i = (i - 1) / 2;
  }
  for (;;) {
    uint32_t c = 2 * i + 1;
    if (c >= g_count) break;
    if (c + 1 < g_count && Timer_Before(g_heap[c + 1], g_heap[c])) c++;
    if (!Timer_Before(g_heap[c], t)) break;
    Timer_Place(g_heap[c], i);
    i = c;
  }
  Timer_Place(t, i);
}

}  // namespace

ClockTime Clock_Now = {0, 0};
ClockSourceFn Clock_Source = Clock_ReadWall;

int Clock_Compare(const ClockTime &a, const ClockTime &b) {
  int32_t dsec = int32_t(uint32_t(a.sec) - uint32_t(b.sec));
  if (dsec != 0) return dsec < 0 ? -1 : 1;
  if (a.usec != b.usec) return a.usec < b.usec ? -1 : 1;
  return 0;
}

void Timer_Init(Timer *timer, TimerFn callback, void *arg) {
  timer->expiry = {0, 0};
  timer->callback = callback;
  timer->arg = arg;
  timer->slot = 0;
  timer->seq = 0;
}

void Timer_Add(Timer *timer) {
  // Arming an armed timer again moves it behind its new equals.
  Timer_Cancel(timer);
  if (g_count == g_capacity) {
    uint32_t capacity = g_capacity ? 2 * g_capacity : 64;
    Timer **heap = static_cast<Timer **>(realloc(g_heap, capacity * sizeof(Timer *)));
    if (!heap) Main_Panic("Timer_Add: out of memory");
    g_heap = heap;
    g_capacity = capacity;
  }
  timer->seq = g_nextSeq++;
  Timer_Place(timer, g_count++);
  Timer_Sift(g_count - 1);
}

void Timer_AddSeconds(Timer *timer, int64_t seconds) {
  Timer_Cancel(timer);
  timer->expiry.sec = Clock_Now.sec + seconds;
  timer->expiry.usec = Clock_Now.usec;
  Timer_Add(timer);
}

void Timer_AddMillis(Timer *timer, int64_t ms) {
  Timer_Cancel(timer);
  timer->expiry.sec = Clock_Now.sec + ms / 1000;
  timer->expiry.usec = Clock_Now.usec + (ms % 1000) * 1000;
  Clock_Normalize(&timer->expiry);
  Timer_Add(timer);
}

void Timer_Cancel(Timer *timer) {
  if (timer->slot == 0) return;
  uint32_t i = timer->slot - 1;
  timer->slot = 0;
  Timer *last = g_heap[--g_count];
  if (last == timer) return;
  Timer_Place(last, i);
  Timer_Sift(i);
}

bool Timer_IsArmed(const Timer *timer) { return timer->slot != 0; }

void Timer_RunExpired() {
  while (g_count > 0) {
    Timer *first = g_heap[0];
    if (Clock_Compare(first->expiry, Clock_Now) > 0) break;
    Timer_Cancel(first);
    first->callback(first, first->arg);
  }
}

int Timer_NextTimeout() {
  if (g_count == 0) return -1;
  const Timer *first = g_heap[0];
  int64_t dsec = first->expiry.sec - Clock_Now.sec;
  int64_t dusec = first->expiry.usec - Clock_Now.usec;
  if (dusec < 0) {
    dusec += kUsecPerSec;
    dsec--;
  }
  if (dsec < 0) return 0;
  if (dsec >= 1) return kMaxWaitMs;
  return int(dusec / 1000);
}

void Clock_Update() {
  ClockTime now;
  if (Clock_Source(&now) != 0) return;
  if (Clock_Compare(now, Clock_Now) < 0) {
    // The wall clock was set back: move every armed timer back by the same
    // amount so that each keeps its remaining time.
    ClockTime back = {Clock_Now.sec - now.sec, Clock_Now.usec - now.usec};
    Clock_Normalize(&back);
    for (uint32_t i = 0; i < g_count; i++) {
      Timer *t = g_heap[i];
      t->expiry.sec -= back.sec;
      t->expiry.usec -= back.usec;
      Clock_Normalize(&t->expiry);
    }
  }
  Clock_Now = now;
}

unsigned Timer_Count() { return g_count; }
