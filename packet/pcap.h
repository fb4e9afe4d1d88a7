// Packet capture (natd's own addition): every frame read from or written to
// the device, both directions, appended to a capture file in the classic
// format (magic a1b2c3d4, microsecond time stamps, link type Ethernet) that
// packet analysers read. Off unless option -w or key `pcapfile` of [host]
// names a file.
#pragma once

#include <cstddef>
#include <cstdint>

/// Exit status of start-up when the capture file cannot be created.
constexpr int kPcapOpenStatus = 133;

/// Start-up step after the device: opens the file named by -w
/// (g_settings.pcapPath) or else by [host] pcapfile, truncating it, and
/// writes the file header. Returns 0 (also when no file is named), or
/// kPcapOpenStatus after "Cannot open capture file `%s': %s\n" on stderr.
int Pcap_Start();

/// Opens `path` for capture (mode 0600, truncated) and writes the header.
/// 0, or -1 with errno.
int Pcap_Open(const char *path);

/// Appends one frame with the current time. A failed or short write stops
/// the capture (one message on stderr) so that the file stays readable.
void Pcap_Frame(const uint8_t *frame, size_t len);

/// Closes the capture file; capturing stops.
void Pcap_Close();
