// Fuzz target for the line reader. The first two input bytes give the
// length limit (12 bits, 0: none), the rest is the stream. The lines read
// must be those of a plain split on "\r\n", "\r" and "\n", within the limit,
// until the first line over it.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "lib/support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 3) return 0;
  size_t maxLen = data[0] | (data[1] & 0x0f) << 8, got = 0, len;
  std::string text(reinterpret_cast<const char *>(data + 2), size - 2);
  std::vector<std::string> want(1);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\n' && text[i] != '\r') want.back() += text[i];
    else want.emplace_back();
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
  }
  if (want.back().empty()) want.pop_back();
  FILE *f = fmemopen(text.data(), text.size(), "r");
  char *line;
  int r;
  while ((r = Line_Read(f, maxLen, &line, &len)) == 2) {
    if (line[len] != '\0' || (maxLen && len > maxLen) || got >= want.size() || want[got++] != std::string(line, len))
      abort();  // not terminated, over the limit or not the split's line
    free(line);
  }
  if (r == 1 ? got != want.size() : !(errno == E2BIG && maxLen && got < want.size() && want[got].size() > maxLen))
    abort();  // lines lost, or a failure other than an over-long line
  fclose(f);
  return 0;
}
