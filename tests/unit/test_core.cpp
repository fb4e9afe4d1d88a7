// The daemon's core algorithms with real edge cases: the configuration
// reader, timers on a simulated clock and the poll table, as tables of
// cases run by one checker each.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/config.h"
#include "core/poll.h"
#include "core/timer.h"

namespace {

void WriteConfig(const std::string &text) {
  Config_Path = "/tmp/natd-unit-config." + std::to_string(getpid());
  std::ofstream(Config_Path) << text;
}

TEST(Config, Lookups) {
  const std::string piece(16383, 'x');  // fgets hands a longer line over in pieces of this size
  const std::optional<std::string> none;
  const struct { std::string file; const char *section, *key; std::optional<std::string> want; } cases[] = {
      {"[HOST]\nIP: 1\n", "host", "ip", "1"},
      {"  \t[Host] x\n\tip \t= \t7\n", "host", "ip", "7"},
      {"[ host ]\nip = 1\n[hostx]\nip = 1\n", "host", "ip", none},
      {"ip = 1\n[tcp]\nip = 1\n", "host", "ip", none},
      {"[s]\nport2 = 1\nports = 2\nport = 5\n", "s", "port", "5"},
      {"[s]\n#k = 1\nk = 2\nk = 3\n", "s", "k", "2"},
      {"[udp]\na = 1\n[tcp]\nb = 2\n[udp]\nb = 3\n", "udp", "b", "3"},
      {"[s]\nk = \"my dev\" x\n", "s", "k", "my dev"},
      {"[s]\nk = my dev # comment\n", "s", "k", "my"},
      {"[s]\nk = 'a \"b\"\n", "s", "k", "a \"b\""},
      {"[s]\nk = \"x\\\"y\"\n", "s", "k", "x\"y"},
      {"[s]\nk = a\\tb\\nc\\rd\\ e\\\\f\n", "s", "k", "a\tb\nc\rd e\\f"},
      {"[s]\nk = abc\\\nnext = 1\n", "s", "k", "abc"},
      {"[s]\nk =  \t\n", "s", "k", ""},
      {"[s]\r\nk = \"a b\"\r\n", "s", "k", "a b"},
      {"[s]\nk = v", "s", "k", "v"},
      {"[s]\nlong = " + piece + "\nk = v\n", "s", "k", "v"},
      {"[s]\nlong = " + piece + "\n", "s", "long", std::string(16383 - 7, 'x')},
      {"[s]\n" + piece + "hidden = 1\n", "s", "hidden", "1"},
  };
  for (const auto &c : cases) {
    WriteConfig(c.file);
    EXPECT_EQ(Config_GetString(c.section, c.key), c.want) << c.file.substr(0, 60);
  }
  for (auto [value, want] : {std::pair{"30", 30ul}, {"", 0ul}, {"30s", 99ul}, {"\"42\"", 42ul}, {"0x10", 99ul}}) {
    WriteConfig(std::string("[udp]\ntimeout = ") + value + "\n");
    EXPECT_EQ(Config_GetInt("udp", "timeout", 99), want) << value;
  }
  Config_Path = "/nonexistent/nat.conf";
  EXPECT_EQ(Config_GetInt("udp", "timeout", 99), 99ul);
  EXPECT_EQ(Config_OpenSection("udp"), nullptr);
}

TEST(Config, SectionWalk) {
  WriteConfig("k = 0\n[IncomingTCP]\r\n8887 = 10.0.0.5:21\r\n  #8888 = x\n\n= x\nnoseparator\n"
              "my key \t: a=b\nq = \"a b\r\nz = x\\\r\n[other]\nj = 1\n[incomingtcp]\nlater = 1\n");
  std::vector<std::pair<std::string, std::string>> got;
  ConfigSection *c = Config_OpenSection("incomingtcp");
  std::string value;
  while (auto key = Config_NextEntry(c, &value)) {
    got.emplace_back(*key, value);
    EXPECT_EQ(Config_GetString("other", "j"), "1") << "a lookup between steps";
  }
  EXPECT_FALSE(Config_NextEntry(c, &value)) << "an exhausted walk stays exhausted";
  Config_CloseSection(c);
  EXPECT_EQ(got, (decltype(got){{"8887", "10.0.0.5:21"}, {"my key", "a=b"}, {"q", "a b"}, {"z", "x"}}));
}

ClockTime g_sim;
std::string g_fired;  // names of the timers run, in order

struct Named { Timer timer; char name; };

class TimerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Clock_Source = [](ClockTime *out) { return *out = g_sim, 0; };
    Advance(1000000LL * 1000000 + 300000 - (g_sim.sec * 1000000 + g_sim.usec));
    g_fired.clear();
  }
  void TearDown() override { EXPECT_EQ(Timer_Count(), 0u); }
  static void Advance(int64_t usec) {  // and run what is due
    int64_t t = g_sim.sec * 1000000 + g_sim.usec + usec;
    g_sim = {t / 1000000, t % 1000000};
    Clock_Update();
    Timer_RunExpired();
  }
  static void Arm(Named *n, char name, int64_t ms) {
    n->name = name;
    Timer_Init(&n->timer, [](Timer *, void *arg) { g_fired += static_cast<Named *>(arg)->name; }, n);
    Timer_AddMillis(&n->timer, ms);
  }
};

