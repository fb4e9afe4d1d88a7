// Event loop: the one poll table of the daemon.
//
// Every descriptor belongs to a record that embeds a PollEntry. Removal is
// deferred: Poll_Remove moves the entry to the removal list and Poll_Reap
// releases it after the pass, so a callback may remove any entry, its own
// included. Entries may also declare events as ready without polling (`ready`).
//
// The table is watched through epoll: an entry's wanted events are
// registered when they change, so a pass costs what its ready descriptors
// cost, however many idle ones the table holds. Descriptors epoll refuses
// (regular files) make the passes fall back to poll() over the table.
#pragma once

#include <cstdint>
#include <poll.h>

#include "lib/list.h"

struct PollEntry;
using PollEventFn = void (*)(PollEntry *entry, struct pollfd *slot);
using PollReleaseFn = void (*)(PollEntry *entry);

struct PollEntry {
  ListLink link;       // active list or removal list; owner = this entry
  void *owner;         // the entry itself (the embedding record starts with it)
  uint64_t index;      // slot in the poll arrays; all ones when none
  PollEventFn onEvent;
  PollReleaseFn onRelease;
  int removing;
  int fd;              // -1 when none
  int enq;             // ready & events != 0
  int ready;           // events available without polling
  ListLink enqLink;    // membership in the list of enqueued entries
  int watchedFd;       // descriptor registered with epoll, -1 when none
  int watched;         // events registered for it (kPollUnwatchable: refused)
};

constexpr int kPollUnwatchable = -1;

constexpr uint64_t kPollNoIndex = ~uint64_t{0};

/// Prepares an entry embedded in its owner: no slot, fd -1, flags 0,
/// unlinked. The owner sets `fd` afterwards. onRelease runs once after the
/// entry has left the table (it closes the descriptor and frees the owner).
void Poll_Init(PollEntry *entry, PollEventFn onEvent, PollReleaseFn onRelease);
/// Gives the entry the next slot with events 0 (not polled until the owner
/// sets events) and appends it to the active list. The table keeps a pointer
/// to the entry; the owner keeps ownership. Returns 0, or -1 when the arrays
/// cannot grow (the entry is not added; the caller releases its record).
int Poll_Add(PollEntry *entry);
/// Writes the slot's events (POLLIN, POLLOUT) and re-evaluates enq. May add
/// or clear single bits by passing Poll_GetEvents(entry) changed.
void Poll_SetEvents(PollEntry *entry, short mask);
/// The slot's current events (0 when not in the arrays).
short Poll_GetEvents(const PollEntry *entry);
/// Writes `ready` and re-evaluates enq.
void Poll_SetReady(PollEntry *entry, int mask);
/// Deferred removal: the entry keeps its slot (and may still be dispatched
/// in the current pass) until the next Poll_Reap releases it. Works on an
/// entry that was never added.
void Poll_Remove(PollEntry *entry);
/// Removes every entry, most recently added first, then reaps (shutdown).
void Poll_RemoveAll();
/// Moves the slots with events to the front (order not kept, indices
/// updated) and returns their number: the count of slots to poll.
int Poll_Compact();
/// Calls onEvent for each of the first `nfds` slots with revents, adding
/// the `ready` events of enqueued entries; `nready` is poll's result. Stops
/// once every reason is accounted for, reports a shortfall on stderr, then
/// reaps.
void Poll_Dispatch(int nready, int nfds);
/// Releases the removed entries, most recently removed first: the last slot
/// moves into the freed one, then onRelease runs. Entries removed by a
/// release callback are released in the same call.
void Poll_Reap();

/// One pass of the main loop: wait for ready descriptors (epoll, or compact
/// and poll while a descriptor epoll refuses wants events; time-out from the
/// timers, 0 while entries are enqueued, `maxWaitMs` >= 0 caps it),
/// Clock_Update, dispatch (each ready or enqueued entry once), Timer_RunExpired,
/// Poll_Reap.
void Poll_RunOnce(int maxWaitMs = -1);

/// Introspection for tests.
/// The pollfd array (valid until the next Poll_Add).
struct pollfd *Poll_Slots();
/// Slots in use, removed-but-unreaped entries included.
unsigned Poll_Used();
/// Slots allocated: 0, 16, then doubling.
unsigned Poll_Capacity();
/// Entries whose `enq` is set.
unsigned Poll_EnqCount();
/// Entries in the active list (added and not removed).
unsigned Poll_ActiveCount();
