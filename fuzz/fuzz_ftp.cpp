// Fuzz target: the FTP gateway's four stream parsers. Byte 0 picks the
// parser (its two low bits: a guest client's commands on their way out,
// a guest server's replies on their way out, both by segment hook, an
// outside server's replies and an outside client's commands, both by read
// operation) and seeds the cuts and read sizes; the rest is the stream.
// Whole or cut and read in pieces, the output must be the same; a stream
// without PORT, EPRT, 227 or 229 must pass unchanged (tests/unit/ftp_drive.h).
#include "tests/unit/ftp_drive.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) { return ftp_drive::FuzzOne(data, size); }
