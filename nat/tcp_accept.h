// Incoming TCP forwarding: listeners that accept host connections and
// create connections towards a guest.
#pragma once

#include <cstdint>

struct TextBuf;
struct TcpAccept;

TcpAccept *TcpAccept_Create(uint32_t guestN, uint16_t guestPortN, uint32_t allowedN,
                            uint16_t allowedPortN, int limit, uint16_t listenPortN);
void TcpAccept_DumpTable(TextBuf *out);
