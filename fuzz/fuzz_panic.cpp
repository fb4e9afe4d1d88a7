// Panic routine for the fuzz targets: the code under test never panics on
// any input, so a panic is a finding. It prints the message like the
// daemon's own panic and aborts, so that libFuzzer keeps the input and the
// sanitizer prints the stack.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "lib/support.h"
#include "lib/support.h"

void Main_Panic(const char *fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  Str_VFormatTrunc(buf, sizeof buf, fmt, ap);
  va_end(ap);
  fprintf(stderr, "Zelmor NAT Panic: %s\n", buf);
  abort();
}
