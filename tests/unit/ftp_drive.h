// In-process driver of the FTP gateway's four stream parsers, shared by
// tests/unit/test_ftp.cpp and the fuzz target fuzz/fuzz_ftp.cpp: a
// stream goes through one parser cut into pieces where the caller says,
// with no socket. Data listeners are replaced by one that always names
// 198.51.100.1 port 4660 (18,52); the control connection's far end is
// 203.0.113.7 and the guest 10.254.254.10.
#pragma once

#include <algorithm>
#include <arpa/inet.h>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "alg/ftp.h"

namespace ftp_drive {

enum Parser { kGuestCommands, kGuestReplies, kReadReplies, kReadCommands };

// The host socket: the stream up to the next cut per read, "nothing now"
// after each piece, then end of stream.
struct Source { const std::string *in; std::vector<size_t> ends; size_t pos, piece; bool pause; };
inline Source g_src;

inline int FakeRead(TcpConn *, uint8_t *buf, size_t cap, size_t *n) {
  Source &s = g_src;
  if (s.pause || s.pos == s.in->size()) return std::exchange(s.pause, false) ? kTcpReadNothing : kTcpReadEof;
  *n = std::min(cap, s.ends[s.piece] - s.pos);
  s.in->copy(reinterpret_cast<char *>(buf), *n, s.pos);
  s.pos += *n;
  if (s.pos == s.ends[s.piece]) { ++s.piece; s.pause = true; }
  return kTcpReadData;
}

// Attaches the gateway in the client or server role to `conn` (zeroed), a
// connection without a socket whose release closes its descriptor.
inline FtpGateway *Attach(TcpConn &conn, bool client) {
  Poll_Init(&conn.poll, nullptr, nullptr);
  conn.remoteAddr = htonl(0xCB007107);
  conn.guestAddr = htonl(0x0AFEFE0A);
  conn.read = FakeRead;
  conn.release = [](TcpConn *c) { close(c->poll.fd); };
  client ? Ftp_AttachClient(&conn) : Ftp_AttachServer(&conn);
  return static_cast<FtpGateway *>(conn.gateway);
}

// What `p` makes of `in` cut before each offset in `cuts` (ascending, in
// 1 .. size - 1), read 1 to `cap`
// bytes at a time (varying from call to call, as the TCP window does), up
// to the guest's FIN or the host's end of stream.
inline std::string Rewrite(Parser p, const std::string &in, std::vector<size_t> cuts, size_t cap = 65536) {
  cuts.push_back(in.size());
  TcpConn conn{};
  Attach(conn, p == kGuestCommands || p == kReadReplies)->openData = [](FtpGateway *, uint32_t, uint16_t, uint32_t *local, uint16_t *port) {
    *local = htonl(0xC6336401);
    *port = htons(4660);
    return true;
  };
  std::string out;
  if (p == kGuestCommands || p == kGuestReplies) {
    for (size_t i = 0, from = 0; i < cuts.size(); from = cuts[i++]) {
      TcpSegment *seg = TcpSegment_New(reinterpret_cast<const uint8_t *>(&in[from]), uint32_t(cuts[i] - from), i + 1 == cuts.size());
      seg->len -= seg->fin;  // as TcpConn_Deliver hands it over
      conn.segmentHook(&conn, seg);
      out.append(reinterpret_cast<char *>(seg->data), seg->len);
      TcpSegment_Free(seg);
    }
  } else {
    g_src = {&in, cuts, 0, 0, false};
    std::vector<uint8_t> buf(cap);
    for (size_t calls = 1, n = 0;; ++calls, n = 0) {
      if (calls > 4 * in.size() + 64) abort();  // the parser stopped making progress
      int r = conn.read(&conn, buf.data(), 1 + (calls * 2654435761u >> 8) % cap, &n);
      out.append(reinterpret_cast<char *>(buf.data()), n);
      if (r == kTcpReadEof) break;
    }
  }
  if (conn.poll.ready != 0) abort();  // readable must not stay marked with nothing left
  conn.release(&conn);  // Ftp_Release, as the engine calls it
  return out;
}

// One fuzz input: the two low bits of byte 0 pick the parser, the byte seeds
// the cuts and the read sizes; the rest is the stream. Cut or whole, the
// output must be the same, and a stream without a word to rewrite must pass
// unchanged.
inline int FuzzOne(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  std::string in(reinterpret_cast<const char *>(data + 1), size - 1), low = in;
  std::vector<size_t> cuts;
  uint32_t x = data[0] * 2654435761u;
  for (size_t i = 1; i < in.size(); ++i)
    if (((x = x * 1664525u + 1013904223u) >> 28) == 0) cuts.push_back(i);
  std::string whole = Rewrite(Parser(data[0] & 3), in, {});
  if (Rewrite(Parser(data[0] & 3), in, cuts, 1 + (x >> 26)) != whole) abort();
  std::transform(low.begin(), low.end(), low.begin(), ::tolower);
  for (const char *w : {"port", "eprt", "227", "229"})
    if (low.find(w) != std::string::npos) return 0;
  if (whole != in) abort();
  return 0;
}

}  // namespace ftp_drive
