// The time-to-live rewrite of the input and of every cut of it, checked
// against the resolver library's own walk of the same bytes: the records
// that ns_skiprr skips whole, and the next one if its name and fixed fields
// are there, get TTL 5 (kDnsAnswerTtlSec), and no other byte changes. The
// seeds in fuzz/corpus/dns are the table of crafted answers: compression
// pointers in all three sections, OPT records, label lengths 64 and 191 in
// the question and the answer, a data length past the end, two questions.
#include <arpa/nameser.h>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "alg/dns.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  for (size_t len = 0; len <= size && size <= 1024; ++len) {
    std::vector<uint8_t> msg(data, data + len), expect = msg;
    uint8_t *p = expect.data(), *eom = p + len;
    int total = 0, want = 0, q = len < 12 ? -1 : ns_skiprr(p + 12, eom, ns_s_qd, ns_get16(p + 4));
    if (q >= 0) total = ns_get16(p + 6) + ns_get16(p + 8) + ns_get16(p + 10), p += 12 + q;
    for (int r; want < total; ++want, p += r) {
      const uint8_t *ttl = p;
      if (ns_name_skip(&ttl, eom) != 0 || eom - ttl < 8) break;
      memcpy(p + (ttl - p) + 4, "\0\0\0\5", 4);
      if ((r = ns_skiprr(p, eom, ns_s_an, 1)) < 0 && ++want) break;
    }
    if (Dns_RewriteTtl(msg.data(), uint32_t(len)) != want || msg != expect) abort();
  }
  return 0;
}
