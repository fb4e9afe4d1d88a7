// Start-up of the natd binary: every exit status of start-up with its
// message on the right stream, the sample file, signals, daemon mode and
// pid file, the status descriptor, and a daemon that reaches its event loop
// on a UNIX datagram device and on a TAP device inside a network namespace
// of the test's own, answering on its control socket and configport.
//
// Every run uses a scratch directory for its configuration, MAC file and
// device socket; only the control socket lives in /var/run.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kTimeout = std::chrono::seconds(15);

const char kUsage[] =
    "Usage: natd [-D] [-c configfile] [-d pidfile] [-m macfile]\n"
    "       [-s pipe descriptor for service to send a two byte\n"
    "           startup status code]\n"
    "       [-h] device\n";

std::string ControlPath(pid_t pid) { return "/var/run/qlnat." + std::to_string(pid); }

bool Exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::string &path, const std::string &text) {
  std::ofstream out(path);
  out << text;
}

// A natd process with pipes on its standard output and error.
struct Natd {
  pid_t pid = -1;
  int outFd = -1, errFd = -1;
  std::string out, err;

  // Reads what is available (waiting up to `ms`); false at EOF on both.
  bool Pump(int ms) {
    struct pollfd p[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    int n = poll(p, 2, ms);
    bool open = false;
    for (int i = 0; i < 2; ++i) {
      int &fd = i == 0 ? outFd : errFd;
      if (fd < 0) continue;
      if (n > 0 && (p[i].revents & (POLLIN | POLLHUP))) {
        char buf[4096];
        ssize_t r = read(fd, buf, sizeof buf);
        if (r > 0) {
          (i == 0 ? out : err).append(buf, size_t(r));
        } else {
          close(fd);
          fd = -1;
          continue;
        }
      }
      open = true;
    }
    return open;
  }

  bool WaitForOutput(const std::string &text) {
    auto end = Clock::now() + kTimeout;
    while (out.find(text) == std::string::npos && Clock::now() < end)
      if (!Pump(100)) break;
    return out.find(text) != std::string::npos;
  }

  // Waits for the exit; the raw wait status, or -1 on time-out (killed).
  int Wait() {
    auto end = Clock::now() + kTimeout;
    while (Pump(20)) {
      if (Clock::now() > end) break;
    }
    int status = 0;
    while (true) {
      pid_t r = waitpid(pid, &status, WNOHANG);
      if (r == pid) break;
      if (Clock::now() > end) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        ADD_FAILURE() << "natd did not exit in time";
        status = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (outFd >= 0) close(outFd);
    if (errFd >= 0) close(errFd);
    outFd = errFd = -1;
    return status;
  }
};

// Starts natd with `args` (argv[0] is added). `keepFd` stays open in the
// child; `asNobody` runs it as user 65534 with no processes allowed.
Natd Spawn(const std::vector<std::string> &args, int keepFd = -1, bool asNobody = false,
           const std::vector<std::string> &prefix = {}) {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) abort();
  std::vector<std::string> all = prefix;
  all.push_back(NATD_BINARY);
  all.insert(all.end(), args.begin(), args.end());
  Natd n;
  n.pid = fork();
  if (n.pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    if (keepFd >= 0) fcntl(keepFd, F_SETFD, 0);
    if (asNobody) {
      // The leak checker of a sanitizer build needs a thread of its own,
      // which the process limit below forbids.
      const char *asan = getenv("ASAN_OPTIONS");
      std::string opts = std::string(asan ? asan : "") + (asan && *asan ? ":" : "") + "detect_leaks=0";
      setenv("ASAN_OPTIONS", opts.c_str(), 1);
      struct rlimit none = {0, 0};
      if (setgid(65534) != 0 || setuid(65534) != 0 || setrlimit(RLIMIT_NPROC, &none) != 0) _exit(99);
    }
    std::vector<char *> argv;
    for (std::string &a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(98);
  }
  close(out[1]);
  close(err[1]);
  n.outFd = out[0];
  n.errFd = err[0];
  return n;
}

struct Result {
  int status;  // exit status, or -1 when not a normal exit
  std::string out, err;
};

Result RunNatd(const std::vector<std::string> &args) {
  Natd n = Spawn(args);
  int st = n.Wait();
  return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, n.out, n.err};
}

// Sends `command` on a stream socket and collects the reply until `until`.
std::string Converse(int fd, const std::string &command, const std::string &until) {
  if (write(fd, command.data(), command.size()) != ssize_t(command.size())) return "<write failed>";
  std::string got;
  auto end = Clock::now() + kTimeout;
  while (got.find(until) == std::string::npos && Clock::now() < end) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buf[4096];
    ssize_t r = read(fd, buf, sizeof buf);
    if (r <= 0) break;
    got.append(buf, size_t(r));
  }
  return got;
}

