// Event loop: the poll table, dispatch of ready descriptors and the deferred
// release of removed entries.
//
// Owns the process-wide poll table:
//   - g_fds / g_entries: two parallel flat arrays of g_capacity slots, of
//     which the first g_used are in use. Slot i of both arrays belongs to the
//     same entry and that entry's `index` is i. poll() reads g_fds directly.
//   - g_enqCount: the number of entries whose `enq` flag is set.
//   - g_active: the entries in the table, in order of addition.
//   - g_removal: the entries awaiting release, in order of removal.
//
// Invariants:
//   - An entry is in exactly one of g_active and g_removal once added, and in
//     neither (linked to itself) before Poll_Add and after its release.
//   - entry->enq == ((entry->ready & slot events) != 0); every change of the
//     slot's events or of `ready` goes through Poll_Reevaluate, which keeps
//     g_enqCount equal to the number of set flags.
//   - A removed entry keeps its slot (and may still be dispatched) until
//     Poll_Reap moves the last slot into its place and calls onRelease. The
//     release callback is the only place where an owner record is freed, so
//     any callback may remove any entry, its own included.
//   - Poll_Compact moves slots whose events are 0 behind the polled prefix;
//     they stay in the table with a valid index.
//
//   - g_epfd watches every entry whose slot has events: the entry's
//     watchedFd and watched mirror what is registered (the slot's events,
//     POLLIN and POLLOUT, under its fd), and data.ptr is the entry. An entry
//     leaves epoll when its events become 0 and in Poll_Reap before its
//     release callback closes the descriptor: a forked child (DNS) may still
//     hold the same open file, so closing alone would not unregister it and
//     epoll would report a freed entry.
//   - g_enqList holds exactly the entries whose `enq` is set, so a pass finds
//     them without walking the table.
//   - g_unwatchable counts entries whose descriptor epoll refused while they
//     wanted events; while it is not 0 the passes compact and poll() the
//     whole table as the arrays allow, which sees those descriptors too.
//
// Calls the timers (Timer_NextTimeout, Timer_RunExpired) and the clock
// (Clock_Update) from Poll_RunOnce, the one pass of the main loop.
#include "core/poll.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sys/epoll.h>
#include <unistd.h>

#include "core/timer.h"
#include "lib/support.h"

namespace {

struct pollfd *g_fds = nullptr;
PollEntry **g_entries = nullptr;
unsigned g_used = 0;
unsigned g_capacity = 0;
unsigned g_enqCount = 0;
ListLink g_active = {&g_active, &g_active, nullptr};
ListLink g_removal = {&g_removal, &g_removal, nullptr};
ListLink g_enqList = {&g_enqList, &g_enqList, nullptr};
int g_epfd = -1;          // -2 once epoll_create1 has failed: poll() only
unsigned g_unwatchable = 0;
constexpr int kMaxEvents = 256;  // more ready descriptors wait for the next pass
PollEntry **g_batch = nullptr;   // entries served in one epoll pass
unsigned g_batchCap = 0;

bool InArrays(const PollEntry *entry) { return entry->index != kPollNoIndex; }

void Poll_SetEnq(PollEntry *entry, bool want) {
  if (want && !entry->enq) {
    entry->enq = 1;
    g_enqCount++;
    List_InsertBefore(&g_enqList, &entry->enqLink);
  } else if (!want && entry->enq) {
    entry->enq = 0;
    g_enqCount--;
    List_Unlink(&entry->enqLink);
  }
}

// Recomputes `enq` from `ready` and the slot's events and keeps the count.
void Poll_Reevaluate(PollEntry *entry) {
  short events = InArrays(entry) ? g_fds[entry->index].events : 0;
  Poll_SetEnq(entry, (entry->ready & events) != 0);
}

void Poll_Unwatch(PollEntry *entry) {
  if (entry->watched == kPollUnwatchable) g_unwatchable--;
  else if (entry->watchedFd >= 0) epoll_ctl(g_epfd, EPOLL_CTL_DEL, entry->watchedFd, nullptr);
  entry->watchedFd = -1;
  entry->watched = 0;
}

// Brings the entry's epoll registration in line with its slot's events and
// descriptor. A descriptor that does not exist (negative, closed) is skipped
// as poll() skips it; one that epoll refuses otherwise is counted in
// g_unwatchable.
void Poll_Watch(PollEntry *entry) {
  if (g_epfd == -1) {
    g_epfd = epoll_create1(EPOLL_CLOEXEC);
    if (g_epfd < 0) g_epfd = -2;
  }
  if (g_epfd < 0) return;
  int want = InArrays(entry) ? g_fds[entry->index].events & (POLLIN | POLLOUT | POLLRDHUP) : 0;
  int fd = InArrays(entry) ? g_fds[entry->index].fd : -1;
  if ((want & (POLLIN | POLLOUT)) == 0 || fd < 0) {
    Poll_Unwatch(entry);
    return;
  }
  if (entry->watched != kPollUnwatchable && entry->watchedFd == fd) {
    if (entry->watched == want) return;
    struct epoll_event ev = {};
    ev.events = uint32_t(want);
    ev.data.ptr = entry;
    if (epoll_ctl(g_epfd, EPOLL_CTL_MOD, fd, &ev) == 0) {
      entry->watched = want;
      return;
    }
  }
  Poll_Unwatch(entry);
  struct epoll_event ev = {};
  ev.events = uint32_t(want);
  ev.data.ptr = entry;
  if (epoll_ctl(g_epfd, EPOLL_CTL_ADD, fd, &ev) == 0) {
    entry->watchedFd = fd;
    entry->watched = want;
  } else if (errno != EBADF) {
    entry->watched = kPollUnwatchable;
    g_unwatchable++;
  }
}

// Exchanges slots a and b of both arrays and fixes both entries' index.
void Poll_SwapSlots(unsigned a, unsigned b) {
  struct pollfd fd = g_fds[a];
  g_fds[a] = g_fds[b];
  g_fds[b] = fd;
  PollEntry *e = g_entries[a];
  g_entries[a] = g_entries[b];
  g_entries[b] = e;
  g_entries[a]->index = a;
  g_entries[b]->index = b;
}

// Grows both arrays to 16 slots, then to twice their size. Leaves the
// capacity unchanged (and returns false) when either allocation fails.
bool Poll_Grow() {
  unsigned newCap = g_capacity == 0 ? 16 : g_capacity * 2;
  if (newCap <= g_capacity) return false;  // the count would wrap
  void *fds = realloc(g_fds, size_t(newCap) * sizeof(struct pollfd));
  if (fds == nullptr) return false;
  g_fds = static_cast<struct pollfd *>(fds);
  void *entries = realloc(g_entries, size_t(newCap) * sizeof(PollEntry *));
  if (entries == nullptr) return false;
  g_entries = static_cast<PollEntry **>(entries);
  g_capacity = newCap;
  return true;
}

}  // namespace

