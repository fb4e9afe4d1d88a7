// Fuzz target for the configuration file reader. The whole input is the
// configuration file; its first line (up to 64 bytes) names "section/key"
// (the key defaults to ip). The target looks the key up, walks the section
// and checks that every key of the walk is a trimmed name without a
// separator that a lookup in that section finds as well.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/config.h"

static void Check(bool ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "fuzz_config: %s\n", what);
    abort();
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const bool ready = (Config_Path = "/tmp/natd-fuzz-config." + std::to_string(getpid()),
                             atexit([] { unlink(Config_Path.c_str()); }), true);
  FILE *f = fopen(Config_Path.c_str(), "w");
  Check(ready && f && fwrite(data, 1, size, f) == size && fclose(f) == 0, "cannot write the file");
  std::string names(reinterpret_cast<const char *>(data), size);
  names.resize(std::min(names.find_first_of(std::string("\n\0", 2)), size_t(64)));
  size_t slash = names.find('/');
  std::string section = names.substr(0, slash), key = slash == std::string::npos ? "ip" : names.substr(slash + 1);
  Config_GetInt(section.c_str(), key.c_str(), 7);
  ConfigSection *c = Config_OpenSection(section.c_str());
  std::string value;
  while (auto k = Config_NextEntry(c, &value)) {
    Check(!k->empty() && !strchr(" \t\n\r\v\f", k->front()) && !strchr(" \t\n\r\v\f", k->back()), "walk key not trimmed");
    Check(k->find_first_of("=:") == std::string::npos, "walk key holds a separator");
    // The key is text before a separator on a line of the first such
    // section, so a lookup matches that very line or an earlier one.
    Check(Config_GetString(section.c_str(), k->c_str()).has_value(), "walk key not found by a lookup");
  }
  Check(!Config_NextEntry(c, nullptr), "an exhausted walk returned an entry");
  Config_CloseSection(c);
  return 0;
}
