// Virtual network device and Ethernet framing: opening and configuring the
// device (character device, TAP interface or UNIX datagram socket backend),
// choosing the gateway MAC address, reading, filtering and decapsulating
// guest frames (Dev_Input) and writing Ethernet frames (Eth_Output).
#pragma once

#include <cstddef>
#include <cstdint>
#include <poll.h>

struct SkBuff;
struct PollEntry;

/// Opens and configures the device named `name` and registers it for
/// POLLIN. Returns 0, or the exit status of the failure after its message.
int Dev_Open(const char *name);

/// Registers an already open descriptor as the device (frames one per
/// read/write, as a socket pair or TAP): sets it non-blocking, poll entry
/// with Dev_Input, POLLIN, and the descriptor Eth_Output writes to.
/// Returns 0 or -1. Used by the wire-level test harness.
int Dev_Attach(int fd);

/// Poll callback of the device: reads up to 64 frames (until a read finds
/// none), hands each to Dev_InputFrame, then calls Tcp_FlushPending.
void Dev_Input(PollEntry *entry, struct pollfd *slot);

/// Pushes the 14-byte Ethernet header (destination, gateway MAC, type) and
/// writes the frame to the device; a frame the device cannot take yet
/// waits (bounded) and is written in order once it can. The caller keeps
/// its reference. A TCP packet with gsoSize set goes to a device that cuts
/// it (g_settings.devSegments: a TAP with tapOffload) with that request.
void Eth_Output(SkBuff *skb, const uint8_t dstMac[6], uint16_t etherType);

/// Frames the device's output queue has lost so far (queue full, or the
/// device gave no way to wait for it).
uint64_t Dev_OutputDrops();

/// Hands one received frame (bytes, length) through the device input path
/// as if it had been read from the device (filters, classification,
/// protocol handlers). Used by Dev_Input and by tests.
void Dev_InputFrame(const uint8_t *frame, size_t len);
