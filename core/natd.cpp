// natd: the NAT gateway daemon of one host-only virtual Ethernet network.
#include "core/main.h"

int main(int argc, char **argv) { return Main_Run(argc, argv); }
