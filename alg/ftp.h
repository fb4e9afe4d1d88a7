// FTP gateway: rewrites the data-connection addresses that an FTP control
// connection carries, in both roles of a relayed connection.
//
// Client role (Ftp_AttachClient; a guest connects to port 21 outside): the
// guest's PORT and EPRT commands are rewritten to name a one-shot listener
// on the host that relays the server's data connection to the guest, or,
// with [host] activeftp = 0, dropped and answered with a 500 reply of the
// gateway's own; the server's 227 and 229 replies are rewritten on their way
// to the guest. Server role (Ftp_AttachServer; a connection towards port 21
// of a guest, from a port forward or a data listener): the guest server's
// 227 and 229 replies name a one-shot listener on the host; an outside
// client's PORT and EPRT naming 127.0.0.1 are rewritten to name the gateway.
//
// alg/ftp.cpp owns the gateway record, both attach operations, the release,
// the data listeners and the guest-to-host scanner (the segment hook);
// alg/ftp_read.cpp owns the host-to-guest stream parser (the read
// operation). The record is owned by its TcpConn (the `gateway` slot) and
// freed by Ftp_Release with it; a data listener is a TcpAccept of the accept
// table whose `owner` points back here until either side goes away.
#pragma once

#include <cstdint>

#include "control/textbuf.h"
#include "nat/tcp_conn.h"

struct TcpAccept;
struct FtpGateway;

/// Opens the data listener for one rewrite: relays to guestAddr:guestPort
/// (network order), accepts one connection from the control connection's
/// remote end only. Sets *localAddr to the control connection's local host
/// address and *listenPort to the listener's port (both network order).
/// False when the rewrite must fail (the line then passes unchanged).
using FtpOpenDataFn = bool (*)(FtpGateway *gw, uint32_t guestAddr, uint16_t guestPort,
                               uint32_t *localAddr, uint16_t *listenPort);

/// One FTP control connection (malloc'd at attach, freed by Ftp_Release).
struct FtpGateway {
  TcpReadFn savedRead;               // the connection's read before attaching
  TcpWriteFn savedWrite;             // kept, not replaced
  TcpShutdownFn savedShutdown;       // kept, not replaced
  TcpReleaseFn savedRelease;         // called by Ftp_Release
  TcpSegmentHookFn savedSegmentHook; // kept, never called
  uint32_t readState;                // host-to-guest parser state (FtpReadState)
  uint32_t numbers[6];               // numbers of the argument being parsed
  int32_t numberIndex;               // index of the number being parsed
  uint32_t subState;                 // EPRT/229 delimiter parser sub-state
  uint32_t delimiter;                // EPRT/229 delimiter character
  TextBuf heldText;                  // argument held back, or text being emitted
  TextBuf pendingText;               // delivered before further socket data
  uint32_t lineState;                // guest-to-host: 0 inside, 1 first word, 2 line
  uint32_t lineKind;                 // 'P' (PORT, 227) or 'E' (EPRT, 229)
  TextBuf lineText;                  // first word or collected line
  TcpAccept *dataListener;           // listener of the last rewrite, or nullptr
  uint32_t activeFtp;                // client role: [host] activeftp (default 1)
  TcpConn *conn;                     // the control connection
  FtpOpenDataFn openData;            // Ftp_OpenDataListener unless a test sets another
};

/// States of `readState`. Literal states match one character each; the
/// argument states hold their characters back in `heldText`.
enum FtpReadState : uint32_t {
  kFtpInside, kFtpLineStart, kFtpEmitting,
  // replies (client role)
  kFtpGot2, kFtpGot22, kFtpGot227, kFtpGot229, kFtpText227, kFtpText229,
  kFtpNumbers227, kFtpArg229,
  // commands (server role)
  kFtpGotP, kFtpGotPO, kFtpGotPOR, kFtpGotPORT, kFtpBlanks, kFtpNumbersPort,
  kFtpGotE, kFtpGotEP, kFtpGotEPR, kFtpGotEPRT, kFtpEBlanks, kFtpArgEprt,
};

/// Client role: called by Tcp_Input for a guest's connection to port 21,
/// before the connection is started. Replaces read, release and the segment
/// hook; reads [host] activeftp. On allocation failure nothing is attached.
void Ftp_AttachClient(TcpConn *conn);
/// Server role: called by TcpConn_CreateIncoming for a connection towards
/// guest port 21. As Ftp_AttachClient, without activeftp.
void Ftp_AttachServer(TcpConn *conn);
/// Release operation: drops the data listener, calls the saved release,
/// frees the text buffers and the record.
void Ftp_Release(TcpConn *conn);
/// Detaches and removes the data listener, if any (its release follows
/// after the current dispatch).
void Ftp_DropListener(FtpGateway *gw);
/// The data listener's close operation: detaches it from its owner and
/// closes its socket.
void Ftp_ListenerGone(TcpAccept *listener);
/// The default FtpOpenDataFn: Sock_GetName of the control connection, a
/// TcpAccept listener on an ephemeral port owned by `gw` (replacing an
/// earlier unused one), Sock_GetName of the listener.
bool Ftp_OpenDataListener(FtpGateway *gw, uint32_t guestAddr, uint16_t guestPort,
                          uint32_t *localAddr, uint16_t *listenPort);

/// Segment hooks (guest to host): rewrite PORT/EPRT (client role) or
/// 227/229 (server role) lines in the segment's bytes, which may grow.
void Ftp_GuestCommands(TcpConn *conn, TcpSegment *seg);
void Ftp_GuestReplies(TcpConn *conn, TcpSegment *seg);

/// Read operations (host to guest): read through savedRead and rewrite 227
/// and 229 replies (client role) or PORT/EPRT naming 127.0.0.1 (server
/// role) in place in `buf`; deliver `pendingText` first. Results as the
/// connection's read operation.
int Ftp_ReadReplies(TcpConn *conn, uint8_t *buf, size_t cap, size_t *count);
int Ftp_ReadCommands(TcpConn *conn, uint8_t *buf, size_t cap, size_t *count);

/// Sets or clears readable in the ready events of the connection's poll
/// entry so that it is set exactly while `pendingText` holds text or
/// `heldText` waits to be emitted.
void Ftp_SyncReadable(FtpGateway *gw);