void Poll_Init(PollEntry *entry, PollEventFn onEvent, PollReleaseFn onRelease) {
  List_Init(&entry->link, entry);
  entry->owner = entry;
  entry->index = kPollNoIndex;
  entry->onEvent = onEvent;
  entry->onRelease = onRelease;
  entry->removing = 0;
  entry->fd = -1;
  entry->enq = 0;
  entry->ready = 0;
  List_Init(&entry->enqLink, entry);
  entry->watchedFd = -1;
  entry->watched = 0;
}

int Poll_Add(PollEntry *entry) {
  if (g_used == g_capacity && !Poll_Grow()) return -1;
  unsigned slot = g_used++;
  g_fds[slot].fd = entry->fd;
  g_fds[slot].events = 0;
  g_fds[slot].revents = 0;
  g_entries[slot] = entry;
  entry->index = slot;
  List_Unlink(&entry->link);
  List_InsertBefore(&g_active, &entry->link);
  Poll_Reevaluate(entry);
  return 0;
}

void Poll_SetEvents(PollEntry *entry, short mask) {
  if (InArrays(entry)) g_fds[entry->index].events = mask;
  Poll_Reevaluate(entry);
  Poll_Watch(entry);
}

short Poll_GetEvents(const PollEntry *entry) {
  return InArrays(entry) ? g_fds[entry->index].events : 0;
}

void Poll_SetReady(PollEntry *entry, int mask) {
  entry->ready = mask;
  Poll_Reevaluate(entry);
}

void Poll_Remove(PollEntry *entry) {
  entry->removing = 1;
  List_Unlink(&entry->link);
  List_InsertBefore(&g_removal, &entry->link);
}

void Poll_RemoveAll() {
  while (!List_Empty(&g_active)) Poll_Remove(List_Owner<PollEntry>(g_active.prev));
  Poll_Reap();
}

int Poll_Compact() {
  if (g_used == 0) return 0;
  long i = 0;
  long j = long(g_used) - 1;
  for (;;) {
    while (j >= 0 && g_fds[j].events == 0) j--;
    while (i < long(g_used) && g_fds[i].events != 0) i++;
    if (i >= j) break;
    Poll_SwapSlots(unsigned(i), unsigned(j));
    i++;
    j--;
  }
  // Every slot before i has events; every slot from i on has none.
  return int(i);
}

