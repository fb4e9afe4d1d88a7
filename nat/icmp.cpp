// PENDING: placeholder so the tree links while this module is written; replaced by the module itself.
#include "nat/icmp.h"
int Icmp_Init() { return -1; }
void Icmp_Input(SkBuff *) {}
void Icmp_HostInput(PollEntry *, struct pollfd *) {}
void Icmp_Output(uint32_t, uint32_t, SkBuff *) {}
void Icmp_SendError(SkBuff *, uint8_t, uint8_t, uint32_t) {}
void Icmp_SendErrnoUnreach(SkBuff *, int) {}
void Icmp_DumpTable(TextBuf *) {}
