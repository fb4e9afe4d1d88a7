// Timers and clock, on a simulated clock: ordering, poll time-outs, clock
// set back and forward, and callbacks that free or re-arm.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/timer.h"

namespace {

ClockTime g_sim;
bool g_simFails = false;

int SimClock(ClockTime *out) {
  if (g_simFails) return -1;
  *out = g_sim;
  return 0;
}

std::vector<std::string> g_fired;

// A record that embeds a timer, as owners do.
struct Owner {
  Timer timer;
  std::string name;
};

void Owner_Fire(Timer *, void *arg) { g_fired.push_back(static_cast<Owner *>(arg)->name); }

class TimerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(Timer_Count(), 0u) << "an earlier test left a timer armed";
    savedSource_ = Clock_Source;
    savedNow_ = Clock_Now;
    Clock_Source = SimClock;
    g_simFails = false;
    g_fired.clear();
    SetClock(1000000, 0);
  }
  void TearDown() override {
    EXPECT_EQ(Timer_Count(), 0u);
    Clock_Source = savedSource_;
    Clock_Now = savedNow_;
  }
  static void SetClock(int64_t sec, int64_t usec) {
    g_sim = {sec, usec};
    Clock_Update();
  }
  static void Advance(int64_t usec) {
    int64_t total = g_sim.sec * 1000000 + g_sim.usec + usec;
    g_sim = {total / 1000000, total % 1000000};  // the clock stays positive
    Clock_Update();
  }
  void Arm(Owner *o, const std::string &name, int64_t usecFromNow) {
    o->name = name;
    Timer_Init(&o->timer, Owner_Fire, o);
    int64_t total = Clock_Now.usec + usecFromNow;
    o->timer.expiry.sec = Clock_Now.sec + total / 1000000;
    o->timer.expiry.usec = total % 1000000;
    if (o->timer.expiry.usec < 0) {
      o->timer.expiry.usec += 1000000;
      o->timer.expiry.sec--;
    }
    Timer_Add(&o->timer);
  }

 private:
  ClockSourceFn savedSource_ = nullptr;
  ClockTime savedNow_ = {};
};

TEST_F(TimerTest, RunInExpiryOrderAndEqualExpiriesInOrderOfAddition) {
  Owner o[6];
  Arm(&o[0], "a5", 5000000);
  Arm(&o[1], "b3", 3000000);
  Arm(&o[2], "c5", 5000000);
  Arm(&o[3], "d3.5", 3500000);
  Arm(&o[4], "e5", 5000000);
  Arm(&o[5], "f3", 3000000);
  // Adding an armed timer again moves it rather than linking it twice; it
  // now shares its expiry with b3 and f3 and, added last, runs after them.
  o[2].timer.expiry.sec -= 2;
  Timer_Add(&o[2].timer);
  EXPECT_EQ(Timer_Count(), 6u);

  Advance(3000000);  // exactly due: not later than now
  Timer_RunExpired();
  EXPECT_EQ(g_fired, (std::vector<std::string>{"b3", "f3", "c5"}));
  EXPECT_FALSE(Timer_IsArmed(&o[1].timer));
  EXPECT_TRUE(Timer_IsArmed(&o[3].timer));

  Advance(1999999);
  Timer_RunExpired();
  EXPECT_EQ(g_fired.size(), 4u) << "the 5 s timers are one microsecond away";
  Advance(1);
  Timer_RunExpired();
  EXPECT_EQ(g_fired, (std::vector<std::string>{"b3", "f3", "c5", "d3.5", "a5", "e5"}));
}

TEST_F(TimerTest, NextTimeout) {
  struct Case {
    const char *what;
    int64_t nowUsec;      // microseconds of the clock
    int64_t usecFromNow;  // expiry of the only timer; none when INT64_MIN
    int wantMs;
  };
  const Case cases[] = {
      {"no timer", 0, INT64_MIN, -1},
      {"2.5 s", 0, 2500000, 1000},
      {"exactly 1 s", 0, 1000000, 1000},
      {"just under 1 s", 0, 999999, 999},
      {"0.25 s", 0, 250000, 250},
      {"0.25 s across a second", 900000, 250000, 250},
      {"sub-millisecond truncates", 0, 999, 0},
      {"due now", 500000, 0, 0},
      {"overdue", 500000, -1, 0},
      {"overdue by seconds", 0, -3000001, 0},
  };
  for (const Case &c : cases) {
    SetClock(2000000, c.nowUsec);
    Owner o;
    if (c.usecFromNow != INT64_MIN) Arm(&o, "t", c.usecFromNow);
    EXPECT_EQ(Timer_NextTimeout(), c.wantMs) << c.what;
    if (c.usecFromNow != INT64_MIN) Timer_Cancel(&o.timer);
  }
}