std::string ControlUnix(pid_t pid, const std::string &command, const std::string &until) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", ControlPath(pid).c_str());
  std::string got = "<connect failed>";
  if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0)
    got = Converse(fd, command, until);
  close(fd);
  return got;
}

std::string ControlTcp(uint16_t port, const std::string &command, const std::string &until) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string got = "<connect failed>";
  if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) got = Converse(fd, command, until);
  close(fd);
  return got;
}

uint16_t FreeTcpPort() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
  close(s);
  return ntohs(a.sin_port);
}

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::stringstream ss(text);
  std::string line;
  while (std::getline(ss, line)) lines.push_back(line);
  return lines;
}

std::string Banner(const std::string &config, const std::string &device, const std::string &mac) {
  return "Using configuration file: " + config +
         ".\nIP address: 10.254.254.1\n Subnet: 255.255.255.0\nExternal IP address: 0.0.0.0\n"
         "Device: " + device + ".\nMAC address: " + mac +
         ".\nIgnoring host MAC address: 02:4E:A1:C0:00:08.\n";
}

class StartupTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Daemon mode forks: orphaned daemons come back to this process so that
    // their exit statuses can be collected.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
  }
  void SetUp() override {
    char tmpl[] = "/tmp/natd-startup-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    conf_ = dir_ + "/nat.conf";
    mac_ = dir_ + "/mac";
    dev_ = "unix:" + dir_ + "/dev.sock";
    WriteFile(conf_, "[host]\n");
  }
  void TearDown() override {
    std::string cmd = "rm -rf " + dir_;
    EXPECT_EQ(system(cmd.c_str()), 0);
  }
  // The usual leading arguments: configuration and MAC file in the scratch
  // directory.
  std::vector<std::string> Args(std::vector<std::string> more) {
    std::vector<std::string> a = {"-c", conf_, "-m", mac_};
    a.insert(a.end(), more.begin(), more.end());
    return a;
  }
  std::string dir_, conf_, mac_, dev_;
};

// ------------------------------------------------ command line and config

