// Start-up of the natd binary: every exit status of start-up with its message
// on the right stream, the sample file, signals, daemon mode and pid file, the
// status descriptor, and a daemon that reaches its event loop on a UNIX
// datagram device and on a TAP device in a network namespace of the test's
// own, answering on its control socket and configport. Each run uses a
// scratch directory; only the control socket lives in /var/run.
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
  std::stringstream ss;
  ss << std::ifstream(path).rdbuf();
  return ss.str();
}

void WriteFile(const std::string &path, const std::string &text) { std::ofstream(path) << text; }

// Everything up to EOF on `fd`, which is then closed.
std::string ReadAll(int fd) {
  std::string got;
  char buf[4096];
  for (ssize_t r; (r = read(fd, buf, sizeof buf)) > 0;) got.append(buf, size_t(r));
  close(fd);
  return got;
}

bool EndsWith(const std::string &s, const std::string &tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Reaps `pid` (-1: any child, such as an orphaned daemon), polling until the
// time-out; a specific pid is then killed. The pid reaped, or -1.
pid_t Reap(pid_t pid, int *status) {
  for (auto end = Clock::now() + kTimeout; Clock::now() < end;) {
    pid_t r = waitpid(pid, status, WNOHANG);
    if (r > 0) return r;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (pid > 0) {
    kill(pid, SIGKILL);
    waitpid(pid, status, 0);
  }
  ADD_FAILURE() << "process " << pid << " did not exit in time";
  return -1;
}

int ExitCode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

// A natd process with pipes on its standard output and error.
struct Natd {
  pid_t pid = -1;
  int outFd = -1, errFd = -1;
  int status = -1;  // set by RunNatd
  std::string out, err;

  // Reads what is available (waiting up to `ms`); false at EOF on both.
  bool Pump(int ms) {
    struct pollfd p[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    bool ready = poll(p, 2, ms) > 0;
    int *fds[2] = {&outFd, &errFd};
    std::string *text[2] = {&out, &err};
    for (int i = 0; i < 2; ++i) {
      if (*fds[i] < 0 || !ready || !(p[i].revents & (POLLIN | POLLHUP))) continue;
      char buf[4096];
      ssize_t r = read(*fds[i], buf, sizeof buf);
      if (r > 0) {
        text[i]->append(buf, size_t(r));
      } else {
        close(*fds[i]);
        *fds[i] = -1;
      }
    }
    return outFd >= 0 || errFd >= 0;
  }

  bool WaitForOutput(const std::string &text) {
    auto end = Clock::now() + kTimeout;
    while (out.find(text) == std::string::npos && Clock::now() < end)
      if (!Pump(100)) break;
    return out.find(text) != std::string::npos;
  }

  // Waits for the exit; its exit status, or -1 (killed on time-out, signal).
  int Wait() {
    for (auto end = Clock::now() + kTimeout; Pump(20) && Clock::now() < end;) {
    }
    int status = 0;
    pid_t r = Reap(pid, &status);
    for (int fd : {outFd, errFd})
      if (fd >= 0) close(fd);
    outFd = errFd = -1;
    return r == pid ? ExitCode(status) : -1;
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

// Runs natd with `args` to its exit.
Natd RunNatd(const std::vector<std::string> &args) {
  Natd n = Spawn(args);
  n.status = n.Wait();
  return n;
}

// Sends `command` on natd's control socket (TCP on loopback when `port` is
// set, else the UNIX socket of `pid`) and collects the reply until `until`.
std::string Control(pid_t pid, uint16_t port, const std::string &command, const std::string &until) {
  sockaddr_un un{};
  un.sun_family = AF_UNIX;
  snprintf(un.sun_path, sizeof un.sun_path, "%s", ControlPath(pid).c_str());
  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_port = htons(port);
  in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int fd = socket(port ? AF_INET : AF_UNIX, SOCK_STREAM, 0);
  int c = port ? connect(fd, reinterpret_cast<sockaddr *>(&in), sizeof in)
               : connect(fd, reinterpret_cast<sockaddr *>(&un), sizeof un);
  if (c != 0 || write(fd, command.data(), command.size()) != ssize_t(command.size())) {
    close(fd);
    return "<connect failed>";
  }
  std::string got;
  for (auto end = Clock::now() + kTimeout; got.find(until) == std::string::npos && Clock::now() < end;) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buf[4096];
    ssize_t r = read(fd, buf, sizeof buf);
    if (r <= 0) break;
    got.append(buf, size_t(r));
  }
  close(fd);
  return got;
}

// A socket of `type` bound to an ephemeral port on every address; *port is
// set to that port.
int Bound(int type, uint16_t *port) {
  int s = socket(AF_INET, type, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  socklen_t len = sizeof a;
  if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) != 0)
    ADD_FAILURE() << "bind: " << strerror(errno);
  *port = ntohs(a.sin_port);
  return s;
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
  void TearDown() override { EXPECT_EQ(system(("rm -rf " + dir_).c_str()), 0); }
  // `more` after the configuration and MAC file of the scratch directory.
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
      {"capture file cannot be created", {dev_}, "[host]\npcapfile = /nonexistent/k.pcap\n", 133, "",
       "Cannot open capture file `/nonexistent/k.pcap': No such file or directory\n"},
      {"-w before the pcapfile key", {"-w", "/nonexistent/w.pcap", dev_},
       "[host]\npcapfile = /nonexistent/k.pcap\n", 133, "",
       "Cannot open capture file `/nonexistent/w.pcap': No such file or directory\n"},
      {"device socket directory missing", {"unix:/nonexistent/dir/sock"}, "[host]\n", 119, "",
       "Cannot open network device `unix:/nonexistent/dir/sock': No such file or directory\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(conf_, c.config);
    Natd r = RunNatd(Args(c.args));
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
  }
  EXPECT_FALSE(Exists(mac_)) << "no failure before the device step writes the MAC file";

  // getopt reports unknown options and missing arguments itself.
  for (auto [args, text] : {std::pair{Args({"-x", "dev"}), "invalid option"},
                            std::pair{std::vector<std::string>{"-c"}, "requires an argument"}}) {
    Natd r = RunNatd(args);
    EXPECT_EQ(r.status, 126);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(text), std::string::npos) << r.err;
  }
}

TEST_F(StartupTest, SampleFile) {
  WriteFile(conf_, "[host]\nip = 1.2.3.4/16\nhostMAC = 02:4E:A1:C0:00:99\n");
  Natd r = RunNatd(Args({"-G", "-I", "192.168.5.1", "unix:/tmp/x.sock"}));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out + r.err, "");
  const std::string text = ReadFile(conf_);
  const std::string head = R"(# Windows NAT configuration file

[host]

# NAT gateway address
ip = 192.168.5.1/24
hostMAC = 02:4E:A1:C0:00:99

# enable configuration; disabled by default for security reasons
#configport = 33445

# Qlink device if not specified on command line
device = unix:/tmp/x.sock

# Allow PORT/EPRT FTP commands (they need incoming TCP stream...)
activeFTP = 1

# Allows the source to have any OUI.  Turn this one if you change the OUI
# in the MAC address of your virtual machines.
#allowAnyOUI = 1

[udp]
# Timeout in seconds, 0 = no timeout, default = 60; real value might
# be up to 100% longer
timeout = 30

[dns]
)";
  EXPECT_EQ(text.substr(0, head.size()), head);

  // The later lines whose text is fixed, in their order; those ending in a
  // space are commented examples matched by their start.
  std::vector<std::string> lines = Lines(text);
  size_t at = 0;
  for (const std::string want :
       {"policy = order;", "timeout = 2", "retries = 3", "autodetect = 1", "#nameserver1 = ",
        "#nameserver2 = ", "#nameserver3 = ", "[netbios]", "nbnsTimeout = 2", "nbnsRetries = 3",
        "nbdsTimeout = 3", "[incomingtcp]", "#8887 = ", "#8888 = ", "#8889 = ", "[incomingudp]",
        "# UDP port forwarding example", "#6000 = "}) {
    while (at < lines.size() &&
           !(lines[at] == want || (want.back() == ' ' && lines[at].rfind(want, 0) == 0)))
      ++at;
    EXPECT_LT(at++, lines.size()) << "missing or out of order: " << want;
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
  EXPECT_EQ(r.out + r.err, "");
}

TEST_F(StartupTest, PanicEndsWith255) {
  // The character-set set-up of the first step panics on an unknown
  // file-name encoding.
  setenv("G_FILENAME_ENCODING", "NO-SUCH-CHARSET", 1);
  Natd n = Spawn(Args({dev_}));
  unsetenv("G_FILENAME_ENCODING");
  EXPECT_EQ(n.Wait(), 255);
  EXPECT_EQ(n.out, "");
  EXPECT_EQ(n.err,
            "Zelmor NAT Panic: Unsupported local character encoding \"NO-SUCH-CHARSET\".\n\n");
}

// ------------------------------------------------- forwards and ports

TEST_F(StartupTest, ForwardAndPrivilegedPortFailures) {
  // A UDP and a TCP port that are taken, so that the forwards cannot bind.
  uint16_t u, t;
  int udp = Bound(SOCK_DGRAM, &u), tcp = Bound(SOCK_STREAM, &t);
  ASSERT_EQ(listen(tcp, 1), 0);
  const std::string udpPort = std::to_string(u), tcpPort = std::to_string(t);

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
    Natd r = RunNatd(Args({dev_}));
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
  uint16_t port;
  close(Bound(SOCK_STREAM, &port));
  WriteFile(conf_, "[host]\nconfigport = " + std::to_string(port) + "\n");
  WriteFile(mac_, "  02:4E:A1:01:02:03 \n");
  Natd n = Spawn(Args({dev_}));
  ASSERT_TRUE(n.WaitForOutput("Ignoring host MAC address")) << n.out << n.err;
  ASSERT_TRUE(n.WaitForOutput("08.\n"));
  EXPECT_EQ(n.out, Banner(conf_, dev_, "02:4E:A1:01:02:03"));
  EXPECT_EQ(ReadFile(mac_), "02:4E:A1:01:02:03\n");
  EXPECT_TRUE(Exists(dir_ + "/dev.sock"));

  std::string reply = Control(n.pid, 0, "CONNS\r\n", "200 OK\r\n");
  EXPECT_EQ(reply.rfind("210-Control connections\r\n211-fd ", 0), 0u) << reply;
  EXPECT_NE(reply.find(", from <zero>\r\n219-1 entries\r\n"), std::string::npos) << reply;
  EXPECT_TRUE(EndsWith(reply, "200 OK\r\n")) << reply;

  reply = Control(0, port, "s\nQUIT\n", "200 OK\r\n200 OK\r\n");
  EXPECT_NE(reply.find(", from 127.0.0.1/"), std::string::npos) << reply;
  EXPECT_TRUE(EndsWith(reply, "200 OK\r\n200 OK\r\n")) << reply;

  // SIGUSR1, SIGUSR2 and SIGPIPE are ignored.
  kill(n.pid, SIGUSR1);
  kill(n.pid, SIGPIPE);
  EXPECT_TRUE(EndsWith(Control(n.pid, 0, "S\n", "200 OK\r\n"), "200 OK\r\n"));

  kill(n.pid, SIGTERM);
  EXPECT_EQ(n.Wait(), 0);
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
    EXPECT_EQ(n.Wait(), c.status);
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
  EXPECT_EQ(ReadAll(p[0]), std::string(2, '\0'));
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
  EXPECT_EQ(bad.Wait(), 132);
  EXPECT_EQ(bad.out, "");
  close(p[0]);
  close(p[1]);
  unlink(ControlPath(bad.pid).c_str());  // this exit skips the shutdown
}

// ------------------------------------------------- daemon mode

TEST_F(StartupTest, DaemonModeAndPidFile) {
  std::string pidFile = dir_ + "/natd.pid";
  int p[2];
  ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
  Natd n = Spawn(Args({"-d", pidFile, "-s", std::to_string(p[1]), dev_}), p[1]);
  close(p[1]);
  EXPECT_EQ(n.Wait(), 0) << "the parent of daemon() leaves at once";
  EXPECT_EQ(ReadAll(p[0]), std::string(2, '\0')) << "reported by the daemon once set up";

  std::string text = ReadFile(pidFile);
  ASSERT_FALSE(text.empty());
  pid_t daemonPid = pid_t(std::stoul(text));
  EXPECT_EQ(text, std::to_string(daemonPid) + "\n");
  EXPECT_NE(daemonPid, n.pid);
  EXPECT_TRUE(EndsWith(Control(daemonPid, 0, "CONNS\n", "200 OK\r\n"), "200 OK\r\n"));
  kill(daemonPid, SIGTERM);
  int st = 0;
  ASSERT_EQ(Reap(daemonPid, &st), daemonPid);
  EXPECT_EQ(ExitCode(st), 0);
  EXPECT_FALSE(Exists(pidFile));
  EXPECT_FALSE(Exists(ControlPath(daemonPid)));
}

TEST_F(StartupTest, PidFileCannotBeWritten) {
  Natd n = Spawn(Args({"-d", dir_ + "/missing/natd.pid", dev_}));
  EXPECT_EQ(n.Wait(), 0);
  int status = 0;
  pid_t daemonPid = Reap(-1, &status);
  ASSERT_GT(daemonPid, 0);
  EXPECT_EQ(ExitCode(status), 121);
  EXPECT_FALSE(Exists(ControlPath(daemonPid)));
}

TEST_F(StartupTest, DaemonFailsWithoutProcesses) {
  if (getuid() != 0) FAIL() << "needs root to run natd as another user";
  // natd runs as nobody with no process allowed, so daemon() cannot fork.
  ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
  ASSERT_EQ(chmod(conf_.c_str(), 0644), 0);
  Natd n = Spawn(Args({"-d", dir_ + "/natd.pid", dev_}), -1, true);
  EXPECT_EQ(n.Wait(), 127);
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
    std::string got = ReadAll(p[0]);
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

  FILE *f = popen(("ip netns exec " + ns_ + " ip -o link show nh3t0").c_str(), "r");
  std::string link = f ? ReadAll(dup(fileno(f))) : "<popen failed>";
  if (f) pclose(f);
  EXPECT_NE(link.find(",UP"), std::string::npos) << link;
  EXPECT_NE(link.find("ALLMULTI"), std::string::npos) << link;
  EXPECT_NE(system("ip -o link show nh3t0 >/dev/null 2>&1"), 0)
      << "the interface exists only in the test's namespace";

  std::string reply = Control(n.pid, 0, "CONNS\r\n", "200 OK\r\n");
  EXPECT_EQ(reply.rfind("210-Control connections\r\n", 0), 0u) << reply;
  EXPECT_TRUE(EndsWith(reply, "200 OK\r\n")) << reply;
  reply = InNamespace([port] { return Control(0, port, "conns\r\n", "200 OK\r\n"); });
  EXPECT_NE(reply.find(", from 127.0.0.1/"), std::string::npos) << reply;
  EXPECT_TRUE(EndsWith(reply, "200 OK\r\n")) << reply;

  kill(n.pid, SIGTERM);
  EXPECT_EQ(n.Wait(), 0);
  EXPECT_FALSE(Exists(ControlPath(n.pid)));
}

}  // namespace