TEST_F(TimerTest, ExpiryOrderAndEqualExpiriesInOrderOfArming) {
  Named t[6];
  for (int i = 0; i < 6; i++) Arm(&t[i], "abcdef"[i], (const int[]){5000, 3000, 5000, 3500, 5000, 3000}[i]);
  Timer_AddMillis(&t[2].timer, 3000);  // re-arming moves it behind b and f
  EXPECT_EQ(Timer_Count(), 6u);
  for (auto [usec, fired] : {std::pair{3000000, "bfc"}, {1999999, "bfcd"}, {1, "bfcdae"}}) {
    Advance(usec);
    EXPECT_EQ(g_fired, fired);
  }
}

TEST_F(TimerTest, PollTimeout) {
  EXPECT_EQ(Timer_NextTimeout(), -1);
  // The clock's microseconds, the only timer's distance, the time-out.
  const struct { int64_t nowUsec, inUsec; int wantMs; } cases[] = {
      {0, 2500000, 1000}, {0, 1500000, 1000}, {0, 1000000, 1000}, {0, 999999, 999},
      {900000, 250000, 250}, {0, 999, 0}, {500000, 0, 0}, {0, -3000001, 0}};
  for (const auto &c : cases) {
    Advance(c.nowUsec - g_sim.usec);
    Named t;
    Timer_Init(&t.timer, nullptr, nullptr);
    int64_t at = g_sim.sec * 1000000 + c.nowUsec + c.inUsec;
    t.timer.expiry = {at / 1000000, at % 1000000};
    Timer_Add(&t.timer);
    EXPECT_EQ(Timer_NextTimeout(), c.wantMs) << c.inUsec;
    Timer_Cancel(&t.timer);
  }
}

TEST_F(TimerTest, ClockSetBackKeepsRemainingTimes) {
  for (int64_t back : {3600LL * 1000000, 700001LL, 1LL}) {
    Named near, far;
    Arm(&near, 'n', 250);
    Arm(&far, 'f', 10800);
    Advance(-back);
    EXPECT_TRUE(far.timer.expiry.usec >= 0 && far.timer.expiry.usec < 1000000) << back;
    EXPECT_EQ(Timer_NextTimeout(), 250) << back;
    for (auto [usec, fired] : {std::pair{249999, ""}, {1, "n"}, {10549999, "n"}, {1, "nf"}}) {
      Advance(usec);
      EXPECT_EQ(g_fired, fired) << back;
    }
    g_fired.clear();
  }
}

