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

/// Appends the status reply (control connections, every table dump,
/// "200 OK\r\n") to `out`.
void Ctl_StatusReply(TextBuf *out);

/// Number of open control connections (for tests and leak checks).
size_t Ctl_ConnCount();
