// The daemon's main: command line, process-wide settings, the start-up
// sequence, shutdown and panic, and three small utilities used throughout.
//
// All IPv4 addresses and ports in the settings are in network byte order.
#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <string>

constexpr int kMaxPrivPorts = 64;

struct Settings {
  std::string programName;
  std::string pidPath;          // empty: none (no daemon mode)
  std::string macFilePath = "/var/run/qlink-nat.mac";
  int statusFd = -1;
  int debugLevel = 0;
  bool generateSample = false;
  std::string deviceName;
  std::string pcapPath;         // -w: capture file (natd's own addition)

  uint32_t gatewayAddr = 0;     // network order
  int prefixLen = 24;
  uint32_t netmask = 0;
  uint32_t networkAddr = 0;
  uint32_t broadcastAddr = 0;
  uint32_t extAddr = 0;         // local address of host-side sockets
  uint32_t loopbackAddr = 0;    // 127.0.0.1
  uint8_t hostMac[6] = {};
  uint8_t gatewayMac[6] = {};
  int devFd = -1;               // descriptor frames are written to

  int allowAnyOUI = 0;
  int enableNatDhcp = 0;
  int arpExpireTimeout = 300;   // seconds
  int tcpTimeWaitTimeout = 45;  // seconds
  int tcpDisablePush = 0;

  uint16_t privTcpPorts[kMaxPrivPorts] = {};  // host order
  int privTcpCount = 0;
  bool privTcpAutodetect = false;
  uint16_t privUdpPorts[kMaxPrivPorts] = {};  // host order
  int privUdpCount = 0;
  bool privUdpAutodetect = false;
};

extern Settings g_settings;

/// Resets g_settings to the defaults of step 2 with the gateway address
/// 10.254.254.1/24 and derived netmask, network and broadcast addresses.
/// Used by start-up and by tests that run modules in-process.
void Settings_Reset();

/// Recomputes netmask, network and broadcast address from gatewayAddr and
/// prefixLen.
void Settings_DeriveNetwork();

/// The whole start-up and the event loop; returns the exit status.
int Main_Run(int argc, char **argv);

/// Removes the pid file, releases every poll entry, stops the DNS children.
void Main_Shutdown();

/// "Zelmor NAT Panic: %s\n" on stderr, exit 255 (no shutdown).
[[noreturn]] void Main_Panic(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/// Parses "xx:xx:xx:xx:xx:xx" (exactly 17 characters); 0 or -1.
[[nodiscard]] int Mac_Parse(const char *text, uint8_t out[6]);

/// Adds O_NONBLOCK to the descriptor's status flags.
void Fd_SetNonBlocking(int fd);

/// getsockname into `addr`; on failure family, port and address are zeroed
/// and -1 is returned.
int Sock_GetName(int fd, struct sockaddr_in *addr);
