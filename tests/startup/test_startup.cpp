// Start-up of the natd binary: one table of (arguments, configuration file,
// exit status, expected text), each row run in a scratch directory. A row
// that reaches the event loop must also answer an ARP request on its device
// and a status command on its control socket, and end with status 0 on
// SIGTERM.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int kRuns = -1;  // reaches the event loop

// Arguments follow "-c DIR/nat.conf -m DIR/mac" (the MAC file holds
// 02:4E:A1:01:02:03); @ stands for the device unix:DIR/dev.sock. The text is
// the whole output (standard output and error) when it ends in a newline,
// else a part of the output or of the configuration file afterwards.
const struct { const char *args, *config; int status; const char *text; } kRows[] = {
    {"-h", "", 124, "Usage: natd [-D] [-c configfile]"},
    {"-x @", "", 126, "invalid option"},
    {"-I 300.1.2.3 @", "", 114, "300.1.2.3 is not valid IP address\n"},
    {"-M 02:4E:A1:C0:00 @", "", 115, "02:4E:A1:C0:00 is not a valid MAC address\n"},
    {"-s 08 @", "", 132, "Invalid status pipe descriptor: 08\n"},
    {"", "[host]\nip = 10.0.0.1\n", 120, "Usage: natd"},
    {"a b", "[host]\ndevice = c\n", 120, "Usage: natd"},
    {"@", "[host]\nhostMAC = 02:4E:A1\n", 128, "Error with host MAC configuration parameter in configuration file.\n"},
    {"@", "[host]\nnetmask = 255.0.255.0\n", 112, "255.0.255.0 is not valid netmask (invalid value)\n"},
    {"@", "[host]\nip = 192.168.1.1/31\n", 110, "Netmask must be in range 128.0.0.0 to 255.255.255.252\n"},
    {"@", "[host]\nnetmask = 24bits\n", 111, "24bits is not valid netmask (not a number)\n"},
    {"@", "[host]\nnetmask = 255.255.255.300\n", 113, "255.255.255.300 is not valid netmask (not a.b.c.d)\n"},
    {"@", "[host]\nextIP = outside/24\n", 114, "outside is not valid IP address\n"},
    {"/nonexistent/dev", "", 119, "Cannot open network device `/nonexistent/dev': No such file or directory\n"},
    {"/dev/null", "", 129, "Cannot get module qlink version: Inappropriate ioctl for device\n"},
    {"@", "[IncomingTCP]\n80 = 10.0.0.5\n", 108, "10.0.0.5 is not valid TCP destination address in form a.b.c.d:port\n"},
    {"@", "[incomingtcp]\n0 = 10.0.0.5:80\n", 109, "0 is not valid TCP port number\n"},
    {"@", "[IncomingTCP]\n80 = 10.0.0.5:99999\n", 107, "10.0.0.5:99999 does not contain valid TCP port number\n"},
    {"@", "[IncomingUDP]\n53 = 10.0.0.x:53\n", 106, "10.0.0.x is not valid UDP destination address\n"},
    {"@", "[PrivilegedTCP]\nport = 21\nport = 0\n", 131, "The specified port: 0 in section PrivilegedTCP is not a valid port number\n"},
    {"-G -I 192.168.5.1 @", "[host]\nhostMAC = 02:4E:A1:C0:00:99\n", 0, "ip = 192.168.5.1/24\nhostMAC = 02:4E:A1:C0:00:99"},
    {"@", "[host]\n", kRuns, "MAC address: 02:4E:A1:01:02:03."},
};

sockaddr_un UnixAddress(const std::string &path) {
  sockaddr_un a{AF_UNIX, {}};
  strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
  return a;
}

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

// natd answers the guest's ARP request for the gateway from the MAC of its
// MAC file, and a status command and QUIT on its control socket.
void Probe(pid_t pid, const std::string &dir) {
  int s = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un me = UnixAddress(dir + "/guest.sock"), dev = UnixAddress(dir + "/dev.sock");
  const uint8_t arp[42] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x7D, 0x33, 0, 0, 0x10, 0x08, 0x06, 0, 1, 0x08, 0,
                           6, 4, 0, 1, 0x02, 0x7D, 0x33, 0, 0, 0x10, 10, 254, 254, 10, 0, 0, 0, 0, 0, 0, 10, 254, 254, 1};
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&me), sizeof me), 0);
  ASSERT_EQ(sendto(s, arp, sizeof arp, 0, reinterpret_cast<sockaddr *>(&dev), sizeof dev), 42);
  std::string reply;
  ReadUntil(s, &reply, std::string(1, '\0'));  // one datagram
  close(s);
  EXPECT_EQ(reply.substr(0, 22), std::string("\x02\x7D\x33\0\0\x10\x02\x4E\xA1\x01\x02\x03\x08\x06\0\x01\x08\0\x06\x04\0\x02", 22));
  int c = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un ctl = UnixAddress("/var/run/qlnat." + std::to_string(pid));
  ASSERT_EQ(connect(c, reinterpret_cast<sockaddr *>(&ctl), sizeof ctl), 0);
  ASSERT_EQ(write(c, "S\r\nQUIT\r\n", 9), 9);
  reply.clear();
  ReadUntil(c, &reply, "");
  close(c);
  EXPECT_EQ(reply.rfind("210-Control connections\r\n211-fd ", 0), 0u) << reply;
  EXPECT_EQ(reply.find("200 OK\r\n"), reply.size() - 16) << "one status reply, then QUIT's: " << reply;
}

TEST(Startup, Table) {
  for (const auto &row : kRows) {
    SCOPED_TRACE(std::string(row.args) + " with " + row.config);
    char tmpl[] = "/tmp/natd-startup-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl, conf = dir + "/nat.conf";
    std::ofstream(conf) << row.config;
    std::ofstream(dir + "/mac") << "02:4E:A1:01:02:03\n";
    std::vector<std::string> args = {NATD_BINARY, "-c", conf, "-m", dir + "/mac"};
    std::istringstream words(row.args);
    for (std::string w; words >> w;) args.push_back(w == "@" ? "unix:" + dir + "/dev.sock" : w);
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    if (pid == 0) {
      setsid();
      dup2(out[1], 1);
      dup2(out[1], 2);
      close(out[0]);
      execv(argv[0], argv.data());
      _exit(99);
    }
    close(out[1]);
    std::string text;
    if (row.status == kRuns && ReadUntil(out[0], &text, "Ignoring host MAC address")) {
      Probe(pid, dir);
      kill(pid, SIGTERM);
    }
    ReadUntil(out[0], &text, "");
    close(out[0]);
    kill(pid, SIGKILL);  // in case it still runs; one that ended keeps its status
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, row.status == kRuns ? 0 : row.status);
    std::stringstream file;
    file << std::ifstream(conf).rdbuf();
    if (std::string(row.text).ends_with("\n")) EXPECT_EQ(text, row.text);
    else EXPECT_NE((text + file.str()).find(row.text), std::string::npos) << text;
    EXPECT_EQ(system(("rm -rf " + dir).c_str()), 0);
  }
}

}  // namespace
