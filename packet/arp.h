// ARP: the table of guest addresses, learning, replies for the gateway
// address, discovery with retries and a pending queue, expiry.
#pragma once

#include <cstdint>

struct SkBuff;
struct TextBuf;
struct ArpEntry;

void Arp_Input(SkBuff *skb);
ArpEntry *Arp_Find(uint32_t ipN);
ArpEntry *Arp_FindByMac(const uint8_t mac[6]);
ArpEntry *Arp_Lookup(uint32_t ipN);
ArpEntry *Arp_Create(uint32_t ipN, const uint8_t *mac);
int Arp_Update(uint32_t ipN, const uint8_t *mac);
ArpEntry *Arp_Learn(uint32_t ipN, const uint8_t mac[6]);
void Arp_Resolve(ArpEntry *entry);
void Arp_Enqueue(ArpEntry *entry, SkBuff *skb);
/// True when the entry has a MAC; copies it to `mac` when given.
bool Arp_EntryMac(const ArpEntry *entry, uint8_t mac[6]);
/// The entry's IPv4 address (network order). Used by the DHCP server to
/// give a client back the address its MAC already holds.
uint32_t Arp_EntryIp(const ArpEntry *entry);
void Arp_DumpTable(TextBuf *out);
/// Releases every entry (tests and shutdown).
void Arp_Reset();
