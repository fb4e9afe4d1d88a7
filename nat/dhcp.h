// DHCP server: minimal BOOTP/DHCP replies for the virtual subnet.
#pragma once

#include <cstddef>
#include <cstdint>

struct SkBuff;

// BOOTP message layout (236 fixed bytes, then the cookie and the options).
namespace bootp {
constexpr size_t kOp = 0, kHtype = 1, kHlen = 2, kHops = 3, kXid = 4, kSecs = 8, kFlags = 10,
                 kCiaddr = 12, kYiaddr = 16, kSiaddr = 20, kGiaddr = 24, kChaddr = 28,
                 kSname = 44, kFile = 108, kFixedLen = 236, kCookie = 236, kOptions = 240;
constexpr size_t kChaddrLen = 16, kSnameLen = 64, kFileLen = 128;
constexpr uint32_t kMagicCookie = 0x63825363;
constexpr uint16_t kFlagBroadcast = 0x8000;
constexpr uint8_t kOptPad = 0, kOptNetmask = 1, kOptRouter = 3, kOptDns = 6, kOptHostName = 12,
                  kOptDomain = 15, kOptBroadcast = 28, kOptOverload = 52, kOptMsgType = 53,
                  kOptServerId = 54, kOptEnd = 255;
constexpr uint8_t kDiscover = 1, kOffer = 2, kRequest = 3, kAck = 5;
}  // namespace bootp

/// One parsed option: pointer to its value inside the message and its
/// length; `value` is nullptr when the option is absent.
struct DhcpOption {
  const uint8_t *value;
  uint8_t len;
};

/// Answers a BOOTP or DHCP request from a guest. Buffer data = the BOOTP
/// message (len = its length), transport header = the UDP header. Takes no
/// reference; the caller frees. Malformed and unwanted requests are dropped
/// silently.
void Dhcp_Input(SkBuff *skb);

/// Parses the options in [start, end) into `table` (256 entries, one per
/// code; a later occurrence replaces an earlier one; pad bytes skipped).
/// 0 at the end option or the end of the area, -1 when a code has no length
/// byte, -2 when a value runs past `end`. Options before the fault stay
/// recorded. Pointers in the table point into the parsed area.
int Dhcp_ParseOptions(DhcpOption table[256], const uint8_t *start, const uint8_t *end);

/// Test teardown: the address counter back to 128.
void Dhcp_Reset();
