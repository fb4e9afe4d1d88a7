// Timers and the daemon clock.
//
// Clock_Now is the wall clock sampled once per pass of the main loop. Timers
// are records embedded in their owners; the armed ones run in ascending
// order of expiry, and equal expiries in the order of addition.
#pragma once

#include <cstdint>

struct ClockTime {
  int64_t sec;
  int64_t usec;  // 0..999999
};

/// Wall-clock time at the last Clock_Update.
extern ClockTime Clock_Now;

/// Seam: the source Clock_Update reads (default gettimeofday). Returns 0 and
/// fills `out`, or -1 on failure. Tests install a simulated clock.
using ClockSourceFn = int (*)(ClockTime *out);
extern ClockSourceFn Clock_Source;

struct Timer;
using TimerFn = void (*)(Timer *timer, void *arg);

struct Timer {
  ClockTime expiry;
  TimerFn callback;
  void *arg;
  uint32_t slot;  // 1 + place in the timer heap; 0 while not armed
  uint64_t seq;   // order of addition, breaks ties between equal expiries
};

/// A timer that is not armed, for static records that are never given to
/// Timer_Init (a zero-filled Timer is one too, without a callback).
constexpr Timer Timer_Unarmed(TimerFn callback, void *arg) { return Timer{{0, 0}, callback, arg, 0, 0}; }

/// Marks the timer not armed and stores callback and argument.
void Timer_Init(Timer *timer, TimerFn callback, void *arg);

/// Arms the timer (expiry already written), behind timers with the same
/// expiry; O(log n). The timer heap keeps a pointer; the owner keeps
/// ownership and cancels before freeing.
void Timer_Add(Timer *timer);

/// Arms the timer at Clock_Now + `seconds`, same microseconds (cancelling
/// it first).
void Timer_AddSeconds(Timer *timer, int64_t seconds);

/// Arms the timer at Clock_Now + `ms` milliseconds (cancelling it first).
void Timer_AddMillis(Timer *timer, int64_t ms);

/// Disarms the timer; harmless when it is not armed. O(log n).
void Timer_Cancel(Timer *timer);

/// True while the timer is armed.
bool Timer_IsArmed(const Timer *timer);

/// Runs every timer whose expiry is not later than Clock_Now, earliest first;
/// each is disarmed before its callback, which may re-arm it or free its
/// owner. Timers armed due by a callback run in the same call.
void Timer_RunExpired();

/// Poll time-out in ms: -1 with no timer, else 0 (due), 1000 (a second or
/// more away) or the milliseconds to the first expiry, truncated.
int Timer_NextTimeout();

/// Samples Clock_Source; a clock set back moves every armed timer back by
/// the same amount so that remaining times are kept.
void Clock_Update();

/// Number of armed timers (for tests and leak checks).
unsigned Timer_Count();

/// Compares two times: <0, 0, >0 (seconds first, their difference taken as
/// 32-bit signed; microseconds on equal seconds).
int Clock_Compare(const ClockTime &a, const ClockTime &b);
