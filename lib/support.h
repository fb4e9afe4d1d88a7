// Support services: bounded copying and formatting that panic rather than
// truncate, truncating formatting that keeps UTF-8 whole, the error-text
// cache, the line reader, the tokenizer, file-system calls with UTF-8 paths
// and the character-set set-up done first in main.
//
// Every failure these services cannot report to the caller ends the process
// through Main_Panic (exit status 255).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <sys/stat.h>
#include <sys/types.h>

/// The daemon's panic routine (defined by its main, core/main.cpp): formats
/// the message into 1024 bytes (truncating), writes
/// "Zelmor NAT Panic: %s\n" to standard error and exits with status 255,
/// without the shutdown routine.
[[noreturn]] void Main_Panic(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/// Copies `src` with its NUL into `dst` of `size` bytes; panics
/// "%s:%d Buffer too small 0x%x\n" when strlen(src) >= size.
void Str_Copy(char *dst, const char *src, size_t size);

/// Appends `src` to the string in `dst` of `size` bytes; panics as Str_Copy
/// when the combined length plus NUL does not fit.
void Str_Append(char *dst, const char *src, size_t size);

/// snprintf into `buf` of `size` bytes; returns the length written. Panics
/// "%s:%d Buffer too small 0x%x\n" when the output does not fit.
#define Str_Format(buf, size, ...) Str_FormatAt(__FILE__, __LINE__, buf, size, __VA_ARGS__)
int Str_FormatAt(const char *file, int line, char *buf, size_t size, const char *fmt, ...)
    __attribute__((format(printf, 5, 6)));

/// vsnprintf into `buf`; when the output does not fit it is cut at the last
/// whole UTF-8 character, NUL-terminated, and -1 is returned; otherwise the
/// length. A size of 0 returns -1 and writes nothing.
int Str_VFormatTrunc(char *buf, size_t size, const char *fmt, va_list ap);

/// Cached text of error number `err` (strerror_r, at most 2047 bytes, no
/// trailing partial UTF-8 sequence). The same number always yields the same
/// address, valid for the life of the process. errno is preserved.
const char *Err_Text(int err);

/// Reads one line of any length; "\n", "\r" and "\r\n" end a line.
/// Returns 2 with a malloc'd NUL-terminated line (caller frees) and its
/// length, 1 at end of file with nothing read, 0 on failure with errno set
/// (E2BIG when the line exceeds a non-zero `maxLen`, ENOMEM, or the stream's
/// own error).
int Line_Read(FILE *f, size_t maxLen, char **line, size_t *len);

/// Skips delimiters from *index in `str`, returns a malloc'd copy of the
/// following run of non-delimiters and advances *index past it; nullptr when
/// the string ends first.
char *Str_NextToken(size_t *index, const char *str, const char *delims);

/// File-system calls taking UTF-8 paths, converted to the file-name
/// encoding. A path that cannot be converted fails with EINVAL without
/// calling the system.
int File_Open(const char *path, int flags, mode_t mode = 0);
FILE *File_Fopen(const char *path, const char *mode);
int File_Stat(const char *path, struct stat *st);
int File_Unlink(const char *path);

/// The encoding of file names (computed once from G_FILENAME_ENCODING,
/// G_BROKEN_FILENAMES and the locale).
const char *Charset_FilenameEncoding();

/// First call of main: determines the file-name encoding, checks that it is
/// known and converts argv in place to UTF-8; panics
/// "Unsupported local character encoding \"%s\".\n" otherwise.
void Charset_Init(int argc, char **argv);

/// Allocation seam (natd's own, for tests): every program linked with the
/// daemon's library has its malloc, calloc, realloc and strdup calls routed
/// through here (the linker's --wrap, set by the build). Once armed, the
/// n-th of those calls from now fails as if memory were exhausted (null,
/// errno ENOMEM; a failed realloc leaves the old block alone); the calls
/// before and after it succeed. 0 disarms.
void Mem_FailNth(unsigned long n);
/// True while an armed failure has not happened yet.
bool Mem_FailPending();

/// Test seam: forget the cached file-name encoding so that the next call
/// computes it again from the environment.
void Charset_ResetForTest();
