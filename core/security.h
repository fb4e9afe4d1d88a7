// Least privilege (natd's own addition): once start-up has opened the
// device and the listeners, natd gives up the capabilities its run-time
// calls never need and, when configured, confines itself to the system
// calls it makes.
#pragma once

#include <cstdint>

/// The capabilities kept: raw sockets (ICMP, GRE, NetBIOS), privileged
/// source ports, the device's interface, the files natd re-reads or removes
/// (configuration, pid file, sockets) and signals to its process group.
uint64_t Security_KeptCapabilities();

/// Drops every other capability from the effective, permitted, inheritable
/// and bounding sets. 0, or -1 when the kernel refused (nothing is dropped
/// then).
int Security_DropCapabilities();

/// Installs the seccomp filter: the system calls natd and its DNS children
/// make are allowed, every other one fails with EPERM. 0, or -1 when it
/// could not be installed (an unknown architecture, or the kernel refused).
int Security_InstallSeccomp();

/// After start-up: [security] dropCapabilities (default 1) and seccomp
/// (default 0). An address-checking build skips the filter (its run-time
/// makes calls of its own) and says so on standard error.
void Security_Apply();
