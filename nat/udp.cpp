// PENDING: placeholder so the tree links while this module is written; replaced by the module itself.
#include "nat/udp.h"
void Udp_Init() {}
void Udp_Input(SkBuff *) {}
void Udp_Output(uint32_t, uint16_t, uint32_t, uint16_t, SkBuff *) {}
int Udp_AddForward(uint32_t, uint16_t, uint32_t, uint16_t) { return 2; }
void Udp_ForwardIcmpError(SkBuff *, uint8_t *, uint8_t *) {}
void Udp_DumpTable(TextBuf *) {}
