// Fuzz target: the FTP gateway's command rewriting, both ways: a guest
// client's commands on their way out (segment hook) and an outside client's
// commands on their way to a guest server (read operation). Byte 0 picks
// the parser (bit 0) and seeds the cuts and read sizes; the rest is the
// stream. Whole or cut and read in pieces, the output must be the same; a
// stream without PORT or EPRT must pass unchanged (tests/unit/ftp_drive.h).
#include "tests/unit/ftp_drive.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  return ftp_drive::FuzzOne(data, size, ftp_drive::kGuestCommands, ftp_drive::kReadCommands);
}
