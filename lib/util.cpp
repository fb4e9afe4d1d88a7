// Small utilities: Mac_Parse, Fd_SetNonBlocking, Sock_GetName.
#include "lib/util.h"

#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>

int Mac_Parse(const char *text, uint8_t out[6]) {
  if (strlen(text) != 17) return -1;
  uint8_t mac[6];
  for (int i = 0; i < 6; ++i) {
    const char *p = text + 3 * i;
    if (i < 5 && p[2] != ':') return -1;
    int hi = -1, lo = -1;
    for (int k = 0; k < 2; ++k) {
      char c = p[k];
      int v = c >= '0' && c <= '9' ? c - '0'
              : c >= 'a' && c <= 'f' ? c - 'a' + 10
              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                     : -1;
      (k == 0 ? hi : lo) = v;
    }
    if (hi < 0 || lo < 0) return -1;
    mac[i] = uint8_t(hi << 4 | lo);
  }
  memcpy(out, mac, 6);
  return 0;
}

void Fd_SetNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  if (flags != -1) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

int Sock_GetName(int fd, struct sockaddr_in *addr) {
  socklen_t len = sizeof *addr;
  if (getsockname(fd, reinterpret_cast<struct sockaddr *>(addr), &len) != 0) {
    addr->sin_family = 0;
    addr->sin_port = 0;
    addr->sin_addr.s_addr = 0;
    return -1;
  }
  return 0;
}
