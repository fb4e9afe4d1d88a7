// Event loop: deferred removal, ready events, compaction, growth, reaping and
// one pass of the main loop, on real pipes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "core/poll.h"
#include "core/timer.h"

namespace {

// What happened, in order: "E<name>" for an event callback, "R<name>" for a
// release.
std::vector<std::string> g_log;

struct PipeRec;
using PipeAction = void (*)(PipeRec *self);

// A record owning the read end of a pipe; the write end lets a test make it
// readable.
struct PipeRec {
  PollEntry entry;  // first: the record starts with its entry
  int writeFd;
  std::string name;
  short lastRevents = 0;
  int calls = 0;
  PipeAction onEvent = nullptr;    // extra work in the event callback
  PipeAction onRelease = nullptr;  // extra work in the release callback
  PipeRec *other[2] = {nullptr, nullptr};
};

void PipeRec_Event(PollEntry *entry, struct pollfd *slot) {
  PipeRec *r = reinterpret_cast<PipeRec *>(entry);
  r->lastRevents = slot->revents;
  r->calls++;
  g_log.push_back("E" + r->name);
  if (r->onEvent) r->onEvent(r);
}

void PipeRec_Release(PollEntry *entry) {
  PipeRec *r = reinterpret_cast<PipeRec *>(entry);
  g_log.push_back("R" + r->name);
  if (r->onRelease) r->onRelease(r);
  if (entry->fd != -1) close(entry->fd);
  close(r->writeFd);
  delete r;
}

PipeRec *PipeRec_New(const std::string &name, bool add = true) {
  int fds[2];
  if (pipe2(fds, O_NONBLOCK) != 0) return nullptr;
  PipeRec *r = new PipeRec;
  Poll_Init(&r->entry, PipeRec_Event, PipeRec_Release);
  r->entry.fd = fds[0];
  r->writeFd = fds[1];
  r->name = name;
  if (add) {
    EXPECT_EQ(Poll_Add(&r->entry), 0);
  }
  return r;
}

void PipeRec_MakeReadable(PipeRec *r) { ASSERT_EQ(write(r->writeFd, "x", 1), 1); }

// The slot an entry claims really holds its descriptor.
void ExpectIndexValid(const PipeRec *r) {
  ASSERT_NE(r->entry.index, kPollNoIndex) << r->name;
  ASSERT_LT(r->entry.index, Poll_Used()) << r->name;
  EXPECT_EQ(Poll_Slots()[r->entry.index].fd, r->entry.fd) << r->name;
}

class PollTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_log.clear();
    ASSERT_EQ(Poll_ActiveCount(), 0u) << "an earlier test left poll entries behind";
    ASSERT_EQ(Poll_Used(), 0u);
    ASSERT_EQ(Poll_EnqCount(), 0u);
  }
  void TearDown() override {
    Poll_RemoveAll();
    EXPECT_EQ(Poll_ActiveCount(), 0u);
    EXPECT_EQ(Poll_Used(), 0u);
    EXPECT_EQ(Poll_EnqCount(), 0u);
  }
};

