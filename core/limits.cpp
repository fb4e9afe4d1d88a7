// Load limits: values from [limits] and the count of times each was reached.
#include "core/limits.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <sys/resource.h>

#include "control/textbuf.h"
#include "core/config.h"
#include "core/poll.h"

namespace {

const char *const kNames[kLimitCount] = {
    "reassemblies", "reassemblyBytes",   "arpEntries",  "arpSubnetOnly",       "arpQueue",
    "icmpEchoes",   "udpFlows",          "udpReadBudget", "tcpConnections",    "tcpConnectTimeout",
    "tcpIdleTimeout", "tcpHalfCloseTimeout", "tcpReorderSegments", "ctlClients", "ctlLineMax",
    "pptpCalls", "descriptors",
};

uint64_t g_value[kLimitCount];
uint64_t g_hits[kLimitCount];

// Every UDP flow and TCP connection holds a host socket, so the soft limit
// (often 1024) would bound the tables long before memory does: raise it to
// the hard limit, which the administrator controls.
void RaiseDescriptorLimit() {
  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return;
  if (rl.rlim_cur < rl.rlim_max) {
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
    getrlimit(RLIMIT_NOFILE, &rl);
  }
  g_value[kLimitDescriptors] = rl.rlim_cur == RLIM_INFINITY ? 0 : uint64_t(rl.rlim_cur);
}

void Resume(Timer *, void *arg) {
  PollEntry *entry = static_cast<PollEntry *>(arg);
  if (!entry->removing) Poll_SetEvents(entry, short(Poll_GetEvents(entry) | POLLIN));
}

}  // namespace

void Limits_Load() {
  for (int i = 0; i < kLimitCount; i++) {
    g_value[i] = i == kLimitDescriptors ? 0 : Config_GetInt("limits", kNames[i], 0);
    g_hits[i] = 0;
  }
  RaiseDescriptorLimit();
}

uint64_t Limits_Get(LimitId id) { return g_value[id]; }

bool Limits_Reached(LimitId id, uint64_t used) { return g_value[id] != 0 && used >= g_value[id]; }

void Limits_Hit(LimitId id) { g_hits[id]++; }

uint64_t Limits_Count(LimitId id) { return g_hits[id]; }

void Limits_Set(LimitId id, uint64_t value) {
  g_value[id] = value;
  g_hits[id] = 0;
}

void Limits_Dump(TextBuf *out) {
  char line[128];
  TextBuf_Append(out, "270-Limits\r\n");
  for (int i = 0; i < kLimitCount; i++) {
    snprintf(line, sizeof line, "271-%s %" PRIu64 " %" PRIu64 "\r\n", kNames[i], g_value[i], g_hits[i]);
    TextBuf_Append(out, line);
  }
  snprintf(line, sizeof line, "279-%d entries\r\n", int(kLimitCount));
  TextBuf_Append(out, line);
}

void AcceptPause_Init(AcceptPause *pause, PollEntry *entry) {
  pause->entry = entry;
  Timer_Init(&pause->timer, Resume, entry);
}

void AcceptPause_Check(AcceptPause *pause, int err) {
  if (err != EMFILE && err != ENFILE && err != ENOBUFS && err != ENOMEM) return;
  Poll_SetEvents(pause->entry, short(Poll_GetEvents(pause->entry) & ~POLLIN));
  Timer_AddMillis(&pause->timer, kAcceptPauseMs);
  Limits_Hit(kLimitDescriptors);
}

void AcceptPause_Cancel(AcceptPause *pause) { Timer_Cancel(&pause->timer); }
