// Support services: bounded copying and formatting that end the process
// rather than truncate, truncating formatting that keeps UTF-8 characters
// whole, the error-text cache, the line reader and the tokenizer.
//
// Owns the error-text cache: a hash table of kErrBuckets chains of ErrText
// records keyed by error number. Records are never freed, so an address
// handed out once stays valid for the life of the process, and asking for
// the same number again yields the same address.
//
// The file-system calls with UTF-8 paths and the character-set set-up live
// in lib/charset.cpp.
#include "lib/support.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "lib/support_internal.h"

void *Mem_AllocAt(const char *file, int line, size_t size) {
  void *p = malloc(size ? size : 1);
  if (!p) Main_Panic("Unrecoverable memory allocation failure at %s:%d\n", file, line);
  return p;
}

// The hex figure of the panic message is the caller's return address: the
// file and line are this file's, so the address is what names the caller
// (resolve it with addr2line).
[[noreturn]] static void BufferTooSmall(const char *file, int line, const void *caller) {
  Main_Panic("%s:%d Buffer too small 0x%x\n", file, line,
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(caller)));
}

void Str_Copy(char *dst, const char *src, size_t size) {
  size_t n = strlen(src);
  if (n >= size) BufferTooSmall(__FILE__, __LINE__, __builtin_return_address(0));
  memcpy(dst, src, n + 1);
}

void Str_Append(char *dst, const char *src, size_t size) {
  size_t have = strnlen(dst, size);
  size_t n = strlen(src);
  // have == size means dst holds no NUL within its size: nothing can fit.
  if (have >= size || n >= size - have) {
    BufferTooSmall(__FILE__, __LINE__, __builtin_return_address(0));
  }
  memcpy(dst + have, src, n + 1);
}

int Str_FormatAt(const char *file, int line, char *buf, size_t size, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, size, fmt, ap);
  va_end(ap);
  if (n < 0 || static_cast<size_t>(n) >= size) {
    BufferTooSmall(file, line, __builtin_return_address(0));
  }
  return n;
}

size_t Utf8_WholeLength(const char *s, size_t len) {
  // Walk back over at most three continuation bytes to the last lead byte;
  // if the sequence it starts needs more bytes than are left, drop it.
  size_t i = len;
  size_t cont = 0;
  while (i > 0 && cont < 4 && (static_cast<unsigned char>(s[i - 1]) & 0xC0) == 0x80) {
    --i;
    ++cont;
  }
  if (i == 0) return len;  // only continuation bytes: nothing to keep whole
  unsigned char lead = static_cast<unsigned char>(s[i - 1]);
  size_t need;
  if (lead < 0x80) need = 1;
  else if ((lead & 0xE0) == 0xC0) need = 2;
  else if ((lead & 0xF0) == 0xE0) need = 3;
  else if ((lead & 0xF8) == 0xF0) need = 4;
  else return len;  // stray continuation run or invalid lead: not ours to fix
  if (cont + 1 < need) return i - 1;
  return len;
}

int Str_VFormatTrunc(char *buf, size_t size, const char *fmt, va_list ap) {
  if (size == 0) return -1;
  int n = vsnprintf(buf, size, fmt, ap);
  if (n < 0) {
    buf[0] = '\0';
    return -1;
  }
  if (static_cast<size_t>(n) < size) return n;
  buf[Utf8_WholeLength(buf, size - 1)] = '\0';
  return -1;
}

// ---------------------------------------------------------------------------
// Error-text cache.

namespace {

constexpr size_t kErrBuckets = 2048;
constexpr size_t kErrTextMax = 2047;

struct ErrText {
  ErrText *next;  // chain of one bucket
  int err;
  char text[];    // NUL-terminated, at most kErrTextMax bytes
};

ErrText *g_errTable[kErrBuckets];

size_t ErrBucket(int err) { return static_cast<unsigned>(err) % kErrBuckets; }

}  // namespace

const char *Err_Text(int err) {
  int saved = errno;
  ErrText **head = &g_errTable[ErrBucket(err)];
  for (ErrText *r = *head; r; r = r->next) {
    if (r->err == err) {
      errno = saved;
      return r->text;
    }
  }
  char tmp[kErrTextMax + 1];
  tmp[0] = '\0';
  // The GNU strerror_r may return a static string instead of filling tmp.
  const char *s = strerror_r(err, tmp, sizeof tmp);
  size_t len = strnlen(s, kErrTextMax);
  len = Utf8_WholeLength(s, len);
  auto *r = static_cast<ErrText *>(MEM_ALLOC(sizeof(ErrText) + len + 1));
  r->err = err;
  memcpy(r->text, s, len);
  r->text[len] = '\0';
  r->next = *head;
  *head = r;
  errno = saved;
  return r->text;
}

// ---------------------------------------------------------------------------
// Line reader.

int Line_Read(FILE *f, size_t maxLen, char **line, size_t *len) {
  *line = nullptr;
  *len = 0;
  char *buf = nullptr;
  size_t cap = 0;
  size_t n = 0;
  bool any = false;  // a byte was consumed, so end of file ends a line
  int result = 2;
  int err = 0;

  flockfile(f);
  for (;;) {
    int c = getc_unlocked(f);
    if (c == EOF) {
      if (ferror_unlocked(f)) {
        err = errno ? errno : EIO;
        result = 0;
      } else if (!any) {
        result = 1;
      }
      break;
    }
    any = true;
    if (c == '\n') break;
    if (c == '\r') {
      int d = getc_unlocked(f);
      if (d != '\n' && d != EOF) ungetc(d, f);
      break;
    }
    if (maxLen != 0 && n >= maxLen) {
      // The byte that would overflow goes back, so exactly maxLen bytes of
      // the line have been consumed.
      ungetc(c, f);
      err = E2BIG;
      result = 0;
      break;
    }
    if (n + 1 >= cap) {
      size_t ncap = cap ? cap * 2 : 128;
      char *nb = static_cast<char *>(realloc(buf, ncap));
      if (!nb) {
        err = ENOMEM;
        result = 0;
        break;
      }
      buf = nb;
      cap = ncap;
    }
    buf[n++] = static_cast<char>(c);
  }
  funlockfile(f);

  if (result != 2) {
    free(buf);
    if (result == 0) errno = err;
    return result;
  }
  if (!buf) {
    buf = static_cast<char *>(malloc(1));
    if (!buf) {
      errno = ENOMEM;
      return 0;
    }
  }
  buf[n] = '\0';
  *line = buf;
  *len = n;
  return 2;
}

// ---------------------------------------------------------------------------
// Tokenizer.

char *Str_NextToken(size_t *index, const char *str, const char *delims) {
  size_t i = *index;
  i += strspn(str + i, delims);
  if (str[i] == '\0') {
    *index = i;
    return nullptr;
  }
  size_t n = strcspn(str + i, delims);
  auto *tok = static_cast<char *>(MEM_ALLOC(n + 1));
  memcpy(tok, str + i, n);
  tok[n] = '\0';
  *index = i + n;
  return tok;
}
