// Configuration file: a sectioned key = value text file with no in-memory
// copy. Every lookup opens the file at Config_Path, scans it from the start
// and closes it again, so a change of the file is seen by the next lookup.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

/// Path of the configuration file (default "/etc/zelmor/nat.conf", -c).
extern std::string Config_Path;

/// Shared handle on the opened file; the last reference closes it.
struct ConfigFile {
  FILE *stream;
  int refs;
};

/// Cursor over one section: the next line's byte position, -1 when done.
struct ConfigSection {
  ConfigFile *file;
  long pos;
};

/// Value of `key` in `section` (both matched without regard to case; all
/// sections of that name are searched in file order), or nullopt when the
/// file cannot be opened, the section does not exist or the key is not in it.
std::optional<std::string> Config_GetString(const char *section, const char *key);

/// Config_GetString converted with strtoul base 10; `def` when missing or
/// not wholly a number. An empty value gives 0.
unsigned long Config_GetInt(const char *section, const char *key, unsigned long def);

/// Cursor just after the first header of section `name`, or nullptr.
ConfigSection *Config_OpenSection(const char *name);

/// Next entry of the walk: the key (trailing blanks removed) and, when
/// `value` is given, the value; nullopt at the end of the section, at end of
/// file or on error. The walk never continues into a later section.
std::optional<std::string> Config_NextEntry(ConfigSection *cursor, std::string *value);

/// Releases the cursor and its reference on the file (nullptr is harmless).
void Config_CloseSection(ConfigSection *cursor);
