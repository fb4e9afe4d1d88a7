// PENDING: placeholder so the tree links while this module is written; replaced by the module itself.
#include "packet/ip.h"
void Ip_Input(SkBuff *) {}
void Ip_Dispatch(uint8_t *, SkBuff *) {}
void Ip_Reset() {}
