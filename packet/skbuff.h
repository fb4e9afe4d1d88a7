// Packet buffers: one reference-counted buffer per frame, with head, data,
// tail and end cursors over one contiguous storage area. Layers strip their
// headers from the front on the way in and push them on the way out without
// copying the payload.
//
// Ownership: a producer allocates (one reference), hands the buffer on and
// frees it; a layer that keeps a buffer beyond the call holds it; a consumer
// that only reads during the call takes no reference.
#pragma once

#include <cstdint>

struct SkBuff {
  SkBuff *next;
  SkBuff *prev;
  void *owner;            // the buffer itself
  uint8_t *transportHdr;  // first byte after the IPv4 header (IP dispatch)
  uint8_t *networkHdr;    // IPv4 or ARP header (device input)
  uint8_t *linkHdr;       // Ethernet frame (device input)
  int32_t destClass;      // 0 = to the gateway, 1 = broadcast, 2 = routed
  uint32_t ttl;           // received TTL, routed packets already lowered
  uint32_t len;           // tail - data
  uint32_t pktType;       // 0 gateway MAC, 1 broadcast, 2 multicast, 3 other
  uint32_t size;          // storage size asked for
  uint32_t users;         // reference count
  uint8_t *head;
  uint8_t *data;
  uint8_t *tail;
  uint8_t *end;
  uint8_t *extBlock;      // separately allocated storage (reassembly), or null
  uint32_t gsoSize;       // a TCP packet the device cuts into segments of this
                          // payload size (checksum partial); 0: an ordinary packet
};

enum : int32_t { kDestGateway = 0, kDestBroadcast = 1, kDestRouted = 2 };
enum : uint32_t { kPktHost = 0, kPktBroadcast = 1, kPktMulticast = 2, kPktOtherHost = 3 };

/// One allocation of the fields plus `size` bytes; nullptr when memory is
/// short.
[[nodiscard]] SkBuff *SkBuff_Alloc(uint32_t size);
/// A buffer whose storage is the separately allocated `block` of `size`
/// bytes (taken over; freed with the buffer, or at once when the buffer
/// cannot be allocated). Used by IP reassembly.
[[nodiscard]] SkBuff *SkBuff_AllocExternal(uint8_t *block, uint32_t size);
/// Takes one more reference (a layer that keeps the buffer beyond the call).
void SkBuff_Hold(SkBuff *skb);
/// Drops one reference; the last one releases the buffer and its block.
void SkBuff_Free(SkBuff *skb);
/// Moves data and tail forward by n bytes of head-room (on an empty
/// buffer). Past the end: "SkBuff_Reserve_over" check failure (abort).
void SkBuff_Reserve(SkBuff *skb, uint32_t n);
/// Extends the data by n bytes at the tail; returns the first new byte.
/// Past the end: "SkBuff_Put_over" check failure (abort).
uint8_t *SkBuff_Put(SkBuff *skb, uint32_t n);
/// Prepends n bytes (a header); returns the new data pointer. Before the
/// head: "SkBuff_Push_under" check failure (abort).
uint8_t *SkBuff_Push(SkBuff *skb, uint32_t n);
/// Strips n bytes from the front; returns the new data pointer, or nullptr
/// (buffer unchanged) when len < n.
uint8_t *SkBuff_Pull(SkBuff *skb, uint32_t n);
/// Shortens the data to newLen bytes (drops padding); longer is a no-op.
void SkBuff_Trim(SkBuff *skb, uint32_t newLen);
/// Bytes between head and data.
inline uint32_t SkBuff_Headroom(const SkBuff *skb) { return uint32_t(skb->data - skb->head); }

/// Number of live buffers (for tests: every test ends with none left).
long SkBuff_LiveCount();
