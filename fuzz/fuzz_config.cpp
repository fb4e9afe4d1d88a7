// Fuzz target for the configuration file reader. The whole input is the
// configuration file; its first line names "section/key" (64 bytes each at most,
// the key defaults to ip). The target looks the key up, walks the section
// and checks that every key of the walk is a trimmed name without a
// separator that a lookup in that section finds as well.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const bool ready = (Config_Path = "/dev/shm/natd-fuzz-config." + std::to_string(getpid()),
                             atexit([] { unlink(Config_Path.c_str()); }), true);
  FILE *f = fopen(Config_Path.c_str(), "w");
  if (!ready || !f || (size && fwrite(data, 1, size, f) != size) || fclose(f) != 0) abort();
  std::string text(reinterpret_cast<const char *>(data), size);
  char section[65] = "", key[65] = "ip";
  sscanf(text.c_str(), "%64[^/\n]/%64[^\n]", section, key);
  Config_GetInt(section, key, 7);
  ConfigSection *c = Config_OpenSection(section);
  std::string value;
  while (auto k = Config_NextEntry(c, &value)) {
    if (k->empty() || strchr(" \t\n\r\v\f", k->front()) || strchr(" \t\n\r\v\f", k->back()) ||
        k->find_first_of("=:") != std::string::npos)
      abort();  // a walk key empty, not trimmed or holding a separator
    // The key is text before a separator on a line of the first such
    // section, so a lookup matches that very line or an earlier one.
    if (!Config_GetString(section, k->c_str())) abort();
  }
  if (Config_NextEntry(c, nullptr)) abort();  // an exhausted walk stays exhausted
  Config_CloseSection(c);
  return 0;
}
