// Process-wide settings: the gateway's addresses and MACs, the device
// descriptor, and the flags and lists read from the configuration file at
// start-up. Every module reads them; start-up (core/main.cpp) writes them.
//
// All IPv4 addresses and ports in the settings are in network byte order.
#pragma once

#include <cstdint>
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
  int tcpTimeWaitReuse = 0;     // natd's own: a new SYN may end a TIME_WAIT
  int tapOffload = 0;           // natd's own: TAP frames carry a virtio-net header
  bool devSegments = false;     // the device cuts large TCP packets (Eth_Output)

  uint16_t privTcpPorts[kMaxPrivPorts] = {};  // host order
  int privTcpCount = 0;
  bool privTcpAutodetect = false;
  uint16_t privUdpPorts[kMaxPrivPorts] = {};  // host order
  int privUdpCount = 0;
  bool privUdpAutodetect = false;
};

extern Settings g_settings;

/// Resets g_settings to the defaults of start-up with the gateway address
/// 10.254.254.1/24 and derived netmask, network and broadcast addresses.
/// Used by start-up and by tests that run modules in-process.
void Settings_Reset();

/// Recomputes netmask, network and broadcast address from gatewayAddr and
/// prefixLen.
void Settings_DeriveNetwork();
