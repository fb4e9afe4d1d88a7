// The control server's own limits and its answers when memory runs out,
// listeners that run out of descriptors, and every allocation on a guest
// packet's path failing in turn.
#include <sys/resource.h>
#include <sys/un.h>

#include <functional>

#include "control/ctl.h"
#include "lib/support.h"
#include "wire/harness.h"

namespace wire {
namespace {

class CtlTest : public WireTest {
 protected:
  void SetUp() override {
    WireTest::SetUp();
    Ctl_InitUnix();
  }
  // A client of the UNIX control socket, connected (accepted once `accept`).
  int Client(bool accept = true) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_un to{AF_UNIX, {}};
    snprintf(to.sun_path, sizeof to.sun_path, "/var/run/qlnat.%d", int(getpid()));
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
    if (accept) Step(2);
    return fds_.push_back(fd), fd;
  }
  // Writes `text` and returns what natd answers within 30 passes, with
  // "<closed>" when it ends the connection.
  std::string Say(int fd, const std::string &text) {
    (void)send(fd, text.data(), text.size(), MSG_NOSIGNAL);  // fails when natd closed first
    std::string got;
    char buf[4096];
    for (int pass = 0; pass < 30; pass++) {
      Step();
      for (ssize_t n; (n = read(fd, buf, sizeof buf)) != -1; got.append(buf, size_t(n)))
        if (n == 0) return got + "<closed>";
    }
    return got;
  }
};

TEST_F(CtlTest, LineLimitClientLimitAndMemoryFailures) {
  Limits_Set(kLimitCtlLineMax, 8);
  const struct { const char *what, *say; unsigned long failNth; const char *want; } rows[] = {
      {"a line of ctlLineMax bytes", "12345678\r\n", 0, "502 Unknown command\r\n"},
      {"no memory for the line", "S\r\n", 1, "500 Not enough memory\r\n"},
      {"no memory for the reply", "S\r\n", 2, "501 Not enough memory for command output\r\n"},
      {"one byte too many", "123456789\r\n", 0, "<closed>"},
      {"LIMITS", "limits\r\n", 0, "271-ctlLineMax 8 1\r\n271-pptpCalls 0 0\r\n271-descriptors "},
  };
  for (const auto &row : rows) {
    int fd = Client();
    Mem_FailNth(row.failNth);
    std::string got = Say(fd, row.say);
    EXPECT_FALSE(Mem_FailPending()) << row.what;
    Mem_FailNth(0);
    const std::string last = "\r\n279-" + std::to_string(kLimitCount) + " entries\r\n200 OK\r\n";
    EXPECT_TRUE(got == row.want || (got.find(row.want) != std::string::npos && got.ends_with(last) &&
                                    std::count(got.begin(), got.end(), '\n') == kLimitCount + 3 &&
                                    got.starts_with("270-Limits\r\n271-reassemblies ")))
        << row.what << ": " << got;
    close(fd), fds_.pop_back(), Step();
  }
  EXPECT_EQ(Ctl_ConnCount(), 0u);

  Limits_Set(kLimitCtlClients, 2);
  int first = Client();
  Client();
  EXPECT_EQ(Say(Client(), "S\r\n"), "<closed>") << "the third of two";
  EXPECT_EQ(Limits_Count(kLimitCtlClients), 1u);
  close(first), Step();
  EXPECT_EQ(Say(Client(), "QUIT\r\n"), "200 OK\r\n<closed>");
}

// A listener whose accept lacks descriptors is not polled for 100 ms
// (one failure counted, no spinning); its client waits in the backlog and
// is served once descriptors are back.
TEST_F(CtlTest, ListenersPauseWhileDescriptorsRunOut) {
  TcpAccept *acc = TcpAccept_Create(kGuest, htons(80), 0, 0, -1, 0);
  ASSERT_NE(acc, nullptr);
  const struct { const char *what; std::function<int()> connect; std::function<bool(int)> served; } rows[] = {
      {"control", [&] { return Client(false); }, [&](int fd) { return Say(fd, "QUIT\r\n") == "200 OK\r\n<closed>"; }},
      {"forward", [&] { return Sock(SOCK_STREAM, Port(acc->poll.fd)); },
       [&](int) { return Check(Next(0), {.dport = 80, .flags = SYN}); }},
  };
  auto starve = [](int passes) {  // no descriptor left for `passes` loop passes
    rlimit saved, low;
    getrlimit(RLIMIT_NOFILE, &saved);
    low = saved;
    low.rlim_cur = rlim_t(dup(0));  // the lowest free descriptor: none is left below it
    close(int(low.rlim_cur));
    setrlimit(RLIMIT_NOFILE, &low);
    Poll_RunOnce(0);
    setrlimit(RLIMIT_NOFILE, &saved);
    for (int i = 1; i < passes; i++) Poll_RunOnce(0);
  };
  for (const auto &row : rows) {
    int fd = row.connect();
    uint64_t before = Limits_Count(kLimitDescriptors);
    starve(20);
    EXPECT_EQ(Limits_Count(kLimitDescriptors), before + 1) << row.what;
    EXPECT_FALSE(row.served(fd)) << row.what << ": served while paused";
    Advance(100);
    EXPECT_TRUE(row.served(fd)) << row.what;
  }
  unsigned timers = Timer_Count();  // a listener released while paused takes its timer along
  rows[1].connect();
  starve(1);
  EXPECT_EQ(Timer_Count(), timers + 1);
  Poll_Remove(&acc->poll), Step();
  EXPECT_EQ(Timer_Count(), timers);
}

// Every allocation on the path of a guest's packet fails in turn: the
// packet is dropped (or still answered correctly), nothing is left behind
// (the fixture's checks), and the guest's next try is answered.
TEST_F(WireTest, EachAllocationOnAPacketsPathMayFail) {
  int udp = Sock(SOCK_DGRAM), gone = Sock(SOCK_STREAM);
  const uint16_t refused = Port(gone);
  close(gone), fds_.pop_back();
  const Bytes ping = Icmp(8, 0, 7, 1, Pattern(1000));
  const Want echoReply{.ipSrc = kGw, .type = 0, .data = Pattern(1000)};
  using Frames = std::vector<Bytes>;
  // `in` is given a fresh port or id; no answer: the datagram reaches the host socket.
  const struct { const char *what; std::function<Frames(uint16_t)> in; optional<Want> answer; } rows[] = {
      {"ARP request for the gateway", [](uint16_t) { return Frames{Eth(kBcast, kGuestMac, 0x0806, Arp(1, kGuestMac, kGuest, kGw))}; },
       Want{.data = Arp(2, kGwMac, kGw, kGuest, kGuestMac)}},
      {"echo request to the gateway", [&](uint16_t id) { return Frames{G({.id = id}, ping)}; }, echoReply},
      {"echo request in two fragments", [&](uint16_t id) {
         return Frames{Frag({.id = id}, ping, 0, 504, true), Frag({.id = id}, ping, 504, 504, false)}; }, echoReply},
      {"UDP to a host socket", [&](uint16_t sport) {
         return Frames{G({.dst = kLo, .proto = 17}, Udp(kGuest, kLo, sport, Port(udp), Pattern(40)))}; }, {}},
      {"SYN to a refusing host port", [&](uint16_t sport) {
         return Frames{G({.proto = 6}, Tcp(kGuest, kGw, sport, refused, 1000, 0, SYN, 65535, {}, {}))}; },
       Want{.sport = refused, .ack = 1001, .flags = RST | ACK}},
  };
  uint16_t port = 30000;
  for (const auto &row : rows) {
    auto answered = [&] {  // the answer, checked, or nothing
      for (const Bytes &f : row.in(port++)) Send(f);
      if (!row.answer) return Recv(udp, 40, 3) == Pattern(40);
      Frame f = Next(20);
      EXPECT_TRUE(f.bad == "no frame" || Check(f, *row.answer)) << row.what;
      return f.bad != "no frame" && Out().empty();
    };
    unsigned long n = 0;
    for (bool failed = true; failed;) {  // until allocation n is past the last one
      Mem_FailNth(++n);
      bool got = answered();
      failed = !Mem_FailPending(), Mem_FailNth(0);
      EXPECT_TRUE(failed ? answered() : got) << row.what << (failed ? ": the try after failing allocation " : ": ") << n;
    }
    EXPECT_GT(n, 2u) << row.what << ": fewer allocations than expected on its path";
  }
}

}  // namespace
}  // namespace wire
