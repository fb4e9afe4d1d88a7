// Control server: listeners, the line protocol and the control-connection
// section of the status reply, driven in-process through the event loop
// with real UNIX-domain and loopback TCP clients.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "control/ctl.h"
#include "core/config.h"
#include "core/poll.h"
#include "core/settings.h"
#include "core/timer.h"
#include "lib/util.h"
#include "nat/icmp.h"
#include "nat/tcp.h"
#include "nat/tcp_accept.h"
#include "nat/udp.h"
#include "packet/arp.h"
#include "packet/skbuff.h"

namespace {

std::string ControlPath() { return "/var/run/qlnat." + std::to_string(getpid()); }

// A client of the control socket, first bound to `bindPath` when given (in
// the abstract namespace when `abstractName`).
int ConnectUnix(const std::string &bindPath, bool abstractName) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (!bindPath.empty()) {
    memcpy(addr.sun_path + abstractName, bindPath.data(), bindPath.size());
    socklen_t len = socklen_t(offsetof(sockaddr_un, sun_path) + abstractName + bindPath.size());
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), len), 0) << strerror(errno);
    addr = sockaddr_un{AF_UNIX, {}};
  }
  strcpy(addr.sun_path, ControlPath().c_str());
  EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0) << strerror(errno);
  Fd_SetNonBlocking(fd);
  return fd;
}

void SendText(int fd, const std::string &text) {
  ASSERT_EQ(write(fd, text.data(), text.size()), ssize_t(text.size()));
}

// Runs the loop and collects what `fd` receives until `done` holds (or the
// peer closes, or 2000 passes have gone by).
template <typename Done>
std::string Collect(int fd, Done done, bool *closed = nullptr) {
  std::string got;
  for (int pass = 0; pass < 2000 && !done(got); ++pass) {
    Poll_RunOnce(5);
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) got.append(buf, size_t(n));
    if (n == 0) {
      if (closed) *closed = true;
      break;
    }
  }
  return got;
}

size_t Count(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) n++;
  return n;
}

bool EndsWith(const std::string &s, const std::string &tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

auto Replies(size_t n) {
  return [n](const std::string &s) { return Count(s, "200 OK\r\n") >= n; };
}

// The control-connection section: the peers in listed order and the count.
struct ConnSection {
  std::vector<int> fds;
  std::vector<std::string> peers;
  unsigned entries = ~0u;
};

ConnSection ParseConns(const std::string &reply) {
  ConnSection s;
  size_t end = reply.find("219-");
  const std::string prefix = "211-fd ";
  for (size_t pos = reply.find(prefix); pos < end; pos = reply.find(prefix, pos + 1)) {
    size_t comma = reply.find(", from ", pos);
    size_t eol = reply.find("\r\n", pos);
    if (comma == std::string::npos || eol == std::string::npos || comma > eol) break;
    s.fds.push_back(std::stoi(reply.substr(pos + prefix.size(), comma - pos - prefix.size())));
    s.peers.push_back(reply.substr(comma + 7, eol - comma - 7));
  }
  if (end != std::string::npos) sscanf(reply.c_str() + end, "219-%u entries", &s.entries);
  return s;
}

class CtlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Settings_Reset();
    char tmpl[] = "/tmp/natd-ctl-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    savedConfig_ = Config_Path;
    Config_Path = dir_ + "/nat.conf";
    Clock_Update();
    for (CtlDumpFn dump : {Arp_DumpTable, Udp_DumpTable, Icmp_DumpTable, Tcp_DumpTable,
                           TcpAccept_DumpTable})
      Ctl_AddDump(dump);
    Ctl_InitUnix();
    ASSERT_EQ(Poll_ActiveCount(), 1u);
  }
  void TearDown() override {
    for (int fd : clients_) close(fd);
    Poll_RemoveAll();
    EXPECT_EQ(Ctl_ConnCount(), 0u);
    EXPECT_EQ(Poll_ActiveCount(), 0u);
    EXPECT_EQ(SkBuff_LiveCount(), 0);
    struct stat st;
    EXPECT_NE(stat(ControlPath().c_str(), &st), 0) << "the socket file is removed on release";
    Config_Path = savedConfig_;
    EXPECT_EQ(system(("rm -rf " + dir_).c_str()), 0);
  }
  int Client(const std::string &bindPath = "", bool abstractName = false) {
    int fd = ConnectUnix(bindPath, abstractName);
    clients_.push_back(fd);
    return fd;
  }
  // Lets the listener accept every pending client.
  void AcceptAll(size_t expected) {
    for (int i = 0; i < 200 && Ctl_ConnCount() < expected; ++i) Poll_RunOnce(5);
    ASSERT_EQ(Ctl_ConnCount(), expected);
  }

  std::string dir_, savedConfig_;
  std::vector<int> clients_;
};