TEST_F(PollTest, CallbackRemovingItselfAndALaterEntryDefersBothReleases) {
  PipeRec *a = PipeRec_New("a");
  PipeRec *b = PipeRec_New("b");
  PipeRec *c = PipeRec_New("c");
  for (PipeRec *r : {a, b, c}) {
    Poll_SetEvents(&r->entry, POLLIN);
    PipeRec_MakeReadable(r);
  }
  a->other[0] = c;
  a->onEvent = [](PipeRec *self) {
    Poll_Remove(&self->entry);
    Poll_Remove(&self->other[0]->entry);
    // Nothing is released while the walk goes on; the slots stay.
    g_log.push_back("used" + std::to_string(Poll_Used()));
  };

  testing::internal::CaptureStderr();
  Poll_RunOnce(0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

  std::vector<std::string> want = {"Ea", "used3", "Eb", "Ec", "Rc", "Ra"};
  EXPECT_EQ(g_log, want);
  EXPECT_EQ(Poll_Used(), 1u);
  EXPECT_EQ(Poll_ActiveCount(), 1u);
  ExpectIndexValid(b);
}

TEST_F(PollTest, ReadyEventsAreServedWithoutWaitingOrData) {
  PipeRec *r = PipeRec_New("r");
  Poll_SetEvents(&r->entry, POLLIN);
  Poll_SetReady(&r->entry, POLLIN);
  EXPECT_EQ(r->entry.enq, 1);
  EXPECT_EQ(Poll_EnqCount(), 1u);

  // The pipe is empty: only the ready mark can wake the pass, and it must not
  // wait for the (long) cap.
  testing::internal::CaptureStderr();
  auto start = std::chrono::steady_clock::now();
  Poll_RunOnce(10000);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_LT(waited, std::chrono::seconds(5));
  EXPECT_EQ(r->calls, 1);
  EXPECT_EQ(r->lastRevents, POLLIN);
  char byte;
  EXPECT_EQ(read(r->entry.fd, &byte, 1), -1) << "the descriptor had no data";
}

TEST_F(PollTest, EnqFollowsReadyAndEvents) {
  struct Step {
    const char *what;
    short events;
    int ready;
    int enq;
  };
  const Step steps[] = {
      {"events only", POLLIN, 0, 0},
      {"ready matches events", POLLIN, POLLIN, 1},
      {"events cleared", 0, POLLIN, 0},
      {"events back", POLLIN | POLLOUT, POLLIN, 1},
      {"ready outside events", POLLIN, POLLOUT, 0},
      {"ready cleared", POLLIN, 0, 0},
      {"both again", POLLOUT, POLLOUT, 1},
  };
  PipeRec *r = PipeRec_New("r");
  PipeRec *other = PipeRec_New("o");
  Poll_SetEvents(&other->entry, POLLIN);
  Poll_SetReady(&other->entry, POLLIN);
  for (const Step &s : steps) {
    // Alternate the order of the two setters: either must re-evaluate.
    Poll_SetReady(&r->entry, s.ready);
    Poll_SetEvents(&r->entry, s.events);
    EXPECT_EQ(r->entry.enq, s.enq) << s.what;
    EXPECT_EQ(Poll_EnqCount(), unsigned(1 + s.enq)) << s.what;
    Poll_SetEvents(&r->entry, s.events);
    Poll_SetReady(&r->entry, s.ready);
    EXPECT_EQ(Poll_EnqCount(), unsigned(1 + s.enq)) << s.what << " (set twice)";
  }
  // Releasing an entry that is still enqueued gives its count back.
  Poll_Remove(&other->entry);
  Poll_Reap();
  EXPECT_EQ(Poll_EnqCount(), 1u);
  EXPECT_EQ(Poll_GetEvents(&r->entry), POLLOUT);
}

TEST_F(PollTest, EachEntryCountsOncePerReason) {
  // b is ready only (one reason), a is readable and ready (two), c is
  // readable only (one): four reasons in all. Every callback runs, in slot
  // order, and the count comes out even, so no miscount message. d's ready
  // mark lies outside its events, so it is neither counted nor served.
  PipeRec *d = PipeRec_New("d");
  Poll_SetEvents(&d->entry, POLLIN);
  Poll_SetReady(&d->entry, POLLOUT);
  PipeRec *b = PipeRec_New("b");
  PipeRec *a = PipeRec_New("a");
  PipeRec *c = PipeRec_New("c");
  Poll_SetEvents(&b->entry, POLLIN);
  Poll_SetReady(&b->entry, POLLIN);
  Poll_SetEvents(&a->entry, POLLIN);
  Poll_SetReady(&a->entry, POLLIN);
  PipeRec_MakeReadable(a);
  Poll_SetEvents(&c->entry, POLLIN);
  PipeRec_MakeReadable(c);
  testing::internal::CaptureStderr();
  Poll_RunOnce(0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(g_log, (std::vector<std::string>{"Eb", "Ea", "Ec"}));
  EXPECT_EQ(b->lastRevents, POLLIN);
}

TEST_F(PollTest, DispatchReportsReasonsThatFoundNoSlot) {
  PipeRec *a = PipeRec_New("a");
  PipeRec *b = PipeRec_New("b");
  Poll_SetEvents(&a->entry, POLLIN);
  Poll_SetEvents(&b->entry, POLLIN);
  int nfds = Poll_Compact();
  ASSERT_EQ(nfds, 2);
  Poll_Slots()[0].revents = POLLIN;
  Poll_Slots()[1].revents = 0;
  testing::internal::CaptureStderr();
  Poll_Dispatch(3, nfds);  // claims three ready slots, only one exists
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Poll error, 2 active fds were not found in array\n");
  EXPECT_EQ(a->calls + b->calls, 1);

  // Nothing ready and nothing enqueued: no walk at all.
  Poll_Slots()[0].revents = POLLIN;
  Poll_Dispatch(0, nfds);
  EXPECT_EQ(a->calls + b->calls, 1);
}

TEST_F(PollTest, CompactionPutsPolledSlotsFirstAndKeepsIndices) {
  constexpr int kEntries = 6;
  std::vector<PipeRec *> recs;
  for (int i = 0; i < kEntries; i++) recs.push_back(PipeRec_New(std::to_string(i)));
  // Every pattern of wanted events over six entries, applied one after the
  // other so that each compaction starts from the previous one's order.
  for (unsigned pattern = 0; pattern < (1u << kEntries); pattern++) {
    unsigned polled = 0;
    for (int i = 0; i < kEntries; i++) {
      bool wanted = pattern & (1u << i);
      Poll_SetEvents(&recs[i]->entry, wanted ? POLLIN : 0);
      polled += wanted;
    }
    int nfds = Poll_Compact();
    ASSERT_EQ(nfds, int(polled)) << "pattern " << pattern;
    ASSERT_EQ(Poll_Used(), unsigned(kEntries));
    for (int i = 0; i < kEntries; i++) {
      ExpectIndexValid(recs[i]);
      bool wanted = pattern & (1u << i);
      EXPECT_EQ(recs[i]->entry.index < polled, wanted) << "pattern " << pattern << " entry " << i;
      EXPECT_EQ(Poll_GetEvents(&recs[i]->entry), wanted ? POLLIN : 0);
    }
  }
}

TEST_F(PollTest, ReapMovesTheLastSlotIntoTheFreedOne) {
  PipeRec *a = PipeRec_New("a");
  PipeRec *b = PipeRec_New("b");
  PipeRec *c = PipeRec_New("c");
  PipeRec *d = PipeRec_New("d");
  Poll_SetEvents(&d->entry, POLLOUT);
  Poll_Remove(&b->entry);
  EXPECT_EQ(b->entry.removing, 1);
  EXPECT_EQ(Poll_Used(), 4u) << "removal keeps the slot until the reap";
  Poll_Reap();
  EXPECT_EQ(Poll_Used(), 3u);
  EXPECT_EQ(d->entry.index, 1u);
  EXPECT_EQ(Poll_GetEvents(&d->entry), POLLOUT) << "the moved slot keeps its events";
  for (PipeRec *r : {a, c, d}) ExpectIndexValid(r);

  // Removing the last slot moves nothing.
  Poll_Remove(&c->entry);
  Poll_Reap();
  EXPECT_EQ(a->entry.index, 0u);
  EXPECT_EQ(d->entry.index, 1u);
  EXPECT_EQ(g_log, (std::vector<std::string>{"Rb", "Rc"}));
}

TEST_F(PollTest, ReleaseOrders) {
  // RemoveAll takes the newest entry first, so the reap (most recently
  // removed first) releases in order of addition.
  PipeRec_New("a");
  PipeRec_New("b");
  PipeRec_New("c");
  Poll_RemoveAll();
  EXPECT_EQ(g_log, (std::vector<std::string>{"Ra", "Rb", "Rc"}));

  // A release callback that removes further entries: they are released in
  // the same reap, the most recently removed first.
  g_log.clear();
  PipeRec *x = PipeRec_New("x");
  PipeRec *y = PipeRec_New("y");
  PipeRec *z = PipeRec_New("z");
  PipeRec_New("keep");
  x->other[0] = y;
  x->other[1] = z;
  x->onRelease = [](PipeRec *self) {
    Poll_Remove(&self->other[0]->entry);
    Poll_Remove(&self->other[1]->entry);
  };
  Poll_Remove(&x->entry);
  Poll_Reap();
  EXPECT_EQ(g_log, (std::vector<std::string>{"Rx", "Rz", "Ry"}));
  EXPECT_EQ(Poll_Used(), 1u);
  EXPECT_EQ(Poll_ActiveCount(), 1u);

  // An entry that never joined the table is only released.
  g_log.clear();
  PipeRec *loose = PipeRec_New("loose", false);
  Poll_Remove(&loose->entry);
  Poll_Reap();
  EXPECT_EQ(g_log, (std::vector<std::string>{"Rloose"}));
  EXPECT_EQ(Poll_Used(), 1u);
}

TEST_F(PollTest, EntriesAddedDuringTheWalkWaitForTheNextPass) {
  PipeRec *a = PipeRec_New("a");
  Poll_SetEvents(&a->entry, POLLIN);
  PipeRec_MakeReadable(a);
  static PipeRec *added;
  added = nullptr;
  a->onEvent = [](PipeRec *self) {
    char byte;
    EXPECT_EQ(read(self->entry.fd, &byte, 1), 1);
    // Enough additions to reallocate the arrays under the walk.
    for (int i = 0; i < 40; i++) {
      PipeRec *r = PipeRec_New("n" + std::to_string(i));
      Poll_SetEvents(&r->entry, POLLIN);
      PipeRec_MakeReadable(r);
      if (i == 0) added = r;
    }
  };
  Poll_RunOnce(0);
  ASSERT_NE(added, nullptr);
  EXPECT_EQ(added->calls, 0);
  EXPECT_EQ(Poll_Used(), 41u);
  Poll_RunOnce(0);  // every new entry is served now
  EXPECT_EQ(added->calls, 1);
  EXPECT_EQ(a->calls, 1);
}

// Remove the entries of a timer-driven owner: a pass runs the timers after
// the dispatch and reaps what they removed.
TEST_F(PollTest, PassRunsExpiredTimersThenReaps) {
  PipeRec *r = PipeRec_New("r");
  Timer t;
  Timer_Init(&t, [](Timer *, void *arg) { Poll_Remove(&static_cast<PipeRec *>(arg)->entry); }, r);
  Clock_Update();
  Timer_AddMillis(&t, -1);  // already due
  EXPECT_EQ(Timer_NextTimeout(), 0);
  Poll_RunOnce(1000);
  EXPECT_FALSE(Timer_IsArmed(&t));
  EXPECT_EQ(g_log, (std::vector<std::string>{"Rr"}));
  EXPECT_EQ(Poll_Used(), 0u);
}

// The capacity starts at 16 and then doubles. The arrays never shrink, so
// this runs in a fresh process.
TEST(PollGrowthDeathTest, SeventeenthAddDoublesTheCapacity) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::string caps = "caps " + std::to_string(Poll_Capacity());
        static PollEntry entries[33];
        for (int i = 0; i < 33; i++) {
          Poll_Init(&entries[i], nullptr, nullptr);
          if (Poll_Add(&entries[i]) != 0) _exit(2);
          if (i == 0 || i == 15 || i == 16 || i == 31 || i == 32)
            caps += " " + std::to_string(Poll_Capacity());
        }
        fprintf(stderr, "%s.\n", caps.c_str());
        _exit(0);
      },
      ::testing::ExitedWithCode(0), "caps 0 16 16 32 32 64\\.");
}

