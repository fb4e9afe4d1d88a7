// NetBIOS gateway on the simulated clock, one table: the name-service retry
// and fail-over schedule (with `winsServer`, the Samba file's lines do not
// count; a fifth server pushes out the oldest; the gateway, repeats and bad
// addresses are ignored; with no server the request is dropped), host
// unreachable for the guest at the end of the list, two errors for a send
// that fails, the server index that requests share (a second request gives
// up where the first moved on), and the expiry of datagram relays (idle
// `nbdsTimeout` seconds, examined every `nbdsTimeout` seconds; 0: never).
// The in-process environment is the fuzz target's.
#include <gtest/gtest.h>

#include "fuzz/fuzz_netbios.cpp"

TEST(Netbios, RetriesFailOverAndRelayExpiry) {
  int wins[5];
  Env_Configure("");
  for (int i = 0; i < 5; i++) wins[i] = Env_Socket(("127.0.0." + std::to_string(i + 2)).c_str(), 137);
  // A-E: a request reaches the WINS server 127.0.0.2-6; Un: destination
  // unreachable with code n for the guest; Rn: n datagram relays. Bit t of
  // `sends`: the guest sends a message at second t (a name query and a direct
  // datagram alike), to the gateway's name service or to port 138 of
  // 127.0.0.7. A send that fails (no route to 192.0.2.1) gives two errors.
  struct { const char *conf; int sends, dgram; const char *want; } rows[] = {
      {"winsServer = 127.0.0.2;127.0.0.3\nwins server = 127.0.0.4", 0b1, 0, "A@0 A@2 A@4 B@6 B@8 B@10 U1@12 "},
      {"nbnsTimeout = 1\nnbnsRetries = 1\nwinsServer = 127.0.0.5;127.0.0.2;10.254.254.1;127.0.0.2;x;0.0.0.0;"
       "255.255.255.255;127.0.0.3;127.0.0.4;127.0.0.6", 0b1, 0, "A@0 B@1 C@2 E@3 U1@4 "},
      {"nbnsRetries = 2\nwinsServer = 127.0.0.2;127.0.0.3", 0b11, 0, "A@0 A@1 A@2 A@3 B@4 U1@5 B@6 U1@8 "},
      {"winsServer = 192.0.2.1", 0b1, 0, "U7@0 U0@0 "},
      {"", 0b1, 0, ""},
      {"nbdsTimeout = 1", 0b1, 1, "R1@0 R0@1 "},
      {"nbdsTimeout = 3", 0b101, 1, "R1@0 R0@6 "},
      {"nbdsTimeout = 0", 0b1, 1, "R1@0 "},
  };
  for (auto &r : rows) {
    std::string got;
    Env_Configure(r.conf);
    for (unsigned t = 0, relays = 0; t < 14; t++, Env_Advance(1)) {
      std::string at = "@" + std::to_string(t) + " ";
      if (r.sends >> t & 1) Env_GuestSend(r.dgram ? "127.0.0.7" : "10.254.254.1", 137 + r.dgram, Bytes{0x10} + Bytes(81, 0));
      for (int i = 0; i < 5; i++) while (Env_Recv(wins[i]).size()) got += char('A' + i) + at;
      for (Bytes f; (f = Env_Recv(g_guest)).size();) got += f[23] == 1 && f[34] == 3 ? "U" + std::to_string(f[35]) + at : "?";
      if (Nbds_RelayCount() != relays) got += "R" + std::to_string(relays = Nbds_RelayCount()) + at;
    }
    EXPECT_EQ(got, r.want) << r.conf;
    EXPECT_EQ(SkBuff_LiveCount(), 0) << r.conf;
  }
  Poll_RemoveAll();
  EXPECT_EQ(Timer_Count(), 0u);
}
