// Process-wide settings (g_settings) and their defaults.
#include "core/settings.h"

#include <arpa/inet.h>

Settings g_settings;

void Settings_Reset() {
  g_settings = Settings();
  g_settings.gatewayAddr = inet_addr("10.254.254.1");
  g_settings.prefixLen = 24;
  g_settings.loopbackAddr = inet_addr("127.0.0.1");
  Settings_DeriveNetwork();
}

void Settings_DeriveNetwork() {
  int prefix = g_settings.prefixLen;
  uint32_t maskH = prefix <= 0 ? 0 : prefix >= 32 ? 0xFFFFFFFFu : ~0u << (32 - prefix);
  g_settings.netmask = htonl(maskH);
  g_settings.networkAddr = g_settings.gatewayAddr & g_settings.netmask;
  g_settings.broadcastAddr = g_settings.gatewayAddr | ~g_settings.netmask;
}
