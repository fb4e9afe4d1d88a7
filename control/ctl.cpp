// PENDING: placeholder so the tree links while this module is written; replaced by the module itself.
#include "control/ctl.h"
void Ctl_InitUnix() {}
void Ctl_InitTcp() {}
