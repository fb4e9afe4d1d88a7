// Start-up of the natd binary: one table of (arguments, configuration file,
// exit status, expected text, pid file), each row run in a scratch
// directory. A row that reaches the event loop must also answer an ARP
// request on its device and a status command on its control socket, and end
// with status 0 on SIGTERM. Then every allocation of start-up fails in turn.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>

namespace {

// Arguments follow "-c DIR/nat.conf -m DIR/mac" (the MAC file holds
// 02:4E:A1:01:02:03); @ stands for the device unix:DIR/dev.sock and % for
// DIR/pid, a stale pid file that the exit removes ('r') or keeps ('k').
// Status -1: natd reaches its event loop. The text is the whole output
// (standard output and error) when it ends in a newline, else a part of it.
const struct { const char *args, *config; int status; const char *text; char pid = 0; } kRows[] = {
    {"-h", "", 124, "Usage: natd [-D] [-c configfile]"},
    {"-x @", "", 126, "invalid option"},
    {"-M 02:4E:A1:C0:00:0G @", "", 115, "02:4E:A1:C0:00:0G is not a valid MAC address\n"},
    {"-s 08 @", "", 132, "Invalid status pipe descriptor: 08\n"},
    {"", "[host]\nip = 10.0.0.1\n", 120, "Usage: natd"},
    {"-d % -I 300.1.2.3 @", "", 114, "300.1.2.3 is not valid IP address\n", 'r'},
    {"-d % @", "[host]\nip = 192.168.1.1/31\n", 110, "Netmask must be in range 128.0.0.0 to 255.255.255.252\n", 'r'},
    {"-d % /nonexistent/dev", "", 119, "Cannot open network device `/nonexistent/dev': No such file or directory\n", 'r'},
    {"-d % a b", "[host]\ndevice = c\n", 120, "Usage: natd", 'k'},
    {"-d % @", "[host]\nhostMAC = 02:4E:A1\n", 128,
     "Error with host MAC configuration parameter in configuration file.\n", 'k'},
    {"@", "[host]\nnetmask = 255.0.255.0\n", 112, "255.0.255.0 is not valid netmask (invalid value)\n"},
    {"@", "[host]\nnetmask = 24bits\n", 111, "24bits is not valid netmask (not a number)\n"},
    {"@", "[host]\nnetmask = 255.255.255.300\n", 113, "255.255.255.300 is not valid netmask (not a.b.c.d)\n"},
    {"@", "[host]\nextIP = outside/24\n", 114, "outside is not valid IP address\n"},
    {"/dev/null", "", 129, "Cannot get module qlink version: Inappropriate ioctl for device\n"},
    {"@", "[host]\npcapfile = /nonexistent/k.pcap\n", 133, "Cannot open capture file `/nonexistent/k.pcap': No such file or directory\n"},
    {"-w /nonexistent/w.pcap @", "[host]\npcapfile = /nonexistent/k.pcap\n", 133,
     "Cannot open capture file `/nonexistent/w.pcap': No such file or directory\n"},
    {"@", "[IncomingTCP]\n80 = 1.2.3.4\n", 108, "1.2.3.4 is not valid TCP destination address in form a.b.c.d:port\n"},
    {"@", "[incomingtcp]\n0 = 10.0.0.5:80\n", 109, "0 is not valid TCP port number\n"},
    {"@", "[IncomingTCP]\n80 = 10.0.0.5:99999\n", 107, "10.0.0.5:99999 does not contain valid TCP port number\n"},
    {"@", "[IncomingUDP]\n53 = 10.0.0.x:53\n", 106, "10.0.0.x is not valid UDP destination address\n"},
    {"@", "[PrivilegedTCP]\nport = 21\nport = 0\n", 131,
     "The specified port: 0 in section PrivilegedTCP is not a valid port number\n"},
    {"-G -I 192.168.5.1 -M 02:4E:A1:C0:00:99 -c /dev/stdout x", "", 0,
     "ip = 192.168.5.1/24\nhostMAC = 02:4E:A1:C0:00:99"},
    {"-M 02:4e:a1:c0:Af:fF @", "[IncomingUDP]\n5353 = 10.0.0.5:53\n[IncomingTCP]\n8080 = 10.0.0.5:80\n", -1,
     "MAC address: 02:4E:A1:01:02:03.\nIgnoring host MAC address: 02:4E:A1:C0:AF:FF."},
};

// Appends what `fd` delivers until `until` appears (never when empty), the
// stream ends, a megabyte came or nothing came for ten seconds.
bool ReadUntil(int fd, std::string *out, const std::string &until) {
  char buf[4096];
  for (ssize_t n; until.empty() || out->find(until) == std::string::npos; out->append(buf, size_t(n))) {
    struct pollfd p = {fd, POLLIN, 0};
    if ((n = poll(&p, 1, 10000) == 1 ? read(fd, buf, sizeof buf) : -1) <= 0 || out->size() > (1 << 20)) return false;
  }
  return true;
}

// A UNIX socket of `type`, bound to `local` unless empty, connected to `peer`.
int UnixSocket(int type, const std::string &local, const std::string &peer) {
  int s = socket(AF_UNIX, type, 0);
  sockaddr_un me{AF_UNIX, {}}, to{AF_UNIX, {}};
  strncpy(me.sun_path, local.c_str(), sizeof me.sun_path - 1);
  strncpy(to.sun_path, peer.c_str(), sizeof to.sun_path - 1);
  EXPECT_TRUE((local.empty() || bind(s, reinterpret_cast<sockaddr *>(&me), sizeof me) == 0) &&
              connect(s, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0) << peer;
  return s;
}

// natd answers the guest's ARP request for the gateway from the MAC of its
// MAC file, and a status command and QUIT on its control socket.
void Probe(const std::string &pid, const std::string &dir) {
  int guest = UnixSocket(SOCK_DGRAM, dir + "/guest.sock", dir + "/dev.sock");
  const uint8_t arp[42] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x7D, 0x33, 0, 0, 0x10, 0x08, 0x06,  // Ethernet
                           0, 1, 0x08, 0, 6, 4, 0, 1, 0x02, 0x7D, 0x33, 0, 0, 0x10, 10, 254, 254, 10,  // request from
                           0, 0, 0, 0, 0, 0, 10, 254, 254, 1};                                       // for the gateway
  std::string reply, status;
  EXPECT_TRUE(write(guest, arp, sizeof arp) == 42 && ReadUntil(guest, &reply, std::string(1, '\0')));  // one datagram
  std::string want = std::string(arp + 6, arp + 12) + "\x02\x4E\xA1\x01\x02\x03";  // from the MAC file's MAC
  EXPECT_EQ(reply.substr(0, 22), want + std::string(arp + 12, arp + 21) + '\2') << "an ARP reply";
  int ctl = UnixSocket(SOCK_STREAM, "", "/var/run/qlnat." + pid);
  EXPECT_EQ(write(ctl, "S\r\nQUIT\r\n", 9), 9);
  ReadUntil(ctl, &status, "");
  close(guest);
  close(ctl);
  EXPECT_EQ(status.rfind("210-Control connections\r\n211-fd ", 0), 0u) << status;
  EXPECT_EQ(status.find("200 OK\r\n"), status.size() - 16) << "one status reply, then QUIT's: " << status;
}

struct Outcome { int status; std::string text; bool pidLeft; };

// Runs `binary` (may start with VAR=value words) with "-c DIR/nat.conf -m DIR/mac" and `args` (see kRows) in
// a scratch directory; one that reaches its event loop is probed (`probe`)
// and then ended with SIGTERM.
Outcome Start(const char *binary, const std::string &rowArgs, const std::string &config, bool probe) {
  char tmpl[] = "/tmp/natd-startup-XXXXXX";
  EXPECT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl, conf = dir + "/nat.conf";
  std::ofstream(conf) << config;
  std::ofstream(dir + "/mac") << "02:4E:A1:01:02:03\n";
  std::ofstream(dir + "/pid") << "1\n";
  std::string args = "-c " + conf + " -m " + dir + "/mac " + rowArgs, pid, text;
  for (size_t at; (at = args.find('@')) != std::string::npos;) args.replace(at, 1, "unix:" + dir + "/dev.sock");
  for (size_t at; (at = args.find('%')) != std::string::npos;) args.replace(at, 1, dir + "/pid");
  // The shell prints its pid and becomes natd (through env, which sets the
  // binary's variables), in a session and a network namespace of its own.
  FILE *natd = popen(("echo $$; exec unshare -n setsid env " + std::string(binary) + " " + args + " 2>&1").c_str(), "r");
  EXPECT_TRUE(ReadUntil(fileno(natd), &pid, "\n"));
  text = pid.substr(pid.find('\n') + 1);
  pid.resize(pid.find('\n'));
  if (ReadUntil(fileno(natd), &text, "Ignoring host MAC address")) {
    if (probe) Probe(pid, dir);
    kill(std::stoi(pid), SIGTERM);
  }
  ReadUntil(fileno(natd), &text, "");
  kill(std::stoi(pid), SIGKILL);  // in case it still runs; one that ended keeps its status
  int status = pclose(natd);
  Outcome out{WIFEXITED(status) ? WEXITSTATUS(status) : -1, text, access((dir + "/pid").c_str(), F_OK) == 0};
  std::filesystem::remove_all(dir);
  return out;
}

TEST(Startup, Table) {
  for (const auto &row : kRows) {
    SCOPED_TRACE(std::string(row.args) + " with " + row.config);
    Outcome out = Start(NATD_BINARY, row.args, row.config, row.status < 0);
    EXPECT_EQ(out.status, row.status < 0 ? 0 : row.status);
    bool whole = std::string(row.text).ends_with("\n");
    EXPECT_TRUE(whole ? out.text == row.text : out.text.find(row.text) != std::string::npos) << out.text;
    EXPECT_TRUE(!row.pid || out.pidLeft == (row.pid == 'k')) << "the stale pid file left: " << out.pidLeft;
  }
}

// The n-th allocation of start-up fails, for every n: natd ends with the
// status of the step that needed it and its message, or a panic, or starts
// without what it could not allocate; it never crashes.
TEST(Startup, EachAllocationMayFail) {
  const std::map<int, std::string> kWant = {
      {0, "Ignoring host MAC address"},
      {105, "Cannot create TCP forwarding entry for 8080 => 10.0.0.5:80\n"},
      {117, "Not enough memory for qlink polling\n"},
      {118, "Not enough memory for qlink watch\n"},
      {255, "Zelmor NAT Panic: Unrecoverable memory allocation failure at "},
  };
  // A WINS server of its own: else the host's smb.conf is read, token by token.
  const char *kConfig = "[IncomingTCP]\n8080 = 10.0.0.5:80\n[netbios]\nwinsServer = 192.0.2.1\n";
  std::set<int> seen;
  for (int n = 1; n < 2000; n++) {
    Outcome out = Start(("NATD_FAIL_ALLOC=" + std::to_string(n) + " " NATD_SEAM).c_str(), "@", kConfig, false);
    if (out.text.find("allocation refused") == std::string::npos) {  // start-up allocates no more
      EXPECT_EQ(out.status, 0) << out.text;
      break;
    }
    auto want = kWant.find(out.status);
    ASSERT_NE(want, kWant.end()) << "allocation " << n << ": status " << out.status << "\n" << out.text;
    EXPECT_NE(out.text.find(want->second), std::string::npos) << "allocation " << n << ": " << out.text;
    seen.insert(out.status);
  }
  for (int status : {105, 117, 118}) EXPECT_EQ(seen.count(status), 1u) << status;
}

}  // namespace
