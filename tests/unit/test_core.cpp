// The daemon's core algorithms with real edge cases: the configuration
// reader, timers on a simulated clock (against a model) and the poll table, as tables of
// cases run by one checker each; least privilege in child processes.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <utility>

#include "core/config.h"
#include "core/poll.h"
#include "core/security.h"
#include "core/timer.h"

namespace {

void WriteConfig(const std::string &text) {
  Config_Path = "/tmp/natd-unit-config." + std::to_string(getpid());
  std::ofstream(Config_Path) << text;
}

TEST(Config, LookupsAndWalks) {
  const std::string piece(16383, 'x');  // fgets hands a longer line over in pieces of this size
  // Key k of section s: its value, and as a number (99 when missing or not wholly one).
  const struct { std::string file; std::optional<std::string> want; unsigned long number; } cases[] = {
      {"[S]\nK: 1\n", "1", 1},
      {"  \t[s] x\n\tk \t= \t\"7\"\n", "7", 7},
      {"k = 0\n[ s ]\nk = 1\n[sx]\nk = 2\n[t]\nk = 3\n", std::nullopt, 99},
      {"[s]\nk2 = 1\nks = 2\n#k = 3\nk = 4\nk = 5\n", "4", 4},
      {"[s]\na = 1\n[t]\nk = 2\n[s]\nk = 3\n", "3", 3},
      {"[s]\r\nk = \"3 b\"\r\n", "3 b", 99},
      {"[s]\nk =  \t\n", "", 0},
      {"[s]\nk = 0x1", "0x1", 99},
      {"[s]\nlong = " + piece + "\nk = v\n", "v", 99},
      {"[s]\nk = " + piece + "\n", std::string(16383 - 4, 'x'), 99},
      {"[s]\n" + piece + "k = 1\n", "1", 1},
  };
  for (const auto &c : cases) {
    WriteConfig(c.file);
    EXPECT_EQ(Config_GetString("s", "k"), c.want) << c.file.substr(0, 60);
    EXPECT_EQ(Config_GetInt("s", "k", 99), c.number) << c.file.substr(0, 60);
  }
  // A walk: comments, lines without a key and CRs skipped, blanks after keys
  // cut, values quoted and escaped, stopping at the next header.
  WriteConfig("k = 0\n[IncomingTCP]\r\n8887 = 10.0.0.5:21\r\n  #8888 = x\n\n= x\nnoseparator\nmy key \t: a=b\n"
              "q = \"a b\r\nz = x\\\r\nd = \"my dev\" x\ne = my dev # c\nf = 'a \"b\"\ng = \"x\\\"y\"\n"
              "h = a\\tb\\nc\\rd\\ e\\\\f\ni = abc\\\nj =  \t\n[other]\nj = 1\n[incomingtcp]\nlater = 1\n");
  ConfigSection *c = Config_OpenSection("incomingtcp");
  std::string walk, value;
  while (auto key = Config_NextEntry(c, &value)) walk += *key + "=" + value + "|";
  EXPECT_FALSE(Config_NextEntry(c, &value)) << "an exhausted walk stays exhausted";
  Config_CloseSection(c);
  EXPECT_EQ(walk, "8887=10.0.0.5:21|my key=a=b|q=a b|z=x|d=my dev|e=my|f=a \"b\"|g=x\"y|h=a\tb\nc\rd e\\f|i=abc|j=|");
  unlink(Config_Path.c_str());
}

ClockTime g_sim;

// Random arming, re-arming and cancelling, also from callbacks, and now and
// then a clock set back (every timer keeps its remaining time), against a
// model ordered by (expiry, order of addition): each callback must be the
// model's earliest due timer; after each run nothing due is left; before and
// after it the count and the poll time-out (0 when due, at most a second)
// are the model's.
std::map<std::pair<int64_t, uint64_t>, int> g_model;  // (expiry in usec, order of addition) -> timer
std::pair<int64_t, uint64_t> g_key[40];                // each timer's last key in the model
uint64_t g_order = 1;
std::mt19937 g_rng(1);
Timer g_many[40];

int64_t NowUsec() { return g_sim.sec * 1000000 + g_sim.usec; }

void RandomOp() {  // arms (two times in three; an armed timer moves) or cancels a random timer
  int i = int(g_rng() % 40);
  g_model.erase(g_key[i]);
  if (g_rng() % 3 == 0) return Timer_Cancel(&g_many[i]);
  int64_t ms = int64_t(g_rng() % 10) * 250 - 1000;  // equal expiries are common, some already past
  Timer_AddMillis(&g_many[i], ms);
  g_model[g_key[i] = {NowUsec() + ms * 1000, g_order++}] = i;
}

TEST(Timers, AgreeWithASortedModelUnderRandomOperations) {
  Clock_Source = [](ClockTime *out) { return *out = g_sim, 0; };
  g_sim = {1000000, 300000};
  Clock_Update();
  memset(static_cast<void *>(g_many), 0xA5, sizeof g_many);  // Timer_Init must not trust what it finds
  for (intptr_t i = 0; i < 40; i++)
    Timer_Init(&g_many[i], [](Timer *, void *arg) {
      auto first = g_model.begin();
      ASSERT_TRUE(first != g_model.end() && first->second == intptr_t(arg) && first->first.first <= NowUsec());
      g_model.erase(first);
      if (intptr_t(arg) % 4 == 0) RandomOp();
    }, reinterpret_cast<void *>(i));
  auto model = [] {  // the count and the poll time-out the model expects
    int64_t d = g_model.empty() ? 0 : g_model.begin()->first.first - NowUsec();
    return std::pair{unsigned(g_model.size()), g_model.empty() ? -1 : int(std::clamp<int64_t>(d / 1000, 0, 1000))};
  };
  for (int step = 0; step < 4000; step++) {
    if (g_rng() % 3) RandomOp();
    ASSERT_EQ(std::pair(Timer_Count(), Timer_NextTimeout()), model()) << step;
    int64_t usec = g_rng() % 3 ? 0 : g_rng() % 40 ? int64_t(g_rng() % 4) * 125000 : -3600700001LL;
    if (usec < 0) {  // the clock set back: the model's expiries move with it
      std::map<std::pair<int64_t, uint64_t>, int> moved;
      for (auto &[key, i] : g_model) moved[g_key[i] = {key.first + usec, key.second}] = i;
      g_model.swap(moved);
    }
    int64_t t = NowUsec() + usec;  // the simulated clock moves and what is due runs
    g_sim = {t / 1000000, t % 1000000};
    Clock_Update();
    Timer_RunExpired();
    ASSERT_TRUE(g_model.empty() || g_model.begin()->first.first > NowUsec()) << step << ": a due timer left";
    ASSERT_EQ(std::pair(Timer_Count(), Timer_NextTimeout()), model()) << step;
  }
  for (Timer &t : g_many) Timer_Cancel(&t);
}

std::string g_log;  // "<name><revents> " per event, "R<name>" per release, "<n>" slots in use

// A record of the table. Without a descriptor of its own it gets a distinct
// negative number, which poll() skips, so events come from `ready` marks
// only; when `other` is set, its event removes itself and `other`. Its
// release closes a real descriptor.
struct Rec { PollEntry entry; char name; Rec *other; };

Rec *NewRec(char name, short events, int ready, int fd = -1) {
  Rec *r = new Rec{{}, name, nullptr};
  Poll_Init(&r->entry, [](PollEntry *e, struct pollfd *slot) {
    Rec *self = reinterpret_cast<Rec *>(e);
    g_log += self->name + std::to_string(slot->revents) + " ";
    if (!self->other) return;
    Poll_Remove(e);
    Poll_Remove(&self->other->entry);
    g_log += std::to_string(Poll_Used());
  }, [](PollEntry *e) {
    g_log += std::string("R") + reinterpret_cast<Rec *>(e)->name;
    if (e->fd >= 0) close(e->fd);
    delete reinterpret_cast<Rec *>(e);
  });
  r->entry.fd = fd < 0 ? -name : fd;
  EXPECT_EQ(Poll_Add(&r->entry), 0);
  Poll_SetEvents(&r->entry, events);
  Poll_SetReady(&r->entry, ready);
  return r;
}

// What one pass of the table serves and releases.
std::string Pass() {
  g_log.clear();
  Poll_RunOnce(0);
  return g_log;
}

// The slot an entry claims holds its descriptor.
bool SlotValid(const Rec *r) { return r->entry.index < Poll_Used() && Poll_Slots()[r->entry.index].fd == r->entry.fd; }

// Ready marks first (on descriptors poll() skips), then real descriptors: each
// pass serves every ready or enqueued entry once with what the kernel reported
// plus its `ready` marks, never an entry without wanted events, never one
// already released (even when a duplicate of its descriptor, as a forked
// child holds, is still open), and also descriptors epoll cannot watch (a
// regular file). Removal is deferred until the pass ends.
TEST(Poll, EntriesAreServedOncePerPassAndReleasedAfterIt) {
  Rec *a = NewRec('a', POLLIN, POLLIN), *b = NewRec('b', POLLIN, POLLIN), *d = NewRec('d', POLLIN, POLLOUT);
  a->other = NewRec('c', POLLIN, POLLIN);
  EXPECT_TRUE(a->entry.enq == 1 && d->entry.enq == 0 && Poll_EnqCount() == 3) << "ready & events";
  alarm(10);  // without the ready marks the pass would wait for ever
  Poll_RunOnce(-1);
  alarm(0);
  // c, removed by a, is still served; releases go most recently removed first.
  EXPECT_EQ(g_log, "a1 4b1 c1 RcRa");
  EXPECT_TRUE(Poll_Used() == 2 && SlotValid(b) && SlotValid(d)) << "the last slot moved into a freed one";
  Poll_SetEvents(&b->entry, 0);
  EXPECT_EQ(Poll_EnqCount(), 0u) << "b and d stay silent from here on";
  int x[2], y[2];
  ASSERT_TRUE(socketpair(AF_UNIX, SOCK_STREAM, 0, x) == 0 && socketpair(AF_UNIX, SOCK_STREAM, 0, y) == 0);
  int file = memfd_create("poll", 0), dupX = dup(x[0]);
  Rec *rx = NewRec('x', POLLIN, POLLIN, x[0]), *ry = NewRec('y', POLLIN, 0, y[0]);
  ASSERT_TRUE(write(x[1], "x", 1) == 1 && write(y[1], "x", 1) == 1);
  std::string log = Pass();
  EXPECT_TRUE(log == "x1 y1 " || log == "y1 x1 ") << log << ": kernel and ready events merged, once each";
  Poll_SetEvents(&ry->entry, POLLOUT);
  log = Pass();
  EXPECT_TRUE(log == "x1 y4 " || log == "y4 x1 ") << log << ": only the wanted events";
  Poll_SetEvents(&ry->entry, 0);
  Poll_Remove(&rx->entry);
  EXPECT_EQ(Pass(), "x1 Rx") << "a removed entry is served in its pass, then released; y wants nothing";
  EXPECT_EQ(Pass(), "") << "a released entry stays silent while a duplicate of its descriptor is readable";
  Rec *rf = NewRec('f', POLLIN, 0, file);
  EXPECT_EQ(Pass(), "f1 ") << "a regular file is always readable";
  Poll_SetEvents(&rf->entry, 0);
  Poll_SetEvents(&ry->entry, POLLIN);
  EXPECT_EQ(Pass(), "y1 ");
  // Every pattern of wanted events, each compaction starting from the last:
  // the polled slots come first.
  Rec *recs[] = {b, d, ry, rf};
  for (unsigned pattern = 0; pattern < 16; pattern++) {
    for (int i = 0; i < 4; i++) Poll_SetEvents(&recs[i]->entry, (pattern >> i & 1) ? POLLIN : 0);
    int polled = Poll_Compact();
    ASSERT_EQ(polled, __builtin_popcount(pattern));
    for (int i = 0; i < 4; i++)
      ASSERT_TRUE(SlotValid(recs[i]) && (recs[i]->entry.index < unsigned(polled)) == bool(pattern >> i & 1)) << pattern;
  }
  Poll_RemoveAll();
  EXPECT_TRUE(g_log == "y1 RbRdRyRf" && Poll_Used() == 0) << g_log << ": shutdown releases in order of addition";
  for (int fd : {x[1], y[1], dupX}) close(fd);
}

// Each row runs in a child that drops its capabilities or installs the
// seccomp filter, then makes one call: its errno (0: success) is the
// child's exit status.
TEST(Security, DroppedCapabilitiesAndFilteredCallsAreRefused) {
  const std::string file = "/tmp/natd-unit-owned." + std::to_string(getpid()), dir = file + ".d";
  std::ofstream(file) << "x";
  auto result = [](bool ok) { return ok ? 0 : errno; };
  const struct { const char *what; bool filter; std::function<int()> call; int want; } rows[] = {
      {"chown needs a dropped capability", false, [&] { return result(chown(file.c_str(), 4242, -1) == 0); }, EPERM},
      {"a raw socket needs a kept one", false, [&] { return result(socket(AF_INET, SOCK_RAW, IPPROTO_ICMP) >= 0); }, 0},
      {"mkdir is not on the list", true, [&] { return result(mkdir(dir.c_str(), 0700) == 0); }, EPERM},
      {"unlink is: the kernel's own error", true, [&] { return result(unlink(dir.c_str()) == 0); }, ENOENT},
      {"a UDP socket is", true, [&] { return result(socket(AF_INET, SOCK_DGRAM, 0) >= 0); }, 0},
  };
  for (const auto &row : rows) {
    pid_t pid = fork();
    if (pid == 0) _exit((row.filter ? Security_InstallSeccomp() : Security_DropCapabilities()) != 0 ? 200 : row.call());
    int status = -1;
    waitpid(pid, &status, 0);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, row.want) << row.what;
  }
  rmdir(dir.c_str());
  unlink(file.c_str());
}

}  // namespace
