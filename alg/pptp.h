// PPTP gateway: follows a guest's PPTP control connection (TCP port 1723)
// for the server's Outgoing-Call-Reply and then relays the call's enhanced
// GRE packets (IPv4 protocol 47, version 1) between the guest and the server
// through a raw GRE socket of the host.
//
// Owns the PptpGateway record of each attached control connection (in the
// connection's gateway slot) and the process-wide GreRelay records
// (each owned by the event loop through its poll entry). Calls the saved
// read and release operations of the TCP engine, Ip_Output for GRE towards
// guests and Icmp_SendErrnoUnreach when a guest's GRE cannot be sent.
//
// Addresses and call IDs are kept in network byte order.
#pragma once

#include <cstddef>
#include <cstdint>

struct TcpConn;
struct SkBuff;
struct PollEntry;
struct pollfd;

/// Well-known port of the PPTP control connection (host order).
constexpr uint16_t kPptpPort = 1723;

/// Called by TCP input when it creates the host socket for a guest's
/// connection to port 1723, before the connection starts. Unless
/// `activatepptp` in [host] is 0, takes the gateway slot and replaces the
/// read and release operations (keeping the old ones). Nothing is attached
/// when memory is short.
void Pptp_Attach(TcpConn *conn);
/// The replacement read operation: the saved read, then a read that begins
/// with an Outgoing-Call-Reply creates the GRE relay of that call. Results
/// as the read operation (kTcpRead*); kTcpReadReset, with the reply
/// withheld, when the relay cannot be created.
int Pptp_Read(TcpConn *conn, uint8_t *buf, size_t cap, size_t *count);
/// The replacement release operation: the saved release, then every relay
/// this connection set up is removed (no GRE of its calls is relayed from
/// now on) and the gateway record freed.
void Pptp_Release(TcpConn *conn);
/// From Ip_Dispatch for protocol 47 (data = GRE header, network header =
/// the IPv4 header). A version-1 packet of a known call leaves on its
/// relay's socket with the host's address as source; anything else is
/// dropped. Takes no reference.
void Gre_Input(SkBuff *skb);
/// Poll callback of a relay's raw socket: the datagrams waiting from the
/// server (up to 32 per event) are passed to the guest when they belong to
/// the relay's call.
void GreRelay_HostInput(PollEntry *entry, struct pollfd *slot);
/// Poll release callback of a relay: unlinks it, closes the socket, frees.
void GreRelay_Release(PollEntry *entry);
/// Number of relays in the list (for tests).
unsigned GreRelay_Count();
