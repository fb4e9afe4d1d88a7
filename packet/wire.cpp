// Internet checksum helpers (RFC 1071, RFC 1624).
#include "packet/wire.h"

uint32_t Csum_Partial(const void *data, size_t len, uint32_t sum) {
  const uint8_t *p = static_cast<const uint8_t *>(data);
  uint64_t acc = sum;
  while (len >= 2) {
    acc += uint32_t((p[0] << 8) | p[1]);
    p += 2;
    len -= 2;
  }
  if (len) acc += uint32_t(p[0] << 8);
  // Fold into 32 bits so that callers can chain calls.
  while (acc >> 32) acc = (acc & 0xFFFFFFFFu) + (acc >> 32);
  return uint32_t(acc);
}

uint16_t Csum_Fold(uint32_t sum) {
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return uint16_t(~sum & 0xFFFF);
}

uint32_t Csum_Pseudo(uint32_t srcN, uint32_t dstN, uint8_t proto, uint32_t len) {
  uint8_t ph[12];
  Wire_Put32n(ph, srcN);
  Wire_Put32n(ph + 4, dstN);
  ph[8] = 0;
  ph[9] = proto;
  Wire_Put16(ph + 10, uint16_t(len));
  return Csum_Partial(ph, sizeof ph, 0);
}

uint16_t Csum_Update16(uint16_t csum, uint16_t oldv, uint16_t newv) {
  // RFC 1624 eqn. 3: HC' = ~(~HC + ~m + m')
  uint32_t sum = uint16_t(~csum) + uint32_t(uint16_t(~oldv)) + newv;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return uint16_t(~sum);
}

uint16_t Csum_Update32(uint16_t csum, uint32_t oldv, uint32_t newv) {
  csum = Csum_Update16(csum, uint16_t(oldv >> 16), uint16_t(newv >> 16));
  return Csum_Update16(csum, uint16_t(oldv), uint16_t(newv));
}
