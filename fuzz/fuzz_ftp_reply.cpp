// Fuzz target: the FTP gateway's reply rewriting, both ways: an outside
// server's replies on their way to a guest client (read operation) and a
// guest server's replies on their way out (segment hook). Byte 0 picks the
// parser (bit 0) and seeds the cuts and read sizes; the rest is the stream.
// Whole or cut and read in pieces, the output must be the same; a stream
// without 227 or 229 must pass unchanged (tests/unit/ftp_drive.h).
#include "tests/unit/ftp_drive.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  return ftp_drive::FuzzOne(data, size, ftp_drive::kReadReplies, ftp_drive::kGuestReplies);
}