TEST_F(StartupTest, CommandLineFailures) {
  struct Case {
    const char *name;
    std::vector<std::string> args;
    const char *config;
    int status;
    std::string out, err;
  };
  const std::string usage = kUsage;
  const Case cases[] = {
      {"-h", {"-h"}, "[host]\n", 124, usage, ""},
      {"bad -I", {"-I", "300.1.2.3", "x"}, "[host]\n", 114, "", "300.1.2.3 is not valid IP address\n"},
      {"bad -M", {"-M", "02:4E:A1:C0:00", "x"}, "[host]\n", 115, "",
       "02:4E:A1:C0:00 is not a valid MAC address\n"},
      {"-s octal with 8", {"-s", "08", "x"}, "[host]\n", 132, "", "Invalid status pipe descriptor: 08\n"},
      {"-s negative", {"-s", "-3", "x"}, "[host]\n", 132, "", "Invalid status pipe descriptor: -3\n"},
      {"-s too large", {"-s", "4294967296", "x"}, "[host]\n", 132, "",
       "Invalid status pipe descriptor: 4294967296\n"},
      {"no device", {}, "[host]\nip = 10.0.0.1\n", 120, usage, ""},
      {"two devices", {"a", "b"}, "[host]\ndevice = c\n", 120, usage, ""},
      {"-G without device", {"-G"}, "[host]\ndevice = c\n", 120, usage, ""},
      {"hostMAC key", {"x"}, "[host]\nhostMAC = 02:4E:A1\n", 128,
       "Error with host MAC configuration parameter in configuration file.\n", ""},
      {"zero -M reads the key", {"-M", "00:00:00:00:00:00", "x"}, "[host]\nhostMAC = junk\n", 128,
       "Error with host MAC configuration parameter in configuration file.\n", ""},
      {"netmask not contiguous", {"x"}, "[host]\nnetmask = 255.0.255.0\n", 112, "",
       "255.0.255.0 is not valid netmask (invalid value)\n"},
      {"prefix 31", {"x"}, "[host]\nip = 192.168.1.1/31\n", 110, "",
       "Netmask must be in range 128.0.0.0 to 255.255.255.252\n"},
      {"netmask not a number", {"x"}, "[host]\nnetmask = 24bits\n", 111, "",
       "24bits is not valid netmask (not a number)\n"},
      {"netmask not a.b.c.d", {"x"}, "[host]\nnetmask = 255.255.255.300\n", 113, "",
       "255.255.255.300 is not valid netmask (not a.b.c.d)\n"},
      {"ip key", {"x"}, "[host]\nip = 10.0.0.256\n", 114, "", "10.0.0.256 is not valid IP address\n"},
      {"extIP key", {"x"}, "[host]\nextIP = outside/24\n", 114, "", "outside is not valid IP address\n"},
      {"device path missing", {"/nonexistent/qlink"}, "[host]\n", 119, "",
       "Cannot open network device `/nonexistent/qlink': No such file or directory\n"},
      {"not the device", {"/dev/null"}, "[host]\n", 129, "",
       "Cannot get module qlink version: Inappropriate ioctl for device\n"},
      {"device socket directory missing", {"unix:/nonexistent/dir/sock"}, "[host]\n", 119, "",
       "Cannot open network device `unix:/nonexistent/dir/sock': No such file or directory\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(conf_, c.config);
    Result r = RunNatd(Args(c.args));
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
  }
  EXPECT_FALSE(Exists(mac_)) << "no failure before the device step writes the MAC file";

  // getopt reports unknown options and missing arguments itself.
  Result unknown = RunNatd(Args({"-x", "dev"}));
  EXPECT_EQ(unknown.status, 126);
  EXPECT_EQ(unknown.out, "");
  EXPECT_NE(unknown.err.find("invalid option"), std::string::npos) << unknown.err;
  Result missing = RunNatd({"-c"});
  EXPECT_EQ(missing.status, 126);
  EXPECT_NE(missing.err.find("requires an argument"), std::string::npos) << missing.err;
}

TEST_F(StartupTest, SampleFile) {
  WriteFile(conf_, "[host]\nip = 1.2.3.4/16\nhostMAC = 02:4E:A1:C0:00:99\n");
  Result r = RunNatd(Args({"-G", "-I", "192.168.5.1", "unix:/tmp/x.sock"}));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  std::vector<std::string> lines = Lines(ReadFile(conf_));
  const std::vector<std::string> head = {
      "# Windows NAT configuration file",
      "",
      "[host]",
      "",
      "# NAT gateway address",
      "ip = 192.168.5.1/24",
      "hostMAC = 02:4E:A1:C0:00:99",
      "",
      "# enable configuration; disabled by default for security reasons",
      "#configport = 33445",
      "",
      "# Qlink device if not specified on command line",
      "device = unix:/tmp/x.sock",
      "",
      "# Allow PORT/EPRT FTP commands (they need incoming TCP stream...)",
      "activeFTP = 1",
      "",
      "# Allows the source to have any OUI.  Turn this one if you change the OUI",
      "# in the MAC address of your virtual machines.",
      "#allowAnyOUI = 1",
      "",
      "[udp]",
      "# Timeout in seconds, 0 = no timeout, default = 60; real value might",
      "# be up to 100% longer",
      "timeout = 30",
      "",
      "[dns]",
  };
  ASSERT_GT(lines.size(), head.size());
  for (size_t i = 0; i < head.size(); ++i) EXPECT_EQ(lines[i], head[i]) << "line " << i + 1;

  // The later sections in their order, with the lines whose text is fixed.
  auto at = [&](const std::string &line) {
    for (size_t i = 0; i < lines.size(); ++i)
      if (lines[i] == line) return long(i);
    return -1L;
  };
  const char *ordered[] = {"[dns]",         "policy = order;", "timeout = 2",    "retries = 3",
                           "autodetect = 1", "[netbios]",       "nbnsTimeout = 2", "nbnsRetries = 3",
                           "nbdsTimeout = 3", "[incomingtcp]",  "[incomingudp]",
                           "# UDP port forwarding example"};
  long prev = -1;
  for (const char *line : ordered) {
    long pos = at(line);
    EXPECT_GT(pos, prev) << line;
    prev = pos;
  }
  for (const char *commented : {"#nameserver1 = ", "#nameserver2 = ", "#nameserver3 = ", "#8887 = ",
                                "#8888 = ", "#8889 = ", "#6000 = "}) {
    bool found = false;
    for (const std::string &l : lines) found |= l.rfind(commented, 0) == 0;
    EXPECT_TRUE(found) << commented;
  }

  // With -M the key is not read, and the default address is 10.254.254.1.
  WriteFile(conf_, "[host]\nhostMAC = junk\n");
  r = RunNatd(Args({"-G", "-M", "02:4e:a1:c0:00:0a", "dev"}));
  ASSERT_EQ(r.status, 0);
  lines = Lines(ReadFile(conf_));
  ASSERT_GT(lines.size(), 7u);
  EXPECT_EQ(lines[5], "ip = 10.254.254.1/24");
  EXPECT_EQ(lines[6], "hostMAC = 02:4E:A1:C0:00:0A");

  // A file that cannot be written: 255, silently.
  r = RunNatd({"-c", dir_ + "/missing/nat.conf", "-m", mac_, "-G", "dev"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
}

TEST_F(StartupTest, PanicEndsWith255) {
  // The character-set set-up of the first step panics on an unknown
  // file-name encoding.
  setenv("G_FILENAME_ENCODING", "NO-SUCH-CHARSET", 1);
  Natd n = Spawn(Args({dev_}));
  unsetenv("G_FILENAME_ENCODING");
  int st = n.Wait();
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 255);
  EXPECT_EQ(n.out, "");
  EXPECT_EQ(n.err,
            "Zelmor NAT Panic: Unsupported local character encoding \"NO-SUCH-CHARSET\".\n\n");
}

// ------------------------------------------------- forwards and ports

TEST_F(StartupTest, ForwardAndPrivilegedPortFailures) {
  // A UDP and a TCP port that are taken, so that the forwards cannot bind.
  int udp = socket(AF_INET, SOCK_DGRAM, 0);
  int tcp = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ASSERT_EQ(bind(udp, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
  ASSERT_EQ(bind(tcp, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
  ASSERT_EQ(listen(tcp, 1), 0);
  socklen_t len = sizeof a;
  getsockname(udp, reinterpret_cast<sockaddr *>(&a), &len);
  std::string udpPort = std::to_string(ntohs(a.sin_port));
  len = sizeof a;
  getsockname(tcp, reinterpret_cast<sockaddr *>(&a), &len);
  std::string tcpPort = std::to_string(ntohs(a.sin_port));

  struct Case {
    std::string config;
    int status;
    std::string err;
  };
  const Case cases[] = {
      {"[IncomingTCP]\n8080 = 10.0.0.5\n", 108,
       "10.0.0.5 is not valid TCP destination address in form a.b.c.d:port\n"},
      {"[incomingtcp]\n0 = 10.0.0.5:80\n", 109, "0 is not valid TCP port number\n"},
      {"[IncomingTCP]\n8080 = 10.0.0.5:99999\n", 107,
       "10.0.0.5:99999 does not contain valid TCP port number\n"},
      {"[IncomingTCP]\n8080 = 10.0.0.x:80\n", 106, "10.0.0.x is not valid TCP destination address\n"},
      {"[IncomingUDP]\n5353 = 10.0.0.5\n", 108,
       "10.0.0.5 is not valid UDP destination address in form a.b.c.d:port\n"},
      {"[IncomingUDP]\nport = 10.0.0.5:53\n", 109, "port is not valid UDP port number\n"},
      {"[IncomingUDP]\n5353 = 10.0.0.5:\n", 107, "10.0.0.5: does not contain valid UDP port number\n"},
      {"[IncomingUDP]\n5353 = :53\n", 106, " is not valid UDP destination address\n"},
      {"[IncomingTCP]\n" + tcpPort + " = 10.0.0.5:22\n", 105,
       "Cannot create TCP forwarding entry for " + tcpPort + " => 10.0.0.5:22\n"},
      {"[IncomingUDP]\n" + udpPort + " = 10.0.0.5:53\n", 105,
       "Cannot create UDP forwarding entry for " + udpPort + " => 10.0.0.5:53\n"},
      {"[PrivilegedTCP]\nport = 21\nport = 0\n", 131,
       "The specified port: 0 in section PrivilegedTCP is not a valid port number\n"},
      {"[PrivilegedUDP]\nPORT = 53x\n", 131,
       "The specified port: 53x in section PrivilegedUDP is not a valid port number\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.config);
    unlink(mac_.c_str());
    WriteFile(conf_, c.config);
    Result r = RunNatd(Args({dev_}));
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
    EXPECT_TRUE(Exists(mac_)) << "the MAC file is written before the forwards";
    EXPECT_FALSE(Exists(dir_ + "/dev.sock")) << "the shutdown released the device";
  }
  close(udp);
  close(tcp);
}

// ------------------------------------------------- running daemon

TEST_F(StartupTest, UnixDeviceReachesTheLoopAndAnswersControl) {
  uint16_t port = FreeTcpPort();
  WriteFile(conf_, "[host]\nconfigport = " + std::to_string(port) + "\n");
  WriteFile(mac_, "  02:4E:A1:01:02:03 \n");
  Natd n = Spawn(Args({dev_}));
  ASSERT_TRUE(n.WaitForOutput("Ignoring host MAC address")) << n.out << n.err;
  ASSERT_TRUE(n.WaitForOutput("08.\n"));
  EXPECT_EQ(n.out, Banner(conf_, dev_, "02:4E:A1:01:02:03"));
  EXPECT_EQ(ReadFile(mac_), "02:4E:A1:01:02:03\n");
  EXPECT_TRUE(Exists(dir_ + "/dev.sock"));

  std::string reply = ControlUnix(n.pid, "CONNS\r\n", "200 OK\r\n");
  EXPECT_EQ(reply.rfind("210-Control connections\r\n211-fd ", 0), 0u) << reply;
  EXPECT_NE(reply.find(", from <zero>\r\n219-1 entries\r\n"), std::string::npos) << reply;
  EXPECT_GE(reply.size(), 8u);
  EXPECT_EQ(reply.substr(reply.size() - 8), "200 OK\r\n");

  reply = ControlTcp(port, "s\nQUIT\n", "200 OK\r\n200 OK\r\n");
  EXPECT_NE(reply.find(", from 127.0.0.1/"), std::string::npos) << reply;
  EXPECT_EQ(reply.substr(reply.size() - 16), "200 OK\r\n200 OK\r\n");

  // SIGUSR1, SIGUSR2 and SIGPIPE are ignored.
  kill(n.pid, SIGUSR1);
  kill(n.pid, SIGPIPE);
  EXPECT_NE(ControlUnix(n.pid, "S\n", "200 OK\r\n").find("200 OK\r\n"), std::string::npos);

  kill(n.pid, SIGTERM);
  int st = n.Wait();
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 0);
  EXPECT_EQ(n.err, "");
  EXPECT_FALSE(Exists(ControlPath(n.pid)));
  EXPECT_FALSE(Exists(dir_ + "/dev.sock"));

  // Without the MAC file's line the next start gets a MAC of its own range,
  // and publishes it.
  unlink(mac_.c_str());
  Natd again = Spawn(Args({dev_}));
  ASSERT_TRUE(again.WaitForOutput("Ignoring host MAC address"));
  kill(again.pid, SIGTERM);
  EXPECT_EQ(again.Wait(), 0);
  std::string mac = ReadFile(mac_);
  ASSERT_EQ(mac.size(), 18u);
  EXPECT_EQ(mac.substr(0, 9), "02:4E:A1:");
  EXPECT_LE(std::stoi(mac.substr(9, 2), nullptr, 16), 0x3F);
  EXPECT_NE(again.out.find("MAC address: " + mac.substr(0, 17) + ".\n"), std::string::npos);
}

TEST_F(StartupTest, TerminatingAndUnexpectedSignals) {
  struct Case {
    int sig;
    bool debug;
    int status;
    std::string err;
  };
  const Case cases[] = {
      {SIGTERM, false, 0, ""},
      {SIGINT, true, 0, "Exiting due to signal 2\n"},
      {SIGHUP, true, 0, "Exiting due to signal 1\n"},
      {SIGSEGV, false, 123, "Caught unexpected signal 11\nExiting.\n"},
      {SIGQUIT, false, 123, "Caught unexpected signal 3\nExiting.\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.sig);
    std::vector<std::string> args = c.debug ? Args({"-D", dev_}) : Args({dev_});
    Natd n = Spawn(args);
    ASSERT_TRUE(n.WaitForOutput("Ignoring host MAC address"));
    ASSERT_TRUE(Exists(ControlPath(n.pid)));
    kill(n.pid, c.sig);
    int st = n.Wait();
    ASSERT_TRUE(WIFEXITED(st)) << "status " << st;
    EXPECT_EQ(WEXITSTATUS(st), c.status);
    EXPECT_EQ(n.err, c.err);
    EXPECT_FALSE(Exists(ControlPath(n.pid))) << "the shutdown removed the control socket";
  }
}

TEST_F(StartupTest, StatusDescriptor) {
  // A pipe: exactly two zero bytes, then the daemon closes its end.
  int p[2];
  ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
  Natd n = Spawn(Args({"-s", std::to_string(p[1]), dev_}), p[1]);
  close(p[1]);
  ASSERT_TRUE(n.WaitForOutput("Ignoring host MAC address"));
  std::string got;
  char buf[16];
  ssize_t r;
  while ((r = read(p[0], buf, sizeof buf)) > 0) got.append(buf, size_t(r));
  EXPECT_EQ(got, std::string(2, '\0'));
  close(p[0]);
  kill(n.pid, SIGTERM);
  EXPECT_EQ(n.Wait(), 0);

  // A descriptor that is not open: start-up goes on.
  Natd closed = Spawn(Args({"-s", "250", dev_}));
  ASSERT_TRUE(closed.WaitForOutput("Ignoring host MAC address"));
  kill(closed.pid, SIGTERM);
  EXPECT_EQ(closed.Wait(), 0);

  // A descriptor that cannot be written: 132, before the banner.
  ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
  Natd bad = Spawn(Args({"-s", std::to_string(p[0]), dev_}), p[0]);
  int st = bad.Wait();
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 132);
  EXPECT_EQ(bad.out, "");
  close(p[0]);
  close(p[1]);
  unlink(ControlPath(bad.pid).c_str());  // this exit skips the shutdown
}

// ------------------------------------------------- daemon mode

// Collects a daemon that was re-parented to this process.
int WaitForPid(pid_t pid) {
  auto end = Clock::now() + kTimeout;
  int status = 0;
  while (Clock::now() < end) {
    if (waitpid(pid, &status, WNOHANG) == pid) return status;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  ADD_FAILURE() << "daemon " << pid << " did not exit";
  return -1;
}

// The first orphan that comes back to this process.
pid_t WaitForAnyChild(int *status) {
  auto end = Clock::now() + kTimeout;
  while (Clock::now() < end) {
    pid_t r = waitpid(-1, status, WNOHANG);
    if (r > 0) return r;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

TEST_F(StartupTest, DaemonModeAndPidFile) {
  std::string pidFile = dir_ + "/natd.pid";
  int p[2];
  ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
  Natd n = Spawn(Args({"-d", pidFile, "-s", std::to_string(p[1]), dev_}), p[1]);
  close(p[1]);
  int st = n.Wait();
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 0) << "the parent of daemon() leaves at once";
  // The status report comes from the daemon once it is set up.
  std::string got;
  char buf[16];
  ssize_t r;
  while ((r = read(p[0], buf, sizeof buf)) > 0) got.append(buf, size_t(r));
  close(p[0]);
  EXPECT_EQ(got, std::string(2, '\0'));

  std::string text = ReadFile(pidFile);
  ASSERT_FALSE(text.empty());
  pid_t daemonPid = pid_t(std::stoul(text));
  EXPECT_EQ(text, std::to_string(daemonPid) + "\n");
  EXPECT_NE(daemonPid, n.pid);
  EXPECT_NE(ControlUnix(daemonPid, "CONNS\n", "200 OK\r\n").find("200 OK\r\n"), std::string::npos);
  kill(daemonPid, SIGTERM);
  st = WaitForPid(daemonPid);
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 0);
  EXPECT_FALSE(Exists(pidFile));
  EXPECT_FALSE(Exists(ControlPath(daemonPid)));
}

TEST_F(StartupTest, PidFileCannotBeWritten) {
  Natd n = Spawn(Args({"-d", dir_ + "/missing/natd.pid", dev_}));
  int st = n.Wait();
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 0);
  int status = 0;
  pid_t daemonPid = WaitForAnyChild(&status);
  ASSERT_GT(daemonPid, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 121);
  EXPECT_FALSE(Exists(ControlPath(daemonPid)));
}

TEST_F(StartupTest, DaemonFailsWithoutProcesses) {
  if (getuid() != 0) FAIL() << "needs root to run natd as another user";
  // natd runs as nobody with no process allowed, so daemon() cannot fork.
  ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
  ASSERT_EQ(chmod(conf_.c_str(), 0644), 0);
  Natd n = Spawn(Args({"-d", dir_ + "/natd.pid", dev_}), -1, true);
  int st = n.Wait();
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 127);
  EXPECT_EQ(n.err, "daemon failed: Resource temporarily unavailable.\n");
  EXPECT_FALSE(Exists(dir_ + "/natd.pid"));
}

// ------------------------------------------------- TAP in a namespace

class TapTest : public StartupTest {
 protected:
  void SetUp() override {
    StartupTest::SetUp();
    if (getuid() != 0) FAIL() << "the TAP test needs root";
    ns_ = "natd-h3-" + std::to_string(getpid());
    ASSERT_EQ(system(("ip netns add " + ns_).c_str()), 0);
    ASSERT_EQ(system(("ip netns exec " + ns_ + " ip link set lo up").c_str()), 0);
  }
  void TearDown() override {
    EXPECT_EQ(system(("ip netns del " + ns_).c_str()), 0);
    StartupTest::TearDown();
  }
  // Runs `fn` in a child that has joined the namespace; returns its output.
  template <typename Fn>
  std::string InNamespace(Fn fn) {
    int p[2];
    if (pipe(p) != 0) return "<pipe failed>";
    pid_t pid = fork();
    if (pid == 0) {
      close(p[0]);
      int nsFd = open(("/var/run/netns/" + ns_).c_str(), O_RDONLY);
      if (nsFd < 0 || setns(nsFd, CLONE_NEWNET) != 0) _exit(1);
      std::string out = fn();
      (void)!write(p[1], out.data(), out.size());
      _exit(0);
    }
    close(p[1]);
    std::string got;
    char buf[4096];
    ssize_t r;
    while ((r = read(p[0], buf, sizeof buf)) > 0) got.append(buf, size_t(r));
    close(p[0]);
    int st;
    waitpid(pid, &st, 0);
    return got;
  }
  std::string ns_;
};

TEST_F(TapTest, TapDeviceReachesTheLoopAndAnswersControl) {
  uint16_t port = 34000 + uint16_t(getpid() % 1000);
  WriteFile(conf_, "[host]\nconfigport = " + std::to_string(port) + "\n");
  WriteFile(mac_, "02:4E:A1:0A:0B:0C\n");
  Natd n = Spawn(Args({"tap:nh3t0"}), -1, false, {"/usr/sbin/ip", "netns", "exec", ns_});
  ASSERT_TRUE(n.WaitForOutput("Ignoring host MAC address")) << n.out << n.err;
  ASSERT_TRUE(n.WaitForOutput("08.\n"));
  EXPECT_EQ(n.out, Banner(conf_, "tap:nh3t0", "02:4E:A1:0A:0B:0C"));

  std::string link = InNamespace([] {
    FILE *f = popen("ip -o link show nh3t0", "r");
    std::string text;
    char buf[512];
    while (f && fgets(buf, sizeof buf, f)) text += buf;
    if (f) pclose(f);
    return text;
  });
  EXPECT_NE(link.find(",UP"), std::string::npos) << link;
  EXPECT_NE(link.find("ALLMULTI"), std::string::npos) << link;
  EXPECT_EQ(system("ip -o link show nh3t0 >/dev/null 2>&1") == 0, false)
      << "the interface exists only in the test's namespace";

  std::string reply = ControlUnix(n.pid, "CONNS\r\n", "200 OK\r\n");
  EXPECT_EQ(reply.rfind("210-Control connections\r\n", 0), 0u) << reply;
  EXPECT_EQ(reply.substr(reply.size() >= 8 ? reply.size() - 8 : 0), "200 OK\r\n");
  reply = InNamespace([port] { return ControlTcp(port, "conns\r\n", "200 OK\r\n"); });
  EXPECT_NE(reply.find(", from 127.0.0.1/"), std::string::npos) << reply;
  EXPECT_EQ(reply.substr(reply.size() >= 8 ? reply.size() - 8 : 0), "200 OK\r\n");

  kill(n.pid, SIGTERM);
  int st = n.Wait();
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 0);
  EXPECT_FALSE(Exists(ControlPath(n.pid)));
}

}  // namespace
