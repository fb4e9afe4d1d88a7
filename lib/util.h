// Small utilities used throughout the daemon: MAC address text, descriptor
// flags, the local address of a socket.
#pragma once

#include <cstdint>
#include <netinet/in.h>

/// Parses "xx:xx:xx:xx:xx:xx" (exactly 17 characters, hexadecimal digits of
/// either case); 0 and `out` written, or -1 and `out` untouched.
[[nodiscard]] int Mac_Parse(const char *text, uint8_t out[6]);

/// Adds O_NONBLOCK to the descriptor's status flags.
void Fd_SetNonBlocking(int fd);

/// getsockname into `addr`; on failure family, port and address are zeroed
/// and -1 is returned.
int Sock_GetName(int fd, struct sockaddr_in *addr);
