// Configuration file: lookups of one key and walks over one section of the
// sectioned key = value file at Config_Path.
//
// Nothing is cached. Every lookup opens its own ConfigFile, scans from the
// start and releases it; a walk (ConfigSection) holds its ConfigFile open
// and remembers only the byte position of its next line, seeking there at
// every step, so walks and lookups may be interleaved freely.
//
// Lines are read with fgets into a kLineBuf-byte buffer: a line longer than
// kLineBuf - 1 bytes arrives in pieces and every piece is handled as a line
// of its own. A header is a line whose first non-blank character is '['; it
// names section S when S follows the '[' (any case) and is closed at once by
// ']'. Whitespace is the six characters of isspace() in the C locale,
// tested here without regard to the process's locale.
//
// Owns: ConfigFile handles (reference counted; the last release closes the
// stream) and ConfigSection cursors (one reference each).
#include "core/config.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <strings.h>

#include "lib/support.h"

std::string Config_Path = "/etc/zelmor/nat.conf";

namespace {

constexpr int kLineBuf = 16384;

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

const char *SkipBlanks(const char *p) {
  while (IsBlank(*p)) ++p;
  return p;
}

/// Opens Config_Path read-only: a handle with one reference, or nullptr.
ConfigFile *ConfigFile_Open() {
  FILE *f = File_Fopen(Config_Path.c_str(), "r");
  if (!f) return nullptr;
  auto *cf = new (std::nothrow) ConfigFile{f, 1};
  if (!cf) {
    fclose(f);
    return nullptr;
  }
  rewind(f);
  return cf;
}

/// Drops one reference; the last one closes the stream and frees the handle.
void ConfigFile_Release(ConfigFile *cf) {
  if (--cf->refs > 0) return;
  fclose(cf->stream);
  delete cf;
}

/// `p` (blanks already skipped) is a header line.
bool IsHeader(const char *p) { return *p == '['; }

/// Header line `p` names section `name`.
bool HeaderMatches(const char *p, const char *name) {
  size_t n = strlen(name);
  return p[0] == '[' && strncasecmp(p + 1, name, n) == 0 && p[1 + n] == ']';
}

/// Reads a value starting at `p` (just after the separator) into `out`.
/// Blanks are skipped; a leading ' or " quotes the value up to the next
/// same quote, otherwise it ends at the first blank. The line's end (NUL or
/// newline) always ends it; `crEnds` makes a carriage return end it too, as
/// the walk wants. Backslash escapes: \r \t \n give CR, TAB, LF, any other
/// character stands for itself, a backslash at the end of the line (or
/// before a CR when `crEnds`) ends the value.
void ParseValue(const char *p, bool crEnds, std::string *out) {
  p = SkipBlanks(p);
  char quote = 0;
  if (*p == '"' || *p == '\'') quote = *p++;
  for (;;) {
    char c = *p;
    if (c == '\0' || c == '\n' || (crEnds && c == '\r')) break;
    if (quote ? c == quote : IsBlank(c)) break;
    if (c == '\\') {
      char e = p[1];
      if (e == '\0' || e == '\n' || (crEnds && e == '\r')) break;
      out->push_back(e == 'r' ? '\r' : e == 't' ? '\t' : e == 'n' ? '\n' : e);
      p += 2;
      continue;
    }
    out->push_back(c);
    ++p;
  }
}

/// Line `p` (blanks skipped) holds `key` (any case) followed by optional
/// blanks and '=' or ':'; returns the character after the separator.
const char *MatchKey(const char *p, const char *key) {
  size_t n = strlen(key);
  if (strncasecmp(p, key, n) != 0) return nullptr;
  const char *q = SkipBlanks(p + n);
  if (*q != '=' && *q != ':') return nullptr;
  return q + 1;
}

/// Reads lines from the handle's current position until a header of
/// section `name`; true when one was found (the stream is then just after
/// it).
bool SeekSection(ConfigFile *cf, const char *name, char *line) {
  while (fgets(line, kLineBuf, cf->stream)) {
    const char *p = SkipBlanks(line);
    if (HeaderMatches(p, name)) return true;
  }
  return false;
}

}  // namespace

std::optional<std::string> Config_GetString(const char *section, const char *key) {
  ConfigFile *cf = ConfigFile_Open();
  if (!cf) return std::nullopt;
  char *line = static_cast<char *>(malloc(kLineBuf));
  if (!line) {
    ConfigFile_Release(cf);
    return std::nullopt;
  }
  std::optional<std::string> result;
  // Every section of that name is searched in file order: a header of
  // another section ends the current one, a header of the same name starts
  // the next.
  bool inSection = false;
  while (fgets(line, kLineBuf, cf->stream)) {
    const char *p = SkipBlanks(line);
    if (IsHeader(p)) {
      inSection = HeaderMatches(p, section);
      continue;
    }
    if (!inSection) continue;
    const char *v = MatchKey(p, key);
    if (!v) continue;
    try {
      std::string value;
      ParseValue(v, false, &value);
      result = std::move(value);
    } catch (const std::bad_alloc &) {
      result.reset();
    }
    break;
  }
  free(line);
  ConfigFile_Release(cf);
  return result;
}

unsigned long Config_GetInt(const char *section, const char *key, unsigned long def) {
  std::optional<std::string> s = Config_GetString(section, key);
  if (!s) return def;
  const char *text = s->c_str();
  char *end = nullptr;
  unsigned long v = strtoul(text, &end, 10);
  // Trailing characters make the value not wholly a number; the empty
  // value converts to 0.
  if (*end != '\0') return def;
  return v;
}

ConfigSection *Config_OpenSection(const char *name) {
  ConfigFile *cf = ConfigFile_Open();
  if (!cf) return nullptr;
  char *line = static_cast<char *>(malloc(kLineBuf));
  ConfigSection *cursor = nullptr;
  if (line && SeekSection(cf, name, line)) {
    long pos = ftell(cf->stream);
    if (pos >= 0) cursor = new (std::nothrow) ConfigSection{cf, pos};
  }
  free(line);
  if (!cursor) ConfigFile_Release(cf);
  return cursor;
}

std::optional<std::string> Config_NextEntry(ConfigSection *cursor, std::string *value) {
  if (!cursor || cursor->pos < 0) return std::nullopt;
  FILE *f = cursor->file->stream;
  clearerr(f);
  if (fseek(f, cursor->pos, SEEK_SET) != 0) return std::nullopt;
  char *line = static_cast<char *>(malloc(kLineBuf));
  if (!line) return std::nullopt;

  std::optional<std::string> key;
  for (;;) {
    if (!fgets(line, kLineBuf, f)) {
      cursor->pos = -1;
      break;
    }
    const char *p = SkipBlanks(line);
    if (*p == '\0' || *p == '#' || *p == ':' || *p == '=') continue;
    if (IsHeader(p)) {
      cursor->pos = -1;
      break;
    }
    const char *sep = strpbrk(p + 1, "=:");
    if (!sep) continue;
    const char *keyEnd = sep;
    while (keyEnd > p && IsBlank(keyEnd[-1])) --keyEnd;
    try {
      std::string k(p, keyEnd);
      if (value) {
        std::string v;
        ParseValue(sep + 1, true, &v);
        *value = std::move(v);
      }
      key = std::move(k);
    } catch (const std::bad_alloc &) {
      key.reset();
    }
    long pos = ftell(f);
    cursor->pos = pos >= 0 ? pos : -1;
    break;
  }
  free(line);
  return key;
}

void Config_CloseSection(ConfigSection *cursor) {
  if (!cursor) return;
  ConfigFile_Release(cursor->file);
  delete cursor;
}
