// ARP: the table of guest addresses, learning, replies for the gateway
// address, discovery with retries and a pending queue, expiry.
//
// Addresses are in network byte order; MACs are 6-byte arrays.
#pragma once

#include <cstdint>

struct SkBuff;
struct TextBuf;
struct ArpEntry;

/// ARP frame from Dev_Input (network header = data). Answers requests for
/// the gateway's address and learns the sender. Takes no reference.
void Arp_Input(SkBuff *skb);
/// The entry for `ipN`, newest first, or nullptr.
ArpEntry *Arp_Find(uint32_t ipN);
/// The newest resolved entry whose MAC equals `mac`, or nullptr.
ArpEntry *Arp_FindByMac(const uint8_t mac[6]);
/// Arp_Find, else a new unresolved entry; nullptr when memory is short or
/// a limit (arpSubnetOnly, arpEntries) refuses the entry.
ArpEntry *Arp_Lookup(uint32_t ipN);
/// Appends a new entry; with `mac` (may be null) it is resolved and its
/// expiry armed at now + expireTimeout seconds (when > 0). Past arpEntries
/// the longest idle entry makes room; nullptr when none is idle, when
/// arpSubnetOnly refuses the address or memory is short.
ArpEntry *Arp_Create(uint32_t ipN, const uint8_t *mac);
/// 1 when an entry for `ipN` exists (nothing is created), else 0. A null
/// `mac` makes it unresolved; a MAC is stored, and an unresolved entry
/// becomes resolved, gets its expiry and sends its queue oldest first. A
/// resolved entry's expiry is not extended.
int Arp_Update(uint32_t ipN, const uint8_t *mac);
/// Arp_Update, else Arp_Create with the MAC. nullptr when Arp_Create fails.
ArpEntry *Arp_Learn(uint32_t ipN, const uint8_t mac[6]);
/// Starts discovery (a broadcast request, retried every second, up to 7
/// requests); does nothing while a discovery runs.
void Arp_Resolve(ArpEntry *entry);
/// Queues an IPv4 packet (data = IPv4 header) until the MAC is known; the
/// queue holds its own reference (the caller keeps and frees its own). A
/// full queue (arpQueue) drops its oldest packet.
void Arp_Enqueue(ArpEntry *entry, SkBuff *skb);
/// True when the entry is resolved (its MAC valid); copies the MAC to `mac`
/// when given.
bool Arp_EntryMac(const ArpEntry *entry, uint8_t mac[6]);
/// The entry's IPv4 address (network order). Used by the DHCP server to
/// give a client back the address its MAC already holds.
uint32_t Arp_EntryIp(const ArpEntry *entry);
/// Retries sent in the entry's current discovery (for tests).
int Arp_EntryAttempts(const ArpEntry *entry);
/// Packets waiting in the entry's queue (for tests).
unsigned Arp_QueueLength(const ArpEntry *entry);
/// Number of entries in the table (for tests).
unsigned Arp_Count();
/// Appends the "220-ARP table" section (newest entry first) to `out`.
void Arp_DumpTable(TextBuf *out);
/// Releases every entry, its timers and queued packets (tests and shutdown).
void Arp_Reset();
