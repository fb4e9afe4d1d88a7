// natd with its allocation seam armed from the environment: with
// NATD_FAIL_ALLOC=n the n-th allocation fails, and "allocation refused" on
// standard error at exit tells that it did.
#include <cstdio>
#include <cstdlib>

#include "core/main.h"
#include "lib/support.h"

int main(int argc, char **argv) {
  if (const char *n = getenv("NATD_FAIL_ALLOC")) {
    Mem_FailNth(strtoul(n, nullptr, 10));
    atexit([] {
      if (!Mem_FailPending()) fputs("allocation refused\n", stderr);
    });
  }
  return Main_Run(argc, argv);
}
