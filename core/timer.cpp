// Timers and the daemon clock.
//
// Owns Clock_Now (the wall clock sampled once per loop pass through the
// Clock_Source seam) and the one timer list g_timers.
//
// Invariants of the timer list:
//   - It holds exactly the armed timers, in ascending order of expiry;
//     timers with equal expiry keep the order in which they were added
//     (Timer_Add inserts in front of the first strictly later timer).
//   - A timer that is not armed is linked to itself, so Timer_Cancel and
//     Timer_IsArmed work on any initialised timer.
//   - Expiry microseconds stay in 0..999999, also after a clock set back has
//     been compensated.
// Timer_RunExpired unlinks a timer before its callback runs, so the callback
// may re-arm it, touch other timers or free the owner, and it restarts from
// the head of the list after every callback.
#include "core/timer.h"

#include <sys/time.h>

namespace {

constexpr int64_t kUsecPerSec = 1000000;
constexpr int kMaxWaitMs = 1000;

ListLink g_timers = {&g_timers, &g_timers, nullptr};

// Timers are armed with a few fixed delays (acknowledgement, retransmission,
// idle, TIME_WAIT, flow expiry), each one later than the one armed before it
// with the same delay. For each of a few recent delays a place in the list is
// remembered: the last timer armed with it, or, once that timer has left
// the list, the timer that was in front of it (or the list's start). The
// next timer with that delay is placed from there, past only the timers that
// expire in between, however many others are armed.
struct Finger {
  int64_t delayUsec;
  ListLink *pos;  // an armed timer's link or &g_timers; nullptr: unused
};
Finger g_fingers[16];

Finger &Timer_FingerFor(int64_t delayUsec) {
  return g_fingers[(uint64_t(delayUsec) * 0x9E3779B97F4A7C15u) >> 60];
}

// Before a timer leaves the list: places at it move to the one in front.
void Timer_Forget(Timer *timer) {
  for (Finger &f : g_fingers)
    if (f.pos == &timer->link) f.pos = timer->link.prev;
}

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

int64_t Clock_DiffUsec(const ClockTime &a, const ClockTime &b) {
  return (a.sec - b.sec) * kUsecPerSec + (a.usec - b.usec);
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
  List_Init(&timer->link, timer);
  timer->expiry = {0, 0};
  timer->callback = callback;
  timer->arg = arg;
}

void Timer_Add(Timer *timer) {
  // Arming an armed timer again must not corrupt the list.
  Timer_Forget(timer);
  List_Unlink(&timer->link);
  const ClockTime &at = timer->expiry;
  int64_t delay = Clock_DiffUsec(at, Clock_Now);
  Finger &finger = Timer_FingerFor(delay);
  ListLink *pos = finger.delayUsec == delay ? finger.pos : nullptr;
  if (pos != nullptr && pos != &g_timers && Clock_Compare(List_Owner<Timer>(pos)->expiry, at) > 0)
    pos = nullptr;
  if (pos == nullptr && !List_Empty(&g_timers) &&
      Clock_DiffUsec(at, List_Owner<Timer>(g_timers.next)->expiry) <
          Clock_DiffUsec(List_Owner<Timer>(g_timers.prev)->expiry, at))
    pos = &g_timers;  // nearer the earliest end
  if (pos != nullptr) {
    // Forward: behind the last timer whose expiry is not later.
    while (pos->next != &g_timers && Clock_Compare(List_Owner<Timer>(pos->next)->expiry, at) <= 0)
      pos = pos->next;
  } else {
    // Backward from the latest end, to the same place.
    pos = g_timers.prev;
    while (pos != &g_timers && Clock_Compare(List_Owner<Timer>(pos)->expiry, at) > 0) pos = pos->prev;
  }
  List_InsertAfter(pos, &timer->link);
  finger = {delay, &timer->link};
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
  Timer_Forget(timer);
  List_Unlink(&timer->link);
}

bool Timer_IsArmed(const Timer *timer) { return timer->link.next != &timer->link; }

void Timer_RunExpired() {
  while (!List_Empty(&g_timers)) {
    Timer *first = List_Owner<Timer>(g_timers.next);
    if (Clock_Compare(first->expiry, Clock_Now) > 0) break;
    Timer_Forget(first);
    List_Unlink(&first->link);
    first->callback(first, first->arg);
  }
}

int Timer_NextTimeout() {
  if (List_Empty(&g_timers)) return -1;
  const Timer *first = List_Owner<Timer>(g_timers.next);
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
    for (ListLink *l = g_timers.next; l != &g_timers; l = l->next) {
      Timer *t = List_Owner<Timer>(l);
      t->expiry.sec -= back.sec;
      t->expiry.usec -= back.usec;
      Clock_Normalize(&t->expiry);
    }
  }
  Clock_Now = now;
}

unsigned Timer_Count() {
  unsigned n = 0;
  for (ListLink *l = g_timers.next; l != &g_timers; l = l->next) n++;
  return n;
}
