// PENDING: placeholder so the tree links while this module is written; replaced by the module itself.
#include "core/main.h"
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
Settings g_settings;
void Settings_Reset() { g_settings = Settings(); }
void Settings_DeriveNetwork() {}
int Main_Run(int, char **) { return 1; }
void Main_Shutdown() {}
void Main_Panic(const char *fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  fprintf(stderr, "Zelmor NAT Panic: %s\n", buf);
  exit(255);
}
int Mac_Parse(const char *, uint8_t *) { return -1; }
void Fd_SetNonBlocking(int) {}
int Sock_GetName(int, struct sockaddr_in *) { return -1; }
