// NetBIOS gateway: the name service (UDP 137) relayed to the host's WINS
// servers or to the outside address a guest asked, and direct datagrams
// (UDP 138) to outside hosts with their SOURCE_IP made the host's and the
// answers to port 138 of the host relayed back to the guest.
//
// Owns the WINS server list with its shared current-server index, the
// name-service requests (one private host socket each, owned by the event
// loop), the datagram relays (one raw socket each, in the relay list) and
// the relay expiry timer. Addresses and ports are in network byte order.
#pragma once

#include <cstdint>
#include <poll.h>
#include <string>

#include "core/poll.h"
#include "core/timer.h"
#include "lib/list.h"

struct SkBuff;

constexpr int kWinsMax = 4;

/// Path of the host's Samba configuration, read for its `wins server` lines
/// when [netbios] has no `winsServer` ("/etc/samba/smb.conf"; tests point it
/// elsewhere).
extern std::string Netbios_SambaPath;

/// One guest name-service request waiting for one answer.
struct NbnsRequest {
  PollEntry entry;      // first member: the private UDP socket
  Timer retry;          // Nbns_Retry
  uint32_t guestAddr;   // source of the request
  uint16_t guestPort;
  uint32_t targetAddr;  // destination as the guest sent it
  uint16_t targetPort;
  int attempts;         // sends made to the current WINS server, from 1
  uint8_t toWins;       // 1: relayed to the WINS servers
  SkBuff *request;      // one reference held; data..tail = the UDP payload
};

/// Relay of the datagrams that one destination sends back to port 138 of
/// the host, for one guest source name.
struct NbdsRelay {
  PollEntry entry;      // first member: raw IPv4 socket for UDP
  ListLink link;        // relay list, most recently used first
  uint32_t guestAddr;
  uint16_t port;        // always 138
  uint8_t sourceName[34];
  uint32_t localAddr;   // host's address towards the destination
  uint32_t destination;
  int64_t lastUsed;     // daemon-clock seconds of the last datagram out
};

/// Start-up: clears the WINS list, its index and the saved Samba file
/// status; reads [netbios] `nbnsTimeout` (s, 2), `nbnsRetries` (3) and
/// `nbdsTimeout` (s, 3); reads the WINS servers.
void Netbios_Init();

/// Adds the WINS servers of [netbios] `winsServer` (";"-separated), or,
/// without that key, of the Samba file's `wins server` lines when the file
/// changed since it was last read. Servers are never removed. Returns the
/// number of servers.
int Wins_Refresh();
/// Adds one dotted address; ignores 0.0.0.0, 255.255.255.255, unparsable
/// text, the gateway address and servers already listed. A fifth server
/// pushes out the oldest.
void Wins_Add(const char *text);

/// A guest name-service datagram (data = UDP payload, network header set):
/// relayed to the WINS servers (`toWins`) or to its destination through a
/// private socket. Holds its own reference on the buffer when kept.
void Nbns_Forward(SkBuff *skb, int toWins);
/// Sends the request to the current WINS server (port 137) or to its
/// target; on failure the guest gets two ICMP errors. 0 or -1.
int Nbns_Send(NbnsRequest *req);
/// Retry timer: the next try, the next server, or host unreachable for the
/// guest at the end of the list. `arg` is the request.
void Nbns_Retry(Timer *timer, void *arg);
/// The private socket is readable: the answer goes to the guest (NB_ADDRESS
/// of registration answers set back to the guest's) and ends the request.
void Nbns_HostInput(PollEntry *entry, struct pollfd *slot);
/// Closes the socket, cancels the timer, drops the buffer, frees.
void Nbns_Release(PollEntry *entry);

/// A guest datagram to an outside port 138 (data = UDP payload, network
/// header set). -1: drop it; 0: send it by plain NAT (SOURCE_IP of a direct
/// datagram rewritten in place, and a relay set up for its answers).
[[nodiscard]] int Nbds_Forward(SkBuff *skb);
/// The relay's raw socket is readable: a valid UDP datagram from the
/// relay's destination to the host goes to Nbds_Deliver.
void Nbds_HostInput(PollEntry *entry, struct pollfd *slot);
/// `skb` data = the IPv4 header of a datagram from the relay's
/// destination: a UDP datagram to port 138 goes to the guest's port 138.
/// The caller keeps its reference.
void Nbds_Deliver(SkBuff *skb, NbdsRelay *relay);
/// Expiry timer: removes relays idle for `nbdsTimeout` seconds.
void Nbds_Expire(Timer *timer, void *arg);
/// Unlinks the relay, closes its socket, cancels the expiry timer when no
/// relay is left, frees.
void Nbds_Release(PollEntry *entry);
/// Number of relays in the relay list (tests).
unsigned Nbds_RelayCount();
