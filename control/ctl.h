// Control server: UNIX-domain and TCP listeners, line-oriented commands
// (CONNS/S, QUIT) and the status reply built from every table dump.
#pragma once

void Ctl_InitUnix();
void Ctl_InitTcp();