void Poll_Dispatch(int nready, int nfds) {
  long pending = long(nready) + long(g_enqCount);
  if (pending == 0) return;
  for (int i = 0; i < nfds && unsigned(i) < g_used; i++) {
    // Re-read by index: an earlier callback may have grown the arrays.
    struct pollfd *slot = &g_fds[i];
    PollEntry *entry = g_entries[i];
    int reasons = slot->revents != 0 ? 1 : 0;
    if (g_enqCount != 0 && entry->enq) {
      slot->revents = short(slot->revents | entry->ready);
      reasons++;
    }
    if (slot->revents == 0) continue;
    entry->onEvent(entry, slot);
    pending -= reasons;
    if (pending <= 0) {
      Poll_Reap();
      return;
    }
  }
  fprintf(stderr, "Poll error, %zu active fds were not found in array\n", size_t(pending));
  Poll_Reap();
}

void Poll_Reap() {
  while (!List_Empty(&g_removal)) {
    PollEntry *entry = List_Owner<PollEntry>(g_removal.prev);
    List_Unlink(&entry->link);
    if (InArrays(entry)) {
      unsigned slot = unsigned(entry->index);
      unsigned last = --g_used;
      if (slot != last) {
        g_fds[slot] = g_fds[last];
        g_entries[slot] = g_entries[last];
        g_entries[slot]->index = slot;
      }
      entry->index = kPollNoIndex;
    }
    if (entry->ready != 0) entry->ready = 0;
    Poll_SetEnq(entry, false);
    Poll_Unwatch(entry);
    if (entry->onRelease != nullptr) entry->onRelease(entry);
  }
}

namespace {

// Serves the entries epoll reported and the enqueued ones, each once with
// its reported events and its `ready` ones in `revents`. Every entry served
// stays allocated until the Poll_Reap after the pass.
void Poll_DispatchEpoll(const struct epoll_event *events, int n) {
  unsigned need = unsigned(n) + g_enqCount;
  if (need > g_batchCap) {
    void *p = realloc(g_batch, need * sizeof(PollEntry *));
    if (p == nullptr) need = g_batchCap;  // enqueued entries wait for a pass with room
    else g_batch = static_cast<PollEntry **>(p), g_batchCap = need;
  }
  // Slots keep the revents of earlier poll() passes: the enqueued entries'
  // are cleared first, so a nonzero value below means "reported now".
  for (ListLink *l = g_enqList.next; l != &g_enqList; l = l->next)
    g_fds[List_Owner<PollEntry>(l)->index].revents = 0;
  unsigned count = 0;
  for (int i = 0; i < n && count < need; i++) {
    PollEntry *entry = static_cast<PollEntry *>(events[i].data.ptr);
    g_fds[entry->index].revents = short(events[i].events & (POLLIN | POLLOUT | POLLERR | POLLHUP | POLLRDHUP));
    g_batch[count++] = entry;
  }
  for (ListLink *l = g_enqList.next; l != &g_enqList && count < need; l = l->next) {
    PollEntry *entry = List_Owner<PollEntry>(l);
    struct pollfd *slot = &g_fds[entry->index];
    if (slot->revents == 0) g_batch[count++] = entry;
    slot->revents = short(slot->revents | entry->ready);
  }
  for (unsigned i = 0; i < count; i++) {
    // By index: an earlier callback may have grown the arrays.
    PollEntry *entry = g_batch[i];
    struct pollfd *slot = &g_fds[entry->index];
    if (slot->revents == 0) continue;
    entry->onEvent(entry, slot);
    g_fds[entry->index].revents = 0;
  }
}

}  // namespace

void Poll_RunOnce(int maxWaitMs) {
  bool byPoll = g_epfd < 0 || g_unwatchable != 0;
  int nfds = byPoll ? Poll_Compact() : 0;
  int timeout = g_enqCount != 0 ? 0 : Timer_NextTimeout();
  if (maxWaitMs >= 0 && (timeout < 0 || timeout > maxWaitMs)) timeout = maxWaitMs;
  struct epoll_event events[kMaxEvents];
  int n = byPoll ? poll(g_fds, nfds_t(nfds), timeout) : epoll_wait(g_epfd, events, kMaxEvents, timeout);
  int err = errno;
  Clock_Update();
  if (n < 0) {
    if (err != EINTR)
      fprintf(stderr, "Poll returned error %s, should not happen, poll: %d\n", Err_Text(err), n);
  } else if (byPoll) {
    Poll_Dispatch(n, nfds);
  } else {
    Poll_DispatchEpoll(events, n);
  }
  Timer_RunExpired();
  Poll_Reap();
}

struct pollfd *Poll_Slots() { return g_fds; }
unsigned Poll_Used() { return g_used; }
unsigned Poll_Capacity() { return g_capacity; }
unsigned Poll_EnqCount() { return g_enqCount; }

unsigned Poll_ActiveCount() {
  unsigned n = 0;
  for (ListLink *l = g_active.next; l != &g_active; l = l->next) n++;
  return n;
}
