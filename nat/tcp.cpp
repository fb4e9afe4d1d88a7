// PENDING: placeholder so the tree links while this module is written; replaced by the module itself.
#include "nat/tcp.h"
void Tcp_Input(SkBuff *) {}
void Tcp_IcmpError(SkBuff *, uint8_t *, uint8_t *, uint8_t *, uint8_t *) {}
void Tcp_DumpTable(TextBuf *) {}
