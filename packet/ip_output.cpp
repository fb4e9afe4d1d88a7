// PENDING: placeholder so the tree links while this module is written; replaced by the module itself.
#include "packet/ip.h"
void Ip_Output(uint32_t, uint32_t, uint8_t, SkBuff *) {}
void Ip_Transmit(uint8_t *, SkBuff *) {}
