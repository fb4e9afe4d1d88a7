// natd's own [limits] on reassembly, ARP and the echo table, at the wire:
// each limit reached, what happens then (the oldest record goes, or the new
// one is refused and its packet dropped), and the count of times reached.
#include "wire/harness.h"

namespace wire {
namespace {

constexpr uint32_t kGuest3 = A(10, 254, 254, 12), kStranger = A(192, 0, 2, 7), kFar = A(127, 0, 0, 2);
constexpr Mac kGuest3Mac = {0x02, 0x7D, 0x33, 0, 0, 3};

// Pieces of a 24-byte echo request `id`: the first (16 bytes) or the last.
Bytes Piece(uint16_t id, bool end) {
  return Frag({.id = id}, Icmp(8, 0, id, 1, Pattern(16)), 16 * end, 16 - 8 * end, !end);
}
// An echo request to the gateway; an ARP request for it, or a reply to it.
Bytes Ping(uint32_t src, const Mac &m, uint16_t seq) {
  return Eth(kGwMac, m, 0x0800, Ip({.src = src}, Icmp(8, 0, 7, seq, {})));
}
Bytes ArpFor(const Mac &mac, uint32_t ip, uint16_t op = 1) { return Eth(kBcast, mac, 0x0806, Arp(op, mac, ip, kGw)); }
struct Stage { int64_t ms; Bytes in; optional<Want> out; };  // after ms, `in` draws `out` alone
struct Row { LimitId id; uint64_t value; std::vector<Stage> steps; uint64_t hits; unsigned (*count)(); unsigned left; };

TEST_F(WireTest, LimitsDropOrEvictTheOldestAndCount) {
  Send(Piece(1, false));  // what one record of a first piece holds
  const uint64_t record = Ip_ReasmBytes();
  const uint16_t pid = uint16_t(getpid());  // parallel tests share loopback
  auto echo = [&](int q) { return Stage{0, G({.dst = kFar}, Icmp(8, 0, pid, q, {})), Want{.rest = pid << 16 | q}}; };
  std::vector<Stage> pieces = {{0, Piece(1, 0), {}}, {0, Piece(2, 0), {}}, {0, Piece(3, 0), {}}, {0, Piece(1, 1), {}},
                               {0, Piece(3, 1), Want{.rest = 3u << 16 | 1}}}, bytes = pieces, echoes;
  bytes.push_back({0, G({.id = 9, .frag = 0x3FFC}, Bytes(8)), {}});
  for (uint16_t seq = 1; seq <= 22; seq++) echoes.push_back(echo(seq < 22 ? seq : 1));
  const Row rows[] = {
      // the oldest datagram goes; the last piece of datagram 1 then starts
      // a record of its own and pushes datagram 2 out
      {kLimitReassemblies, 2, pieces, 2, Ip_ReasmCount, 1},
      // the same by bytes; a block that cannot fit even alone goes too
      {kLimitReassemblyBytes, 2 * record + 16, bytes, 4, Ip_ReasmCount, 0},
      // answers wait for the guest's MAC: the oldest waiting one goes
      {kLimitArpQueue, 1, {{0, Ping(kGuest2, kGuest2Mac, 1), Want{.dst = kBcast}},
                           {0, Ping(kGuest2, kGuest2Mac, 2), {}},
                           {0, ArpFor(kGuest2Mac, kGuest2, 2), Want{.dst = kGuest2Mac, .rest = 7u << 16 | 2}}},
       1, Arp_Count, 2},
      // a full table takes a new address only in place of an idle entry
      {kLimitArpEntries, 2, {{0, Ping(kGuest2, kGuest2Mac, 1), Want{.dst = kBcast}},
                             {0, ArpFor(kGuest3Mac, kGuest3), Want{.dst = kGuest3Mac}},
                             {7000, ArpFor(kGuest3Mac, kGuest3), Want{.dst = kGuest3Mac}},
                             {0, Ping(kGuest2, kGuest2Mac, 2), {}}, {0, Ping(kGuest3, kGuest3Mac, 3), Want{}}},
       3, Arp_Count, 2},
      {kLimitArpSubnetOnly, 1, {{0, ArpFor(kGuest2Mac, kStranger), Want{.dst = kGuest2Mac}},
                                {0, Ping(kStranger, kGuest2Mac, 1), {}}, {0, ArpFor(kGuest3Mac, kGuest3), Want{}}},
       2, Arp_Count, 2},
      // the oldest echo goes: asking its question again makes a new entry
      {kLimitIcmpEchoes, 20, echoes, 2, Icmp_EchoCount, 20},
  };
  for (const Row &r : rows) {
    Ip_Reset(), Icmp_Reset(), Arp_Reset(), (void)Arp_Learn(kGuest, kGuestMac.data());
    Limits_Set(r.id, r.value);
    for (const Stage &s : r.steps) Advance(s.ms), Out(), Run({{"", s.in, s.out}});
    EXPECT_TRUE(Limits_Count(r.id) == r.hits && r.count() == r.left) << "limit " << r.id << ": " << Limits_Count(r.id);
    Limits_Set(r.id, 0);
  }
}

}  // namespace
}  // namespace wire
