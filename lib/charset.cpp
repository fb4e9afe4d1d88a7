// Character sets: the file-name encoding, the character-set set-up done
// first in main, and the file-system calls that take UTF-8 paths.
//
// Inside the daemon every path and argument is UTF-8. The encoding of file
// names on the system is chosen once, on first use, from the environment:
// G_FILENAME_ENCODING (its value up to the first comma; "@locale" means the
// locale's encoding), else the locale's encoding when G_BROKEN_FILENAMES is
// set, else "UTF-8". Conversions go through iconv: an encoding is known when
// iconv can convert from it to UTF-8.
//
// Owns the current encoding name and one cached iconv descriptor from UTF-8
// to that encoding; both are process-wide and only replaced by
// Charset_ResetForTest.
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/support.h"
#include "lib/support_internal.h"

namespace {

constexpr const char *kConverterDataPath = "/etc/zelmor/icu/icudt38l.dat";
constexpr const char *kUnsupportedEncoding = "Unsupported local character encoding \"%s\".\n";
const iconv_t kNoIconv = reinterpret_cast<iconv_t>(-1);

std::string g_encoding;            // valid once g_encodingSet
bool g_encodingSet = false;
iconv_t g_toFilename = kNoIconv;   // UTF-8 -> g_encoding, opened lazily

// The converter data file is looked for only to be faithful to the set-up
// order; iconv carries its own tables, so finding it changes nothing else.
bool g_converterDataFound = false;

// Arguments replaced by Charset_Init: kept for the life of the process.
struct ArgCopy {
  ArgCopy *next;
  char *text;
};
ArgCopy *g_convertedArgs = nullptr;

/// The codeset of the locale that the environment selects for LC_CTYPE,
/// read without changing the process's own locale.
std::string LocaleCodeset() {
  locale_t loc = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
  if (loc == static_cast<locale_t>(nullptr)) {
    loc = newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(nullptr));
  }
  if (loc == static_cast<locale_t>(nullptr)) return "ANSI_X3.4-1968";
  std::string cs = nl_langinfo_l(CODESET, loc);
  freelocale(loc);
  return cs;
}

std::string ComputeEncoding() {
  const char *v = getenv("G_FILENAME_ENCODING");
  if (v && *v) {
    std::string name(v, strcspn(v, ","));
    if (name == "@locale") return LocaleCodeset();
    return name;
  }
  if (getenv("G_BROKEN_FILENAMES")) return LocaleCodeset();
  return "UTF-8";
}

/// iconv from `from` to `to`, or kNoIconv when the pair is not supported.
/// An empty name or one carrying iconv's "//" suffixes is never an encoding.
iconv_t OpenConverter(const char *to, const char *from) {
  for (const char *name : {to, from}) {
    if (name[0] == '\0' || strchr(name, '/')) return kNoIconv;
  }
  return iconv_open(to, from);
}

/// Converts the NUL-terminated `in` with `cd`; returns a malloc'd copy
/// ended by four NUL bytes (enough for any encoding), or nullptr when the
/// input is not valid in the source encoding or has no equivalent in the
/// target one.
char *Convert(iconv_t cd, const char *in) {
  size_t inLen = strlen(in);
  size_t cap = inLen * 2 + 16;
  for (;;) {
    char *out = static_cast<char *>(MEM_ALLOC(cap));
    iconv(cd, nullptr, nullptr, nullptr, nullptr);  // initial shift state
    char *src = const_cast<char *>(in);
    size_t srcLeft = inLen;
    char *dst = out;
    size_t dstLeft = cap - 4;
    size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    if (r != static_cast<size_t>(-1)) {
      r = iconv(cd, nullptr, nullptr, &dst, &dstLeft);  // close a shift state
    }
    if (r == static_cast<size_t>(-1)) {
      int e = errno;
      free(out);
      if (e == E2BIG) {
        cap *= 2;
        continue;
      }
      return nullptr;
    }
    memset(dst, 0, 4);
    return out;
  }
}

/// The path converted to the file-name encoding (malloc'd), or nullptr with
/// errno EINVAL when it cannot be converted.
char *ToFilename(const char *path) {
  if (g_toFilename == kNoIconv) {
    const char *enc = Charset_FilenameEncoding();
    g_toFilename = OpenConverter(enc, "UTF-8");
    if (g_toFilename == kNoIconv) Main_Panic(kUnsupportedEncoding, enc);
  }
  char *p = Convert(g_toFilename, path);
  if (!p) errno = EINVAL;
  return p;
}

/// Runs `call` on the converted path and frees it, keeping the call's errno.
template <typename R, typename F>
R WithFilename(const char *path, R failure, F call) {
  if (!path) {
    errno = EFAULT;
    return failure;
  }
  char *p = ToFilename(path);
  if (!p) return failure;
  R r = call(p);
  int e = errno;
  free(p);
  errno = e;
  return r;
}

}  // namespace

int File_Open(const char *path, int flags, mode_t mode) {
  return WithFilename(path, -1, [&](const char *p) { return open(p, flags, mode); });
}

FILE *File_Fopen(const char *path, const char *mode) {
  return WithFilename(path, static_cast<FILE *>(nullptr),
                      [&](const char *p) { return fopen(p, mode); });
}

int File_Stat(const char *path, struct stat *st) {
  return WithFilename(path, -1, [&](const char *p) { return stat(p, st); });
}

int File_Unlink(const char *path) {
  return WithFilename(path, -1, [&](const char *p) { return unlink(p); });
}

const char *Charset_FilenameEncoding() {
  if (!g_encodingSet) {
    g_encoding = ComputeEncoding();
    g_encodingSet = true;
  }
  return g_encoding.c_str();
}

void Charset_Init(int argc, char **argv) {
  struct stat st;
  g_converterDataFound = stat(kConverterDataPath, &st) == 0 && !S_ISDIR(st.st_mode);

  const char *enc = Charset_FilenameEncoding();
  iconv_t toUtf8 = OpenConverter("UTF-8", enc);
  if (toUtf8 == kNoIconv) Main_Panic(kUnsupportedEncoding, enc);

  for (int i = 0; i < argc; ++i) {
    if (!argv[i]) continue;
    char *u = Convert(toUtf8, argv[i]);
    if (!u) Main_Panic(kUnsupportedEncoding, enc);
    if (strcmp(u, argv[i]) == 0) {
      free(u);
      continue;
    }
    auto *copy = static_cast<ArgCopy *>(MEM_ALLOC(sizeof(ArgCopy)));
    copy->text = u;
    copy->next = g_convertedArgs;
    g_convertedArgs = copy;
    argv[i] = u;
  }
  iconv_close(toUtf8);
}

void Charset_ResetForTest() {
  if (g_toFilename != kNoIconv) iconv_close(g_toFilename);
  g_toFilename = kNoIconv;
  g_encoding.clear();
  g_encodingSet = false;
}
