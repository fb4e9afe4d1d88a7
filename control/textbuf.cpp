// Text buffer: a growable byte buffer with a sticky error flag, and the
// splice that writes rewritten text into a TCP segment.
//
// Owns nothing process-wide; each TextBuf owns its malloc'd storage.
// Invariants: len <= capacity; data == nullptr exactly when capacity == 0;
// the contents are not NUL-terminated. Storage grows to exactly the length
// needed (never doubled; a user may reserve more) and is kept when the
// contents are consumed. A
// failed growth frees the storage and sets `error`, which stays set until
// the buffer is initialised or freed again.
#include "control/textbuf.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "nat/tcp.h"

void TextBuf_Init(TextBuf *tb) {
  tb->data = nullptr;
  tb->len = 0;
  tb->capacity = 0;
  tb->error = 0;
}

void TextBuf_Free(TextBuf *tb) {
  free(tb->data);
  TextBuf_Init(tb);
}

void TextBuf_Insert(TextBuf *tb, size_t pos, const void *bytes, size_t n) {
  if (n == 0) return;
  if (n > SIZE_MAX - tb->len) {
    TextBuf_Free(tb);
    tb->error = 1;
    return;
  }
  size_t newLen = tb->len + n;
  if (!TextBuf_Reserve(tb, newLen)) return;
  if (pos < tb->len) {
    memmove(tb->data + pos + n, tb->data + pos, tb->len - pos);
    memcpy(tb->data + pos, bytes, n);
  } else {
    memcpy(tb->data + tb->len, bytes, n);
  }
  tb->len = newLen;
}

bool TextBuf_Reserve(TextBuf *tb, size_t n) {
  if (n <= tb->capacity) return true;
  void *grown = realloc(tb->data, n);
  if (grown == nullptr) {
    TextBuf_Free(tb);
    tb->error = 1;
    return false;
  }
  tb->data = static_cast<uint8_t *>(grown);
  tb->capacity = n;
  return true;
}

void TextBuf_Append(TextBuf *tb, const char *text) {
  TextBuf_Insert(tb, kTextBufAppend, text, strlen(text));
}

void TextBuf_Consume(TextBuf *tb, size_t n) {
  if (n >= tb->len) {
    tb->len = 0;
    return;
  }
  tb->len -= n;
  memmove(tb->data, tb->data + n, tb->len);
}

void TextBuf_TruncateAt(TextBuf *tb, const uint8_t *at) {
  // Compared as addresses so that a pointer before the contents is ignored.
  uintptr_t base = reinterpret_cast<uintptr_t>(tb->data);
  uintptr_t cut = reinterpret_cast<uintptr_t>(at);
  if (cut < base) return;
  size_t k = size_t(cut - base);
  if (k < tb->len) tb->len = k;
}

void TextBuf_Splice(TcpSegment *seg, uint8_t **cursor, uint8_t **end, TextBuf *tb) {
  // Work with offsets into the segment: its storage may move when it grows.
  size_t curOff = size_t(*cursor - seg->data);
  size_t endOff = size_t(*end - seg->data);
  size_t room = endOff - curOff;
  size_t k = room < tb->len ? room : tb->len;
  if (k != 0) memcpy(seg->data + curOff, tb->data, k);
  TextBuf_Consume(tb, k);
  curOff += k;

  size_t rest = tb->len;
  if (rest != 0) {
    // The text did not fit into the room (the cursor now sits at the end
    // cursor): open a gap of `rest` bytes there by growing the segment and
    // moving its tail up.
    void *grown = nullptr;
    if (rest <= UINT32_MAX - seg->len) grown = realloc(seg->data, size_t(seg->len) + rest);
    if (grown != nullptr) {
      seg->data = static_cast<uint8_t *>(grown);
      memmove(seg->data + endOff + rest, seg->data + endOff, seg->len - endOff);
      memcpy(seg->data + curOff, tb->data, rest);
      seg->len += uint32_t(rest);
      curOff += rest;
      endOff += rest;
    } else {
      // Keep a rewritten line terminated; the rest of the text is lost.
      if (k > 0) seg->data[curOff - 1] = '\n';
      if (k > 1) seg->data[curOff - 2] = '\r';
    }
  }
  TextBuf_Free(tb);
  *cursor = seg->data + curOff;
  *end = seg->data + endOff;
}
