// Start-up pieces that run in-process: derived addresses, the MAC and number
// parsers, the address-and-netmask procedure, the forwarding and privileged
// sections and the socket utilities. Whole-process behaviour (exit statuses,
// signals, daemon mode) is covered by the start-up tests on the binary.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/settings.h"
#include "core/startup.h"
#include "lib/util.h"
#include "unit/capture.h"

namespace {

std::string Dotted(uint32_t addrN) {
  char buf[20];
  inet_ntop(AF_INET, &addrN, buf, sizeof buf);
  return buf;
}

class MainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Settings_Reset();
    char tmpl[] = "/tmp/natd-main-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    saved_ = Config_Path;
    Config_Path = dir_ + "/nat.conf";
  }
  void TearDown() override {
    Config_Path = saved_;
    unlink((dir_ + "/nat.conf").c_str());
    rmdir(dir_.c_str());
  }
  void Config(const std::string &text) { std::ofstream(Config_Path) << text; }
  std::string dir_, saved_;
};

TEST(Settings, DefaultsAndDerivedNetwork) {
  Settings_Reset();
  EXPECT_EQ(Dotted(g_settings.broadcastAddr), "10.254.254.255");
  EXPECT_EQ(Dotted(g_settings.loopbackAddr), "127.0.0.1");
  EXPECT_EQ(g_settings.macFilePath, "/var/run/qlink-nat.mac");

  struct Case {
    const char *gateway;
    int prefix;
    const char *mask, *network, *broadcast;
  };
  const Case cases[] = {
      {"192.168.1.77", 30, "255.255.255.252", "192.168.1.76", "192.168.1.79"},
      {"172.16.5.4", 12, "255.240.0.0", "172.16.0.0", "172.31.255.255"},
      {"10.1.2.3", 1, "128.0.0.0", "0.0.0.0", "127.255.255.255"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.gateway);
    g_settings.gatewayAddr = inet_addr(c.gateway);
    g_settings.prefixLen = c.prefix;
    Settings_DeriveNetwork();
    EXPECT_EQ(Dotted(g_settings.netmask), c.mask);
    EXPECT_EQ(Dotted(g_settings.networkAddr), c.network);
    EXPECT_EQ(Dotted(g_settings.broadcastAddr), c.broadcast);
  }
}

TEST(MacParse, AcceptsOnlyTheExactForm) {
  uint8_t mac[6];
  ASSERT_EQ(Mac_Parse("02:4e:A1:c0:0F:ff", mac), 0);
  const uint8_t want[6] = {0x02, 0x4E, 0xA1, 0xC0, 0x0F, 0xFF};
  EXPECT_EQ(memcmp(mac, want, 6), 0);
  for (const char *bad : {"02:4E:A1:C0:00:0", "02:4E:A1:C0:00:000", "02-4E-A1-C0-00-08",
                          "024E:A1:C0:00:08:", "02:4E:A1:C0:00:0g", " 2:4E:A1:C0:00:08", "",
                          "02:4E:A1:C0:00:08 ", "0x:4E:A1:C0:00:08"})
    EXPECT_EQ(Mac_Parse(bad, mac), -1) << '"' << bad << '"';
}

TEST(NumberParsers, StatusDescriptorAndPorts) {
  // value < 0: rejected. The descriptor takes any base, the port decimal only.
  struct Case {
    bool port;
    const char *text;
    long value;
  };
  const Case cases[] = {
      {false, "7", 7},           {false, "0x10", 16},       {false, "010", 8},
      {false, "0x", -1},         {false, "3x", -1},         {false, "", -1},
      {false, " 5", 5},          {false, "2147483647", 2147483647},
      {false, "2147483648", -1}, {false, "99999999999999999999", -1},
      {true, "1", 1},            {true, "65535", 65535},    {true, "0000080", 80},
      {true, "0", -1},           {true, "65536", -1},       {true, "8080x", -1},
      {true, "+80", -1},         {true, "-1", -1},          {true, " 80", -1},
      {true, "", -1},            {true, "99999999999", -1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.port ? "port \"" : "fd \"") + c.text + '"');
    int fd = -42;
    uint16_t port = 0;
    bool ok = c.port ? Main_ParsePort(c.text, &port) : Main_ParseStatusFd(c.text, &fd);
    EXPECT_EQ(ok, c.value >= 0);
    if (ok) {
      EXPECT_EQ(c.port ? long(port) : long(fd), c.value);
    }
  }
}

