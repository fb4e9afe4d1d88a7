// Control server: UNIX-domain and TCP listeners, line-oriented commands
// (CONNS/S, QUIT) and the status reply built from every table dump.
#pragma once

#include <cstddef>
#include <poll.h>

struct PollEntry;
struct TextBuf;

/// Listener on the UNIX-domain socket "/var/run/qlnat.<pid>"; a failure
/// leaves the daemon without it (silently).
void Ctl_InitUnix();
/// Listener on [host] configport (1..65535) at the external address; none
/// when the key is missing or out of range or the socket cannot be made.
void Ctl_InitTcp();

/// Listener callback: accepts one control connection.
void Ctl_Accept(PollEntry *entry, struct pollfd *slot);
/// Connection callback: flushes pending output, reads command bytes.
void CtlConn_Event(PollEntry *entry, struct pollfd *slot);

/// A table dump of the status reply: appends its lines to `out`.
using CtlDumpFn = void (*)(TextBuf *out);

/// Adds `dump` to the status reply after the dumps added before it. Each
/// module's dump is added once at start-up, in the order of the reply; a
/// dump already in the list is not added again.
void Ctl_AddDump(CtlDumpFn dump);

/// Appends the status reply (control connections, every added table dump in
/// order, "200 OK\r\n") to `out`.
void Ctl_StatusReply(TextBuf *out);

/// Number of open control connections (for tests and leak checks).
size_t Ctl_ConnCount();
