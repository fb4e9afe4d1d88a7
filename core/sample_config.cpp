// The sample configuration file written by option -G: the [host] settings
// in effect (gateway address, host MAC, device) and commented examples of
// the other sections.
#include <cstdio>
#include <cstring>

#include "core/settings.h"
#include "core/startup.h"

void Sample_Write(FILE *out, const char *device) {
  uint8_t ip[4];
  memcpy(ip, &g_settings.gatewayAddr, 4);
  const uint8_t *m = g_settings.hostMac;
  fputs("# Windows NAT configuration file\n\n[host]\n\n", out);
  fputs("# NAT gateway address\n", out);
  fprintf(out, "ip = %d.%d.%d.%d/24\n", ip[0], ip[1], ip[2], ip[3]);
  fprintf(out, "hostMAC = %02X:%02X:%02X:%02X:%02X:%02X\n", m[0], m[1], m[2], m[3], m[4], m[5]);
  fputs("\n"
        "# enable configuration; disabled by default for security reasons\n"
        "#configport = 33445\n"
        "\n"
        "# Qlink device if not specified on command line\n",
        out);
  fprintf(out, "device = %s\n", device);
  fputs("\n"
        "# Allow PORT/EPRT FTP commands (they need incoming TCP stream...)\n"
        "activeFTP = 1\n"
        "\n"
        "# Allows the source to have any OUI.  Turn this one if you change the OUI\n"
        "# in the MAC address of your virtual machines.\n"
        "#allowAnyOUI = 1\n"
        "\n"
        "[udp]\n"
        "# Timeout in seconds, 0 = no timeout, default = 60; real value might\n"
        "# be up to 100% longer\n"
        "timeout = 30\n"
        "\n"
        "[dns]\n"
        "# This section applies to Windows hosts only.\n"
        "# Policy for sending requests to the name servers:\n"
        "#   order:  send one request at a time, to the name servers in order\n"
        "#   rotate: send one request at a time, rotating through the name servers\n"
        "#   burst:  send to three name servers and wait for the first answer\n"
        "policy = order;\n"
        "# Seconds to wait for an answer before retrying\n"
        "timeout = 2\n"
        "# Number of retries before giving up\n"
        "retries = 3\n"
        "# Detect the host's name servers automatically\n"
        "autodetect = 1\n"
        "# Up to three name servers may be given explicitly\n"
        "#nameserver1 = 192.0.2.1\n"
        "#nameserver2 = 192.0.2.2\n"
        "#nameserver3 = 192.0.2.3\n"
        "\n"
        "[netbios]\n"
        "# This section applies to Windows hosts only.\n"
        "# Seconds to wait for a name service answer\n"
        "nbnsTimeout = 2\n"
        "# Number of name service retries\n"
        "nbnsRetries = 3\n"
        "# Seconds to wait for a datagram service answer\n"
        "nbdsTimeout = 3\n"
        "\n"
        "[incomingtcp]\n"
        "# WARNING: anyone who can reach the host can enter the virtual machine\n"
        "# through these ports.\n"
        "\n"
        "# FTP: \"ftp -p localhost 8887\" reaches the guest's FTP server.\n"
        "# Active and passive FTP are always enabled.\n"
        "#8887 = 192.168.1.128:21\n"
        "\n"
        "# Web: \"http://localhost:8888/\" reaches the guest's web server.\n"
        "# Named virtual hosting sees the host's name and port; the server must\n"
        "# cope with a port number in the Host header that does not match its own.\n"
        "#8888 = 192.168.1.128:80\n"
        "\n"
        "# SSH: \"ssh -p 8889 user@localhost\" reaches the guest's SSH server.\n"
        "#8889 = 192.168.1.128:22\n"
        "\n"
        "[incomingudp]\n"
        "# UDP port forwarding example\n"
        "#6000 = 192.168.1.128:6001\n",
        out);
}