TEST_F(CtlTest, StatusReplyListsEveryConnectionNewestFirst) {
  int unbound = Client();
  AcceptAll(1);
  std::string named = dir_ + "/client.sock";
  Client(named);
  AcceptAll(2);
  Client("natd-ctl-test", true);
  AcceptAll(3);

  // Lower case, ended by CR LF: one reply; the empty line between CR and LF
  // gives nothing.
  SendText(unbound, "conns\r\n");
  std::string reply = Collect(unbound, Replies(1));
  ASSERT_TRUE(EndsWith(reply, "200 OK\r\n")) << reply;
  EXPECT_EQ(reply.rfind("210-Control connections\r\n211-fd ", 0), 0u) << reply;
  ConnSection s = ParseConns(reply);
  EXPECT_EQ(s.entries, 3u);
  EXPECT_EQ(s.peers, (std::vector<std::string>{"@natd-ctl-test", named, "<zero>"}));
  for (int fd : s.fds) EXPECT_NE(fcntl(fd, F_GETFD), -1) << "fd " << fd << " is a live socket";
  EXPECT_EQ(Count(reply, "210-"), 1u);
  // Dump sections follow in their fixed order, each at most once.
  size_t last = reply.find("219-");
  for (const char *header : {"220-", "230-", "240-", "250-", "260-"}) {
    size_t at = reply.find(std::string("\r\n") + header);
    if (at == std::string::npos) continue;
    EXPECT_GT(at, last) << header;
    last = at;
  }

  // Nothing more arrives: the CR LF gave exactly one reply.
  SendText(unbound, "S\n");
  std::string second = Collect(unbound, Replies(1));
  EXPECT_EQ(Count(second, "210-"), 1u);
  EXPECT_TRUE(EndsWith(second, "200 OK\r\n"));
}

TEST_F(CtlTest, CommandsAndQuit) {
  int fd = Client();
  AcceptAll(1);
  const std::string unknown = "502 Unknown command\r\n";
  // Each line is followed by a marker command whose reply tells where the
  // line's own reply ends; empty lines get none.
  for (auto [line, replies] : {std::pair{"HELP\n", 1}, {" CONNS\n", 1}, {"CONNS \n", 1},
                               {"\n\r\n\r", 0}}) {
    SCOPED_TRACE(line);
    SendText(fd, std::string(line) + "X\n");
    std::string want = replies ? unknown + unknown : unknown;
    EXPECT_EQ(Collect(fd, [&](const std::string &t) { return Count(t, "502") >= size_t(replies + 1); }),
              want);
  }

  // A line longer than one event's 99 bytes is collected across events.
  SendText(fd, std::string(300, 'A') + "\n");
  EXPECT_EQ(Collect(fd, [](const std::string &s) { return EndsWith(s, "\r\n"); }), unknown);

  bool closed = false;
  SendText(fd, "QUIT\r\nHELP\r\n");
  EXPECT_EQ(Collect(fd, [](const std::string &) { return false; }, &closed), "200 OK\r\n");
  EXPECT_TRUE(closed) << "the connection ends after the reply";
  EXPECT_EQ(Ctl_ConnCount(), 0u);

  // A peer that closes with half a line buffered is removed as well.
  fd = Client();
  AcceptAll(1);
  SendText(fd, "CONN");
  Poll_RunOnce(5);
  close(fd);
  clients_.clear();
  for (int i = 0; i < 100 && Ctl_ConnCount() > 0; ++i) Poll_RunOnce(5);
  EXPECT_EQ(Ctl_ConnCount(), 0u);
  EXPECT_EQ(Poll_ActiveCount(), 1u) << "only the listener is left";
}

