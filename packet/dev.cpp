// PENDING: placeholder so the tree links while this module is written; replaced by the module itself.
#include "packet/dev.h"
int Dev_Open(const char *) { return 119; }
void Dev_Input(PollEntry *, struct pollfd *) {}
int Dev_Attach(int) { return -1; }
void Eth_Output(SkBuff *, const uint8_t *, uint16_t) {}
void Dev_InputFrame(const uint8_t *, size_t) {}