std::string g_log;  // "E<name>" per event, "R<name>" per release, "<n>" slots in use

// A record of the table; its descriptor is a distinct negative number, which
// poll() skips, so events come from `ready` marks only.
struct Rec { PollEntry entry; char name; Rec *other; };  // `other`: removed with itself by its event

Rec *NewRec(char name, short events, int ready) {
  Rec *r = new Rec{{}, name, nullptr};
  Poll_Init(&r->entry, [](PollEntry *e, struct pollfd *) {
    Rec *self = reinterpret_cast<Rec *>(e);
    g_log += std::string("E") + self->name;
    if (!self->other) return;
    Poll_Remove(e);
    Poll_Remove(&self->other->entry);
    g_log += std::to_string(Poll_Used());
  }, [](PollEntry *e) {
    g_log += std::string("R") + reinterpret_cast<Rec *>(e)->name;
    delete reinterpret_cast<Rec *>(e);
  });
  r->entry.fd = -name;
  EXPECT_EQ(Poll_Add(&r->entry), 0);
  Poll_SetEvents(&r->entry, events);
  Poll_SetReady(&r->entry, ready);
  return r;
}

// The slot an entry claims holds its descriptor.
bool SlotValid(const Rec *r) { return r->entry.index < Poll_Used() && Poll_Slots()[r->entry.index].fd == r->entry.fd; }

class PollTest : public ::testing::Test {
 protected:
  void SetUp() override { g_log.clear(); }
  void TearDown() override {
    Poll_RemoveAll();
    EXPECT_EQ(Poll_Used() + Poll_EnqCount(), 0u);
  }
};

TEST_F(PollTest, RemovalIsDeferredUntilThePassEnds) {
  Rec *a = NewRec('a', POLLIN, POLLIN), *b = NewRec('b', POLLIN, POLLIN);
  a->other = NewRec('c', POLLIN, POLLIN);
  Poll_RunOnce(0);
  // c, removed by a, is still served; releases go most recently removed first.
  EXPECT_EQ(g_log, "Ea3EbEcRcRa");
  EXPECT_EQ(Poll_Used(), 1u);
  EXPECT_TRUE(SlotValid(b));
}

TEST_F(PollTest, ReadyEventsAreServedWithoutPolling) {
  Rec *r = NewRec('r', POLLIN, POLLOUT);
  EXPECT_EQ(r->entry.enq, 0) << "ready outside the events";
  Poll_SetReady(&r->entry, POLLIN);
  EXPECT_EQ(r->entry.enq, 1);
  EXPECT_EQ(Poll_EnqCount(), 1u);
  alarm(10);  // without the ready mark the pass would wait for ever
  Poll_RunOnce(-1);
  alarm(0);
  EXPECT_EQ(g_log, "Er");
  Poll_SetEvents(&r->entry, 0);
  EXPECT_EQ(Poll_EnqCount(), 0u);
}

TEST_F(PollTest, CompactionPutsPolledSlotsFirst) {
  std::vector<Rec *> recs;
  for (char n = 'a'; n < 'g'; n++) recs.push_back(NewRec(n, 0, 0));
  // Every pattern of wanted events, each compaction starting from the last.
  for (unsigned pattern = 0; pattern < 64; pattern++) {
    for (int i = 0; i < 6; i++) Poll_SetEvents(&recs[i]->entry, (pattern >> i & 1) ? POLLIN : 0);
    int polled = Poll_Compact();
    ASSERT_EQ(polled, __builtin_popcount(pattern));
    for (int i = 0; i < 6; i++)
      ASSERT_TRUE(SlotValid(recs[i]) && (recs[i]->entry.index < unsigned(polled)) == bool(pattern >> i & 1)) << pattern;
  }
  Poll_Remove(&recs[1]->entry);
  Poll_Reap();  // the last slot moves into the freed one
  for (int i : {0, 2, 3, 4, 5}) EXPECT_TRUE(SlotValid(recs[i]));
}

}  // namespace
