// Fuzz target for the configuration file reader. The input's first line
// (up to 64 bytes) names a section and a key as "section/key"; the whole
// input is written as the configuration file. The target looks the key up,
// converts it as an integer, walks the section and checks that every key
// the walk returns is also found by a lookup in that section.
#include <strings.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/config.h"

namespace {

void Check(bool ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
  }
}

char g_dir[] = "/tmp/natd-fuzz-config-XXXXXX";

void RemoveScratchFile() {
  unlink(Config_Path.c_str());
  rmdir(g_dir);
}

void UseScratchFile() {
  static bool done = false;
  if (done) return;
  if (!mkdtemp(g_dir)) abort();
  Config_Path = std::string(g_dir) + "/nat.conf";
  atexit(RemoveScratchFile);
  done = true;
}

bool IsBlank(char c) { return c && strchr(" \t\n\r\v\f", c); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  UseScratchFile();
  FILE *f = fopen(Config_Path.c_str(), "w");
  if (!f) abort();
  if (size) fwrite(data, 1, size, f);
  fclose(f);

  const char *text = reinterpret_cast<const char *>(data);
  size_t first = 0;
  while (first < size && first < 64 && text[first] != '\n' && text[first] != '\0') ++first;
  std::string names(text, first);
  size_t slash = names.find('/');
  std::string section = names.substr(0, slash);
  std::string key = slash == std::string::npos ? "ip" : names.substr(slash + 1);

  Config_GetString(section.c_str(), key.c_str());
  Config_GetInt(section.c_str(), key.c_str(), 7);

  std::vector<std::string> keys;
  ConfigSection *c = Config_OpenSection(section.c_str());
  if (c) {
    std::string value;
    while (auto k = Config_NextEntry(c, &value)) {
      Check(!k->empty(), "walk key is empty");
      Check(!IsBlank((*k)[0]) && !IsBlank(k->back()), "walk key has outer blanks");
      Check(k->find_first_of("=:") == std::string::npos, "walk key holds a separator");
      keys.push_back(*k);
    }
    Check(!Config_NextEntry(c, nullptr), "exhausted walk returned an entry");
    Config_CloseSection(c);
  }
  for (const std::string &k : keys) {
    // The walk's key is text before a separator on a line of the first such
    // section, so the lookup matches that very line or an earlier one.
    Check(Config_GetString(section.c_str(), k.c_str()).has_value(), "walk key not found by lookup");
  }
  return 0;
}
