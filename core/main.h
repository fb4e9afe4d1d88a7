// The daemon's main: command line, the start-up sequence, shutdown.
// The settings it establishes live in core/settings.h; its panic routine is
// declared with the support library that calls it (lib/support.h).
#pragma once

/// The whole start-up and the event loop; returns the exit status.
int Main_Run(int argc, char **argv);

/// Removes the pid file, releases every poll entry, stops the DNS children.
void Main_Shutdown();
