// Event loop: the one poll table of the daemon.
//
// Every descriptor belongs to a record that embeds a PollEntry. Removal is
// deferred: Poll_Remove moves the entry to the removal list and Poll_Reap
// releases it after the pass, so a callback may remove any entry, its own
// included. Entries may also declare events as ready without polling (`ready`).
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
};

constexpr uint64_t kPollNoIndex = ~uint64_t{0};

void Poll_Init(PollEntry *entry, PollEventFn onEvent, PollReleaseFn onRelease);
/// Returns 0, or -1 when the arrays cannot grow (the caller releases).
int Poll_Add(PollEntry *entry);
/// Writes the slot's events and re-evaluates enq.
void Poll_SetEvents(PollEntry *entry, short mask);
/// The slot's current events (0 when not in the arrays).
short Poll_GetEvents(const PollEntry *entry);
/// Writes `ready` and re-evaluates enq.
void Poll_SetReady(PollEntry *entry, int mask);
/// Deferred removal; release follows at the next Poll_Reap.
void Poll_Remove(PollEntry *entry);
void Poll_RemoveAll();
int Poll_Compact();
void Poll_Dispatch(int nready, int nfds);
void Poll_Reap();

/// One pass of the main loop: compact, poll (time-out from the timers; 0
/// while entries are enqueued; `maxWaitMs` >= 0 caps it), Clock_Update,
/// dispatch, Timer_RunExpired, Poll_Reap.
void Poll_RunOnce(int maxWaitMs = -1);

/// Introspection for tests.
struct pollfd *Poll_Slots();
unsigned Poll_Used();
unsigned Poll_Capacity();
unsigned Poll_EnqCount();
unsigned Poll_ActiveCount();
