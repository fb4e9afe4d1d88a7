// PENDING: placeholder so the tree links while this module is written; replaced by the module itself.
#include "packet/arp.h"
void Arp_Input(SkBuff *) {}
ArpEntry *Arp_Find(uint32_t) { return nullptr; }
ArpEntry *Arp_FindByMac(const uint8_t *) { return nullptr; }
ArpEntry *Arp_Lookup(uint32_t) { return nullptr; }
ArpEntry *Arp_Create(uint32_t, const uint8_t *) { return nullptr; }
int Arp_Update(uint32_t, const uint8_t *) { return 0; }
ArpEntry *Arp_Learn(uint32_t, const uint8_t *) { return nullptr; }
void Arp_Resolve(ArpEntry *) {}
void Arp_Enqueue(ArpEntry *, SkBuff *) {}
bool Arp_EntryMac(const ArpEntry *, uint8_t *) { return false; }
void Arp_DumpTable(TextBuf *) {}
void Arp_Reset() {}
