// Fuzz target for the line reader and the tokenizer. The first two input
// bytes give the length limit (0: none), the rest is the stream. Lines are
// compared with a plain split of the input on "\r\n", "\r" and "\n", and
// each line is cut into tokens whose sizes must add up within the line.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lib/support.h"

namespace {

void Check(bool ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
  }
}

std::vector<std::string> Split(const char *s, size_t n) {
  std::vector<std::string> out;
  std::string cur;
  for (size_t i = 0; i < n; ++i) {
    char c = s[i];
    if (c == '\n' || c == '\r') {
      out.push_back(cur);
      cur.clear();
      if (c == '\r' && i + 1 < n && s[i + 1] == '\n') ++i;
    } else {
      cur.push_back(c);
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 3) return 0;
  size_t maxLen = data[0] | (data[1] & 0x0f) << 8;
  const char *text = reinterpret_cast<const char *>(data + 2);
  size_t n = size - 2;
  FILE *f = fmemopen(const_cast<char *>(text), n, "r");
  if (!f) abort();

  std::vector<std::string> want = Split(text, n);
  size_t got = 0;
  char *line;
  size_t len;
  int r;
  while ((r = Line_Read(f, maxLen, &line, &len)) == 2) {
    Check(line[len] == '\0', "line not terminated");
    Check(maxLen == 0 || len <= maxLen, "line longer than the limit");
    Check(got < want.size() && want[got] == std::string(line, len), "line differs from split");
    ++got;

    size_t index = 0, total = 0;
    while (char *tok = Str_NextToken(&index, line, " \t,=")) {
      size_t tl = strlen(tok);
      Check(tl > 0 && strpbrk(tok, " \t,=") == nullptr, "bad token");
      total += tl;
      free(tok);
    }
    Check(total <= strlen(line) && index <= strlen(line), "tokens exceed the line");
    free(line);
  }
  if (r == 0) {
    Check(errno == E2BIG && maxLen != 0 && got < want.size() && want[got].size() > maxLen,
          "failure other than an over-long line");
  } else {
    Check(r == 1 && got == want.size(), "lines lost before end of file");
  }
  fclose(f);
  return 0;
}
