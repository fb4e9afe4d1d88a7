// Wire formats: big-endian load/store helpers, header sizes and offsets of
// Ethernet, ARP, IPv4, ICMP, UDP, TCP and BOOTP, and the Internet checksum
// (RFC 1071 sum, fold, pseudo-header, incremental update).
//
// Multi-byte fields are always read and written through these helpers and
// never swapped in place. Addresses and ports taken from the wire stay in
// network order (use Wire_Get32n / Wire_Put32n for them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

inline uint16_t Wire_Get16(const uint8_t *p) { return uint16_t((p[0] << 8) | p[1]); }
inline uint32_t Wire_Get32(const uint8_t *p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
inline void Wire_Put16(uint8_t *p, uint16_t v) { p[0] = uint8_t(v >> 8); p[1] = uint8_t(v); }
inline void Wire_Put32(uint8_t *p, uint32_t v) {
  p[0] = uint8_t(v >> 24); p[1] = uint8_t(v >> 16); p[2] = uint8_t(v >> 8); p[3] = uint8_t(v);
}
/// Network-order values kept as they are (addresses, ports in records).
inline uint32_t Wire_Get32n(const uint8_t *p) { uint32_t v; memcpy(&v, p, 4); return v; }
inline void Wire_Put32n(uint8_t *p, uint32_t v) { memcpy(p, &v, 4); }
inline uint16_t Wire_Get16n(const uint8_t *p) { uint16_t v; memcpy(&v, p, 2); return v; }
inline void Wire_Put16n(uint8_t *p, uint16_t v) { memcpy(p, &v, 2); }

constexpr size_t kEthHdrLen = 14;
constexpr size_t kArpLen = 28;
constexpr size_t kIpHdrLen = 20;      // without options
constexpr size_t kIcmpHdrLen = 8;
constexpr size_t kUdpHdrLen = 8;
constexpr size_t kTcpHdrLen = 20;     // without options
constexpr uint16_t kEtherTypeIp = 0x0800;
constexpr uint16_t kEtherTypeArp = 0x0806;
constexpr uint8_t kProtoIcmp = 1;
constexpr uint8_t kProtoTcp = 6;
constexpr uint8_t kProtoUdp = 17;
constexpr uint8_t kProtoGre = 47;

// IPv4 header offsets.
namespace ip {
constexpr size_t kVerIhl = 0, kTos = 1, kTotLen = 2, kId = 4, kFragOff = 6, kTtl = 8,
                 kProto = 9, kCsum = 10, kSrc = 12, kDst = 16;
constexpr uint16_t kFlagDF = 0x4000, kFlagMF = 0x2000, kOffMask = 0x1FFF;
inline size_t HdrLen(const uint8_t *h) { return size_t(h[kVerIhl] & 0x0F) * 4; }
}  // namespace ip

// TCP header offsets and flags.
namespace tcp {
constexpr size_t kSport = 0, kDport = 2, kSeq = 4, kAck = 8, kOff = 12, kFlags = 13, kWin = 14,
                 kCsum = 16, kUrg = 18;
constexpr uint8_t kFin = 0x01, kSyn = 0x02, kRst = 0x04, kPsh = 0x08, kAckF = 0x10, kUrgF = 0x20;
}  // namespace tcp

// UDP header offsets.
namespace udp {
constexpr size_t kSport = 0, kDport = 2, kLen = 4, kCsum = 6;
}

/// One's-complement sum of `len` bytes added to `sum` (not folded). When
/// chaining calls, every piece but the last must have an even length.
uint32_t Csum_Partial(const void *data, size_t len, uint32_t sum);
/// Folds a sum to 16 bits and complements it: the checksum field value
/// (host order; store with Wire_Put16).
uint16_t Csum_Fold(uint32_t sum);
/// Pseudo-header sum for TCP/UDP: addresses in network order, length in
/// host order.
uint32_t Csum_Pseudo(uint32_t srcN, uint32_t dstN, uint8_t proto, uint32_t len);
/// Checksum of a whole buffer (RFC 1071).
inline uint16_t Csum_Compute(const void *data, size_t len) { return Csum_Fold(Csum_Partial(data, len, 0)); }
/// Incremental update (RFC 1624) of checksum field `csum` when a 16-bit
/// word changes from `oldv` to `newv` (all host order).
uint16_t Csum_Update16(uint16_t csum, uint16_t oldv, uint16_t newv);
/// Same for a 32-bit value (both halves).
uint16_t Csum_Update32(uint16_t csum, uint32_t oldv, uint32_t newv);