TEST_F(TimerTest, ArmingHelpersAddToTheClock) {
  struct Case {
    int64_t nowUsec;
    bool millis;
    int64_t amount;
    ClockTime want;  // relative to a clock at second 500
  };
  const Case cases[] = {
      {250000, false, 20, {520, 250000}},
      {250000, true, 1500, {501, 750000}},
      {999000, true, 1500, {502, 499000}},
      {0, true, 999, {500, 999000}},
      {100, true, -1, {499, 999100}},
  };
  for (const Case &c : cases) {
    SetClock(500, c.nowUsec);
    Owner o;
    Timer_Init(&o.timer, Owner_Fire, &o);
    // Arming twice re-arms rather than linking the timer twice.
    for (int i = 0; i < 2; i++) {
      if (c.millis)
        Timer_AddMillis(&o.timer, c.amount);
      else
        Timer_AddSeconds(&o.timer, c.amount);
    }
    EXPECT_EQ(o.timer.expiry.sec, c.want.sec) << c.amount;
    EXPECT_EQ(o.timer.expiry.usec, c.want.usec) << c.amount;
    EXPECT_EQ(Timer_Count(), 1u);
    Timer_Cancel(&o.timer);
    Timer_Cancel(&o.timer);  // harmless when not armed
    EXPECT_FALSE(Timer_IsArmed(&o.timer));
  }
}

TEST_F(TimerTest, ClockSetBackKeepsRemainingTime) {
  struct Case {
    const char *what;
    int64_t backUsec;
  };
  const Case cases[] = {
      {"one hour", 3600LL * 1000000},
      {"with a microsecond borrow", 700001},
      {"a single microsecond", 1},
  };
  for (const Case &c : cases) {
    SetClock(1000000, 300000);
    Owner near, far;
    Arm(&near, "near", 250000);
    Arm(&far, "far", 10 * 1000000 + 800000);
    Advance(-c.backUsec);
    EXPECT_EQ(Clock_Now.sec * 1000000 + Clock_Now.usec, 1000000LL * 1000000 + 300000 - c.backUsec)
        << c.what;
    for (Owner *o : {&near, &far}) {
      EXPECT_GE(o->timer.expiry.usec, 0) << c.what;
      EXPECT_LT(o->timer.expiry.usec, 1000000) << c.what;
    }
    EXPECT_EQ(Timer_NextTimeout(), 250) << c.what;
    Advance(249999);
    Timer_RunExpired();
    EXPECT_TRUE(g_fired.empty()) << c.what;
    Advance(1);
    Timer_RunExpired();
    EXPECT_EQ(g_fired, (std::vector<std::string>{"near"})) << c.what;
    Advance(10 * 1000000 + 550000 - 1);
    Timer_RunExpired();
    EXPECT_EQ(g_fired.size(), 1u) << c.what;
    Advance(1);
    Timer_RunExpired();
    EXPECT_EQ(g_fired.size(), 2u) << c.what;
    g_fired.clear();
  }
}

TEST_F(TimerTest, ClockSetForwardIsNotCompensatedAndFailedReadsChangeNothing) {
  Owner o;
  Arm(&o, "o", 30 * 1000000);
  g_simFails = true;
  g_sim.sec += 3600;
  Clock_Update();
  EXPECT_EQ(Clock_Now.sec, 1000000);
  g_simFails = false;
  Clock_Update();
  EXPECT_EQ(Clock_Now.sec, 1003600);
  EXPECT_EQ(Timer_NextTimeout(), 0);
  Timer_RunExpired();
  EXPECT_EQ(g_fired, (std::vector<std::string>{"o"}));
}

TEST_F(TimerTest, CallbackMayFreeItsOwner) {
  // The owner is freed inside its own callback (ASan would see a later touch
  // of the timer); a timer behind it still runs.
  struct HeapOwner {
    Timer timer;
  };
  HeapOwner *h = new HeapOwner;
  Timer_Init(&h->timer, [](Timer *, void *arg) {
    delete static_cast<HeapOwner *>(arg);
    g_fired.push_back("freed");
  }, h);
  h->timer.expiry = Clock_Now;
  Timer_Add(&h->timer);
  Owner after;
  Arm(&after, "after", 0);
  Timer_RunExpired();
  EXPECT_EQ(g_fired, (std::vector<std::string>{"freed", "after"}));
}

TEST_F(TimerTest, TimersArmedByCallbacksRunInTheSameCallWhenDue) {
  static Owner self, other, later;
  static int selfRuns;
  selfRuns = 0;
  Arm(&later, "later", 1);
  later.name = "later";
  self.name = "self";
  other.name = "other";
  Timer_Init(&other.timer, Owner_Fire, &other);
  Timer_Init(&self.timer, [](Timer *t, void *) {
    g_fired.push_back("self");
    if (++selfRuns == 1) {
      t->expiry = Clock_Now;  // due again: re-armed and run once more
      Timer_Add(t);
      Timer_AddMillis(&other.timer, -5);
    }
  }, &self);
  self.timer.expiry = Clock_Now;
  Timer_Add(&self.timer);
  Timer_RunExpired();
  // `other` is earlier than the re-armed `self`, so it runs first.
  EXPECT_EQ(g_fired, (std::vector<std::string>{"self", "other", "self"}));
  EXPECT_TRUE(Timer_IsArmed(&later.timer)) << "a timer one microsecond away must wait";
  Timer_Cancel(&later.timer);
}

}  // namespace