// Child of the death test below: more polled slots than the descriptor
// limit make poll fail with EINVAL.
void PollFailureChild() {
  struct rlimit lim = {4, 4};
  if (setrlimit(RLIMIT_NOFILE, &lim) != 0) _exit(2);
  static PollEntry entries[8];
  static int released = 0;
  for (PollEntry &e : entries) {
    Poll_Init(&e, [](PollEntry *, struct pollfd *) { _exit(3); }, [](PollEntry *) { released++; });
    if (Poll_Add(&e) != 0) _exit(2);
    Poll_SetEvents(&e, POLLIN);  // fd -1: ignored by poll, but counted
  }
  Poll_Remove(&entries[0]);
  Poll_RunOnce(0);
  // No dispatch, but the pass still reaps.
  _exit(released == 1 && Poll_Used() == 7 ? 0 : 4);
}

TEST(PollLoopDeathTest, PollFailureIsReportedAndTheLoopGoesOn) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(PollFailureChild(), ::testing::ExitedWithCode(0),
              "^Poll returned error Invalid argument, should not happen, poll: -1\n$");
}

void OnAlarm(int) {}

TEST(PollLoopDeathTest, InterruptedPollIsSilent) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        struct sigaction sa = {};
        sa.sa_handler = OnAlarm;  // no SA_RESTART: poll returns EINTR
        sigaction(SIGALRM, &sa, nullptr);
        int fds[2];
        if (pipe(fds) != 0) _exit(2);
        static PollEntry e;
        Poll_Init(&e, [](PollEntry *, struct pollfd *) { _exit(3); }, nullptr);
        e.fd = fds[0];
        if (Poll_Add(&e) != 0) _exit(2);
        Poll_SetEvents(&e, POLLIN);
        struct itimerval it = {};
        it.it_value.tv_usec = 50000;
        setitimer(ITIMER_REAL, &it, nullptr);
        Poll_RunOnce(20000);
        fprintf(stderr, "woken\n");
        _exit(0);
      },
      ::testing::ExitedWithCode(0), "^woken\n$");
}

}  // namespace
