// Load limits: values from [limits] and the count of times each was reached.
#include "core/limits.h"

#include <cinttypes>
#include <cstdio>

#include "control/textbuf.h"
#include "core/config.h"

namespace {

const char *const kNames[kLimitCount] = {
    "reassemblies", "reassemblyBytes",   "arpEntries",  "arpSubnetOnly",       "arpQueue",
    "icmpEchoes",   "udpFlows",          "udpReadBudget", "tcpConnections",    "tcpConnectTimeout",
    "tcpIdleTimeout", "tcpHalfCloseTimeout", "tcpReorderSegments", "ctlClients", "ctlLineMax", "pptpCalls",
};

uint64_t g_value[kLimitCount];
uint64_t g_hits[kLimitCount];

}  // namespace

void Limits_Load() {
  for (int i = 0; i < kLimitCount; i++) {
    g_value[i] = Config_GetInt("limits", kNames[i], 0);
    g_hits[i] = 0;
  }
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