TEST_F(CtlTest, ReplyLargerThanTheSendBufferArrivesWholeAndInOrder) {
  struct rlimit rl;
  getrlimit(RLIMIT_NOFILE, &rl);
  rl.rlim_cur = std::max<rlim_t>(rl.rlim_cur, std::min<rlim_t>(2048, rl.rlim_max));
  setrlimit(RLIMIT_NOFILE, &rl);
  int fd = Client();
  AcceptAll(1);
  SendText(fd, "S\n");
  ConnSection first = ParseConns(Collect(fd, Replies(1)));
  ASSERT_EQ(first.fds.size(), 1u);
  int serverFd = first.fds[0];
  int small = 2048;
  ASSERT_EQ(setsockopt(serverFd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  int sndbuf = 0;
  socklen_t len = sizeof sndbuf;
  getsockopt(serverFd, SOL_SOCKET, SO_SNDBUF, &sndbuf, &len);

  const size_t kExtra = 600;
  for (size_t i = 0; i < kExtra; ++i) {
    Client();  // accepted one by one: the backlog is only 10
    AcceptAll(i + 2);
  }

  // Two commands at once: the second reply must not start before the first
  // has gone out whole.
  SendText(fd, "CONNS\nS\n");
  std::string got = Collect(fd, Replies(2));
  size_t split = got.find("200 OK\r\n");
  ASSERT_NE(split, std::string::npos);
  std::string one = got.substr(0, split + 8), two = got.substr(split + 8);
  EXPECT_GT(one.size(), size_t(sndbuf)) << "the reply needed more than one write";
  EXPECT_EQ(one, two) << "both replies whole and identical";
  ConnSection s = ParseConns(one);
  EXPECT_EQ(s.entries, kExtra + 1);
  ASSERT_EQ(s.fds.size(), kExtra + 1);
  EXPECT_EQ(s.fds.back(), serverFd) << "oldest last";
  EXPECT_EQ(Count(one, "210-"), 1u);
}

TEST_F(CtlTest, TcpListenerOnConfigPort) {
  // A free loopback port for configport.
  int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t len = sizeof a;
  ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
  getsockname(probe, reinterpret_cast<sockaddr *>(&a), &len);
  close(probe);

  g_settings.extAddr = htonl(INADDR_LOOPBACK);
  const std::string good = std::to_string(ntohs(a.sin_port));
  for (const std::string &port : {std::string("0"), std::string("65536"), std::string("abc"), good}) {
    std::ofstream(Config_Path) << "[host]\nconfigport = " << port << "\n";
    Ctl_InitTcp();
  }
  ASSERT_EQ(Poll_ActiveCount(), 2u) << "a TCP listener for the valid port only";

  int fd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0) << strerror(errno);
  clients_.push_back(fd);
  sockaddr_in me{};
  len = sizeof me;
  getsockname(fd, reinterpret_cast<sockaddr *>(&me), &len);
  Fd_SetNonBlocking(fd);
  AcceptAll(1);
  SendText(fd, "S\r\n");
  ConnSection s = ParseConns(Collect(fd, Replies(1)));
  ASSERT_EQ(s.peers.size(), 1u);
  EXPECT_EQ(s.peers[0], "127.0.0.1/" + std::to_string(ntohs(me.sin_port)));
}

}  // namespace
