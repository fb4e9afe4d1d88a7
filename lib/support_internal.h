// Helpers shared by the support library's own files (lib/support.cpp and
// lib/charset.cpp); not part of the library's interface.
#pragma once

#include <cstddef>

/// malloc that never returns null: out of memory panics
/// "Unrecoverable memory allocation failure at %s:%d\n" with `file` and
/// `line` of the caller. A size of 0 allocates one byte. Caller frees.
void *Mem_AllocAt(const char *file, int line, size_t size);
#define MEM_ALLOC(size) Mem_AllocAt(__FILE__, __LINE__, (size))

/// Length of the longest prefix of s[0..len) that does not end inside a
/// UTF-8 multi-byte character: a trailing lead byte whose continuation bytes
/// are missing is left out together with the ones present.
size_t Utf8_WholeLength(const char *s, size_t len);
