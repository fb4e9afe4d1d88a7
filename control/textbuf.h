// Growable byte buffer with a sticky error flag. Used by the control server
// for command lines and replies, by every table dump, and by the FTP gateway
// to rewrite text and splice it into TCP segments.
#pragma once

#include <cstddef>
#include <cstdint>

struct TcpSegment;

struct TextBuf {
  uint8_t *data;    // malloc'd storage or nullptr
  size_t len;       // bytes in use (not NUL-terminated)
  size_t capacity;  // bytes allocated
  uint32_t error;   // growing failed; cleared by Init/Free
};

constexpr size_t kTextBufAppend = ~size_t{0};

/// Sets every field to zero (does not free).
void TextBuf_Init(TextBuf *tb);
/// Frees the storage, then initialises (clearing `error`).
void TextBuf_Free(TextBuf *tb);
/// Inserts n bytes (copied; the caller keeps `bytes`) at `pos` (>= len,
/// e.g. kTextBufAppend, appends). Storage grows to exactly the new length. On growth failure the buffer
/// is freed, `error` set and the insertion dropped.
void TextBuf_Insert(TextBuf *tb, size_t pos, const void *bytes, size_t n);
/// Makes room for `n` bytes in all without changing the contents (natd's
/// own addition: a user that collects input byte by byte doubles the room
/// with it, so that Insert does not reallocate for every byte). On failure
/// the buffer is freed, `error` set (as for Insert) and the result is false.
bool TextBuf_Reserve(TextBuf *tb, size_t n);
/// Appends a NUL-free C string.
void TextBuf_Append(TextBuf *tb, const char *text);
/// Removes n bytes from the front; n >= len empties the buffer but keeps
/// its storage.
void TextBuf_Consume(TextBuf *tb, size_t n);
/// Cuts the contents at `at` (a pointer into them); beyond len: no-op.
void TextBuf_TruncateAt(TextBuf *tb, const uint8_t *at);
/// Writes the buffer into `seg` at *cursor (room up to *end), growing the
/// segment's malloc'd data (realloc) when the text does not fit and moving
/// the bytes after *end up; frees the buffer; updates cursor and end (both
/// may move with the storage). If the segment cannot grow, the text is cut
/// and the last written bytes become "\r\n".
void TextBuf_Splice(TcpSegment *seg, uint8_t **cursor, uint8_t **end, TextBuf *tb);
