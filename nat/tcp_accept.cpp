// PENDING: placeholder so the tree links while this module is written; replaced by the module itself.
#include "nat/tcp_accept.h"
TcpAccept *TcpAccept_Create(uint32_t, uint16_t, uint32_t, uint16_t, int, uint16_t) { return nullptr; }
void TcpAccept_DumpTable(TextBuf *) {}
