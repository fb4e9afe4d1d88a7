// Allocation seam: the build compiles this file into every program that
// links the daemon's library and links it with
// -Wl,--wrap=malloc,--wrap=calloc,--wrap=realloc,--wrap=strdup, so the
// daemon's own calls land in the __wrap_ functions below (the C library's
// and the C++ runtime's internal allocations do not). Unarmed, each call
// costs one comparison.
#include <cerrno>
#include <cstdlib>

#include "lib/support.h"

namespace {
unsigned long g_failCountdown;  // calls left until the failing one; 0 = unarmed

bool Mem_Refuse() {
  if (g_failCountdown == 0 || --g_failCountdown != 0) return false;
  errno = ENOMEM;
  return true;
}
}  // namespace

void Mem_FailNth(unsigned long n) { g_failCountdown = n; }
bool Mem_FailPending() { return g_failCountdown != 0; }

extern "C" {
void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
void *__real_realloc(void *p, size_t size);
char *__real_strdup(const char *s);
void *__wrap_malloc(size_t size) { return Mem_Refuse() ? nullptr : __real_malloc(size); }
void *__wrap_calloc(size_t count, size_t size) {
  return Mem_Refuse() ? nullptr : __real_calloc(count, size);
}
void *__wrap_realloc(void *p, size_t size) { return Mem_Refuse() ? nullptr : __real_realloc(p, size); }
char *__wrap_strdup(const char *s) { return Mem_Refuse() ? nullptr : __real_strdup(s); }
}

