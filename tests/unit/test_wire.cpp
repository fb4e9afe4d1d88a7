// Internet checksum helpers: known headers, odd lengths, chaining, the
// pseudo-header and incremental updates against full recomputation.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "packet/wire.h"

namespace {

std::vector<uint8_t> Hex(const char *hex) {
  std::vector<uint8_t> out;
  for (const char *p = hex; p[0] && p[1]; p += 2) {
    unsigned v;
    sscanf(p, "%2x", &v);
    out.push_back(uint8_t(v));
  }
  return out;
}

TEST(WireChecksumTest, KnownIpv4Header) {
  std::vector<uint8_t> hdr = Hex("450000730000400040110000c0a80001c0a800c7");
  ASSERT_EQ(hdr.size(), kIpHdrLen);
  uint16_t c = Csum_Compute(hdr.data(), hdr.size());
  EXPECT_EQ(c, 0xb861);
  // Stored in its field, the header sums to zero: what a receiver checks.
  Wire_Put16(hdr.data() + ip::kCsum, c);
  EXPECT_EQ(Csum_Compute(hdr.data(), hdr.size()), 0);
  hdr[ip::kTtl]--;
  EXPECT_NE(Csum_Compute(hdr.data(), hdr.size()), 0) << "a changed header no longer checks";
}

TEST(WireChecksumTest, OddLengthsPadWithAZeroByte) {
  struct Case {
    const char *hex;
    uint16_t want;
  };
  const Case cases[] = {
      {"", 0xffff},
      {"01", 0xfeff},
      {"123456", 0x97cb},
      {"ffff", 0x0000},
      {"ffffff", 0x00ff},
  };
  for (const Case &c : cases) {
    std::vector<uint8_t> b = Hex(c.hex);
    EXPECT_EQ(Csum_Compute(b.data(), b.size()), c.want) << c.hex;
  }

  std::mt19937 rng(7);
  for (size_t len = 1; len < 200; len += 2) {
    std::vector<uint8_t> b(len + 1);
    for (auto &x : b) x = uint8_t(rng());
    b[len] = 0;
    EXPECT_EQ(Csum_Compute(b.data(), len), Csum_Compute(b.data(), len + 1)) << len;
  }
}

// Straightforward RFC 1071 sum: 16-bit words in a wide accumulator, folded
// once at the end.
uint16_t ReferenceChecksum(const uint8_t *p, size_t len) {
  uint64_t s = 0;
  for (size_t i = 0; i + 1 < len; i += 2) s += uint64_t(p[i]) << 8 | p[i + 1];
  if (len % 2) s += uint64_t(p[len - 1]) << 8;
  while (s >> 16) s = (s & 0xFFFF) + (s >> 16);
  return uint16_t(~s);
}

TEST(WireChecksumTest, ChainedPartialSumsEqualOneSum) {
  std::mt19937 rng(11);
  std::vector<uint8_t> b(300000);  // enough to carry beyond 32 bits
  for (auto &x : b) x = uint8_t(rng() | 0xF0);
  for (size_t total : {size_t(1), size_t(41), size_t(1500), b.size() - 1}) {
    uint32_t whole = Csum_Partial(b.data(), total, 0);
    EXPECT_EQ(Csum_Fold(whole), ReferenceChecksum(b.data(), total)) << total;
    for (size_t split = 0; split <= total; split += (total / 7) | 2) {
      size_t even = split & ~size_t(1);
      uint32_t s = Csum_Partial(b.data(), even, 0);
      s = Csum_Partial(b.data() + even, total - even, s);
      EXPECT_EQ(Csum_Fold(s), Csum_Fold(whole)) << total << " split at " << even;
    }
  }
}

TEST(WireChecksumTest, UdpWithPseudoHeader) {
  // 192.0.2.1:1234 -> 198.51.100.7:53, payload "hello".
  std::vector<uint8_t> udp = Hex("04d20035000d000068656c6c6f");
  uint32_t src = inet_addr("192.0.2.1");
  uint32_t dst = inet_addr("198.51.100.7");
  uint32_t sum = Csum_Pseudo(src, dst, kProtoUdp, uint32_t(udp.size()));
  uint16_t c = Csum_Fold(Csum_Partial(udp.data(), udp.size(), sum));
  EXPECT_EQ(c, 0xcabe);
  Wire_Put16(udp.data() + udp::kCsum, c);
  EXPECT_EQ(Csum_Fold(Csum_Partial(udp.data(), udp.size(), sum)), 0);
  // The pseudo-header covers the addresses and the protocol.
  EXPECT_NE(Csum_Fold(Csum_Partial(udp.data(), udp.size(),
                                   Csum_Pseudo(src, inet_addr("198.51.100.8"), kProtoUdp,
                                               uint32_t(udp.size())))),
            0);
  EXPECT_NE(Csum_Fold(Csum_Partial(udp.data(), udp.size(),
                                   Csum_Pseudo(src, dst, kProtoTcp, uint32_t(udp.size())))),
            0);
}

TEST(WireChecksumTest, IncrementalUpdateMatchesRecomputation) {
  std::mt19937 rng(1624);
  for (int round = 0; round < 20000; round++) {
    uint8_t hdr[kIpHdrLen];
    for (auto &x : hdr) x = uint8_t(rng());
    // Some rounds use extreme words, where one's complement corner cases live.
    if (round % 4 == 0) memset(hdr, round % 8 == 0 ? 0x00 : 0xff, sizeof hdr);
    Wire_Put16(hdr + ip::kCsum, 0);
    Wire_Put16(hdr + ip::kCsum, Csum_Compute(hdr, sizeof hdr));

    if (round % 2) {
      // A rewritten address (NAT).
      uint32_t oldv = Wire_Get32(hdr + ip::kDst);
      uint32_t newv = round % 3 ? uint32_t(rng()) : 0xffffffffu - oldv;
      Wire_Put32(hdr + ip::kDst, newv);
      uint16_t updated = Csum_Update32(Wire_Get16(hdr + ip::kCsum), oldv, newv);
      Wire_Put16(hdr + ip::kCsum, 0);
      uint16_t full = Csum_Compute(hdr, sizeof hdr);
      ASSERT_EQ(updated, full) << "round " << round;
    } else {
      // A lowered TTL (one word: TTL and protocol).
      uint16_t oldv = Wire_Get16(hdr + ip::kTtl);
      hdr[ip::kTtl]--;
      uint16_t newv = Wire_Get16(hdr + ip::kTtl);
      uint16_t updated = Csum_Update16(Wire_Get16(hdr + ip::kCsum), oldv, newv);
      Wire_Put16(hdr + ip::kCsum, 0);
      ASSERT_EQ(updated, Csum_Compute(hdr, sizeof hdr)) << "round " << round;
    }
  }
}

}  // namespace