TEST_F(MainTest, AddressAndNetmaskProcedure) {
  // The start-up tests check one failure per status on the binary; these rows
  // cover the other parse paths and what is left in the address and prefix.
  struct Case {
    const char *config;
    int status;
    const char *addr;
    int prefix;
    std::string message;
  };
  const std::string range = "Netmask must be in range 128.0.0.0 to 255.255.255.252\n";
  const Case cases[] = {
      {"[host]\nip = 192.168.1.1/255.255.255.0\n", 0, "192.168.1.1", 24, ""},
      {"[host]\nip = 192.168.1.1/24\n", 0, "192.168.1.1", 24, ""},
      {"[host]\nip = 192.168.1.1/30\nnetmask = 8\n", 0, "192.168.1.1", 30, ""},
      {"[host]\nip = 192.168.1.1\nnetmask = 255.255.0.0\n", 0, "192.168.1.1", 16, ""},
      {"[host]\nnetmask = 20\n", 0, "10.254.254.1", 20, ""},
      {"[host]\n", 0, "10.254.254.1", 24, ""},
      {"[host]\nip = 192.168.1.1/0\n", 110, "192.168.1.1", 7, range},
      {"[host]\nnetmask = 0.0.0.0\n", 110, "10.254.254.1", 7, range},
      {"[host]\nip = 1.2.3.4/24x\n", 111, "1.2.3.4", 7, "24x is not valid netmask (not a number)\n"},
      {"[host]\nip = 1.2.3.4/255.255.256.0\n", 113, "1.2.3.4", 7,
       "255.255.256.0 is not valid netmask (not a.b.c.d)\n"},
      {"[host]\nip = 255.255.255.255\n", 114, "10.254.254.1", 7,
       "255.255.255.255 is not valid IP address\n"},
      {"[host]\nip = 10.0.0.1/8/16\n", 114, "10.254.254.1", 7, "10.0.0.1/8 is not valid IP address\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.config);
    Config(c.config);
    uint32_t addr = inet_addr("10.254.254.1");
    int prefix = 7;
    int status = -1;
    std::string err =
        CaptureStderr([&] { status = Main_AddressAndNetmask("ip", &addr, &prefix); });
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(err, c.message);
    EXPECT_EQ(Dotted(addr), c.addr);
    EXPECT_EQ(prefix, c.prefix);
  }
}

TEST_F(MainTest, ForwardEntriesAreCheckedInOrder) {
  struct Case {
    const char *entry;
    int status;
    const char *tcpMessage;
  };
  // One entry per status is checked on the binary by the start-up tests;
  // these are the boundaries and the order of the checks, both protocols.
  const Case cases[] = {
      {"65536 = 10.0.0.5:80", 109, "65536 is not valid TCP port number\n"},
      {"80a = 10.0.0.5", 109, "80a is not valid TCP port number\n"},
      {"8080 = 10.0.0.5:0", 107, "10.0.0.5:0 does not contain valid TCP port number\n"},
      {"8080 = 10.0.0.5:80:1", 107, "10.0.0.5:80:1 does not contain valid TCP port number\n"},
      {"8080 = 255.255.255.255:80", 106, "255.255.255.255 is not valid TCP destination address\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.entry);
    for (bool tcp : {true, false}) {
      Config(std::string(tcp ? "[IncomingTCP]\n" : "[incomingudp]\n") + "# 1 = x\n" + c.entry +
             "\n");
      int status = -1;
      std::string err = CaptureStderr([&] { status = Main_ReadForwards(tcp); });
      EXPECT_EQ(status, c.status);
      std::string want = c.tcpMessage;
      if (!tcp) want.replace(want.find("TCP"), 3, "UDP");
      EXPECT_EQ(err, want);
    }
  }
  Config("[host]\n");
  EXPECT_EQ(Main_ReadForwards(true), 0);
}

TEST_F(MainTest, PrivilegedPortSections) {
  std::string text = "[PrivilegedUDP]\nautodetect = 1\nother = 5\n";
  for (int i = 0; i < 70; ++i) text += "Port = " + std::to_string(600 + i) + "\n";
  text += "[privilegedtcp]\nport = 21\nport = 22\n";
  Config(text);

  uint16_t udp[kMaxPrivPorts] = {}, tcp[kMaxPrivPorts] = {514};
  int udpCount = 0, tcpCount = 1;
  bool udpAuto = false, tcpAuto = true;
  EXPECT_EQ(Main_ReadPrivileged("PrivilegedUDP", udp, &udpCount, &udpAuto), 0);
  EXPECT_EQ(udpCount, 64) << "the first 64 are kept";
  EXPECT_TRUE(udp[0] == 600 && udp[63] == 663 && udpAuto);

  EXPECT_EQ(Main_ReadPrivileged("PrivilegedTCP", tcp, &tcpCount, &tcpAuto), 0);
  EXPECT_EQ(tcpCount, 3) << "appended to what is there";
  EXPECT_EQ(std::vector<uint16_t>(tcp, tcp + 3), (std::vector<uint16_t>{514, 21, 22}));
  EXPECT_FALSE(tcpAuto);

  // 70000 does not wrap to a valid port.
  Config("[PrivilegedTCP]\nport = 70000\n");
  std::string err = CaptureStderr(
      [&] { EXPECT_EQ(Main_ReadPrivileged("PrivilegedTCP", tcp, &tcpCount, &tcpAuto), 131); });
  EXPECT_EQ(err, "The specified port: 70000 in section PrivilegedTCP is not a valid port number\n");

  // A missing section leaves the list and the flag alone.
  Config("[host]\n");
  int none = 0;
  bool flag = false;
  EXPECT_EQ(Main_ReadPrivileged("PrivilegedUDP", udp, &none, &flag), 0);
  EXPECT_TRUE(none == 0 && !flag);
}

TEST(SockGetName, FillsOrZeroes) {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
  sockaddr_in got;
  EXPECT_EQ(Sock_GetName(s, &got), 0);
  EXPECT_NE(got.sin_port, 0);
  EXPECT_EQ(got.sin_addr.s_addr, htonl(INADDR_LOOPBACK));

  EXPECT_EQ(fcntl(s, F_GETFL) & O_NONBLOCK, 0);
  Fd_SetNonBlocking(s);
  EXPECT_NE(fcntl(s, F_GETFL) & O_NONBLOCK, 0);
  close(s);

  memset(&got, 0xAB, sizeof got);
  EXPECT_EQ(Sock_GetName(s, &got), -1);
  EXPECT_EQ(got.sin_family, 0);
  EXPECT_EQ(got.sin_port, 0);
  EXPECT_EQ(got.sin_addr.s_addr, 0u);
}

}  // namespace
