// Start-up internals shared by core/main.cpp, core/sample_config.cpp and the
// unit tests: the sample configuration file, the address-and-netmask
// procedure and the number parsers of the command line and the forwarding
// sections. Not used by other modules.
#pragma once

#include <cstdint>
#include <cstdio>

/// Writes the sample configuration file to `out` with the current gateway
/// address (always with "/24"), host MAC and `device`.
void Sample_Write(FILE *out, const char *device);

/// Address-and-netmask procedure for [host] key `key`: stores the address
/// (network order) into *addrN when the key is present, and the prefix
/// length into *prefixLen. Returns 0, or the exit status (110-114) after
/// printing its message on standard error.
int Main_AddressAndNetmask(const char *key, uint32_t *addrN, int *prefixLen);

/// A decimal port 1..65535 with nothing else (no sign, no blanks): true and
/// *port (host order), else false.
bool Main_ParsePort(const char *text, uint16_t *port);

/// The -s argument: strtol base 0, whole text, 0..INT32_MAX. True and *fd.
bool Main_ParseStatusFd(const char *text, int *fd);

/// Reads [IncomingTCP] (tcp) or [IncomingUDP] and creates the forwards.
/// Returns 0, or the exit status 105-109 after its message.
int Main_ReadForwards(bool tcp);

/// Appends the `port` entries of `section` to the list (up to 64 entries in
/// all) and sets the autodetect flag. Returns 0, or 131 after its message.
int Main_ReadPrivileged(const char *section, uint16_t *ports, int *count, bool *autodetect);
