// natd's own [limits] on reassembly, ARP and the echo table, at the wire:
// each limit reached, what happens then (the oldest record goes, or the new
// one is refused and its packet dropped), and the count of times reached.
#include "core/limits.h"
#include "wire/harness.h"

namespace wire {
namespace {

constexpr uint32_t kGuest3 = A(10, 254, 254, 12), kStranger = A(192, 0, 2, 7);
constexpr Mac kGuest3Mac = {0x02, 0x7D, 0x33, 0, 0, 3};

// Pieces of a 24-byte echo request `id`: the first (16 bytes) or the last.
Bytes Piece(uint16_t id, bool last) {
  Bytes echo = Icmp(8, 0, id, 1, Pattern(16));
  return last ? Frag({.id = id}, echo, 16, 8, false) : Frag({.id = id}, echo, 0, 16, true);
}
Bytes Ping(uint32_t src, const Mac &mac, uint32_t dst, uint16_t seq) {
  return Eth(kGwMac, mac, 0x0800, Ip({.src = src, .dst = dst}, Icmp(8, 0, 7, seq, {})));
}
Bytes ArpFor(const Mac &mac, uint32_t ip, uint16_t op = 1) {
  return Eth(kBcast, mac, 0x0806, Arp(op, mac, ip, kGw, op == 2 ? kGwMac : Mac{}));
}

TEST_F(WireTest, LimitsDropOrEvictTheOldestAndCount) {
  Send(Piece(1, false));  // what one record of a first piece holds
  const uint64_t record = Ip_ReasmBytes();
  Ip_Reset();
  const uint16_t pid = uint16_t(getpid());  // parallel tests share loopback
  const uint32_t remote = A(127, 0, 0, 2);
  struct Step { int64_t ms; Bytes in; optional<Want> out; };
  struct Row { LimitId id; uint64_t value; std::vector<Step> steps; uint64_t hits; unsigned (*count)(); unsigned left; };
  const Row rows[] = {
      // the oldest datagram goes; the last piece of datagram 1 then
      // starts a record of its own and pushes datagram 2 out
      {kLimitReassemblies, 2, {{0, Piece(1, 0), {}}, {0, Piece(2, 0), {}}, {0, Piece(3, 0), {}},
                               {0, Piece(1, 1), {}}, {0, Piece(3, 1), Want{.rest = 3u << 16 | 1}}}, 2, Ip_ReasmCount, 1},
      // the same by bytes; a block that cannot fit even alone goes too
      {kLimitReassemblyBytes, 2 * record + 16, {{0, Piece(1, 0), {}}, {0, Piece(2, 0), {}}, {0, Piece(3, 0), {}},
                                           {0, Piece(1, 1), {}}, {0, Piece(3, 1), Want{.rest = 3u << 16 | 1}},
                                           {0, G({.id = 9, .frag = 0x3FFC}, Bytes(8)), {}}}, 4, Ip_ReasmCount, 0},
      // answers wait for the guest's MAC: the oldest waiting one goes
      {kLimitArpQueue, 1, {{0, Ping(kGuest2, kGuest2Mac, kGw, 1), Want{.dst = kBcast}},
                           {0, Ping(kGuest2, kGuest2Mac, kGw, 2), {}},
                           {0, ArpFor(kGuest2Mac, kGuest2, 2), Want{.dst = kGuest2Mac, .rest = 7u << 16 | 2}}},
       1, Arp_Count, 2},
      // a full table takes a new address only in place of an idle entry
      {kLimitArpEntries, 2, {{0, Ping(kGuest2, kGuest2Mac, kGw, 1), Want{.dst = kBcast}},
                             {0, ArpFor(kGuest3Mac, kGuest3), Want{.dst = kGuest3Mac}},
                             {7000, ArpFor(kGuest3Mac, kGuest3), Want{.dst = kGuest3Mac}},
                             {0, Ping(kGuest2, kGuest2Mac, kGw, 2), {}},
                             {0, Ping(kGuest3, kGuest3Mac, kGw, 3), Want{.dst = kGuest3Mac}}},
       3, Arp_Count, 2},
      {kLimitArpSubnetOnly, 1, {{0, ArpFor(kGuest2Mac, kStranger), Want{.dst = kGuest2Mac}},
                                {0, Ping(kStranger, kGuest2Mac, kGw, 1), {}},
                                {0, ArpFor(kGuest3Mac, kGuest3), Want{.dst = kGuest3Mac}}},
       2, Arp_Count, 2},
      // the oldest echo goes: asking its question again makes a new entry
      {kLimitIcmpEchoes, 2, {{0, G({.dst = remote}, Icmp(8, 0, pid, 1, {})), Want{.rest = pid << 16u | 1}},
                             {0, G({.dst = remote}, Icmp(8, 0, pid, 2, {})), Want{.rest = pid << 16u | 2}},
                             {0, G({.dst = remote}, Icmp(8, 0, pid, 3, {})), Want{.rest = pid << 16u | 3}},
                             {0, G({.dst = remote}, Icmp(8, 0, pid, 1, {})), Want{.rest = pid << 16u | 1}}},
       2, Icmp_EchoCount, 2},
  };
  ASSERT_TRUE(Icmp_HaveSocket()) << "the raw ICMP socket needs root";
  for (const Row &r : rows) {
    Limits_Set(r.id, r.value);
    for (const Step &s : r.steps) {
      Advance(s.ms), Out();
      Run({{"", s.in, s.out}});
    }
    EXPECT_EQ(Limits_Count(r.id), r.hits) << "limit " << r.id;
    EXPECT_EQ(r.count(), r.left) << "limit " << r.id;
    Limits_Set(r.id, 0);
    Ip_Reset(), Icmp_Reset(), Arp_Reset();
    ASSERT_NE(Arp_Learn(kGuest, kGuestMac.data()), nullptr);
  }
}

}  // namespace
}  // namespace wire
