// The daemon's main: command line, the start-up sequence that establishes
// the process-wide settings (core/settings.h) and has every subsystem create
// its sockets in a fixed order, daemon mode and pid file, the status report
// to the parent, signal dispositions, shutdown and panic.
//
// Start-up failures print their message and end the process with a status
// of their own; the exits of -I, -M, -s and of the address, device,
// forwarding and privileged-port steps run Main_Shutdown first, the others
// (usage, pid file, daemon(), host MAC key, status report, -G) do not.
// Once the event loop runs, the process ends only by a signal or a panic.
#include "core/main.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include "alg/dns.h"
#include "alg/netbios.h"
#include "control/ctl.h"
#include "core/config.h"
#include "core/limits.h"
#include "core/poll.h"
#include "core/security.h"
#include "core/settings.h"
#include "core/startup.h"
#include "core/timer.h"
#include "lib/support.h"
#include "lib/util.h"
#include "nat/icmp.h"
#include "nat/tcp.h"
#include "nat/tcp_accept.h"
#include "nat/udp.h"
#include "packet/arp.h"
#include "packet/dev.h"
#include "packet/pcap.h"

namespace {

constexpr uint16_t kRshPort = 514;  // always privileged for TCP

const uint8_t kDefaultHostMac[6] = {0x02, 0x4E, 0xA1, 0xC0, 0x00, 0x08};

const char kUsage[] =
    "Usage: %s [-D] [-c configfile] [-d pidfile] [-m macfile]\n"
    "       [-s pipe descriptor for service to send a two byte\n"
    "           startup status code]\n"
    "       [-h] device\n";

void PrintUsage() {
  printf(kUsage, g_settings.programName.c_str());
  fflush(stdout);
}

bool IsDecimal(const char *text) {
  if (*text == 0) return false;
  for (const char *p = text; *p; ++p)
    if (*p < '0' || *p > '9') return false;
  return true;
}

// ---- signals --------------------------------------------------------------

void OnTerminate(int sig) {
  if (g_settings.debugLevel > 0) fprintf(stderr, "Exiting due to signal %d\n", sig);
  Main_Shutdown();
  exit(0);
}

void SetDisposition(int sig, void (*handler)(int)) {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  sigaction(sig, &sa, nullptr);
}

void OnUnexpected(int sig) {
  fprintf(stderr, "Caught unexpected signal %d\n", sig);
  if (g_settings.debugLevel >= 2) {
    SetDisposition(SIGABRT, SIG_IGN);
    raise(SIGABRT);
  }
  Main_Shutdown();
  raise(sig);  // blocked while this handler runs: stays pending
  fputs("Exiting.\n", stderr);
  exit(123);
}

void OnChild(int) {
  int saved = errno;
  int status;
  while (wait4(0, &status, WNOHANG, nullptr) > 0) {
  }
  errno = saved;
}

void InstallSignals() {
  for (int sig : {SIGHUP, SIGINT, SIGTERM}) SetDisposition(sig, OnTerminate);
  for (int sig : {SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL, SIGQUIT, SIGTRAP})
    SetDisposition(sig, OnUnexpected);
  for (int sig : {SIGPIPE, SIGUSR1, SIGUSR2}) SetDisposition(sig, SIG_IGN);
  SetDisposition(SIGCHLD, OnChild);
}

// ---- start-up steps -------------------------------------------------------

// Step 5: the host MAC, unless -M gave a non-zero one. 0 or 128.
int SetHostMac() {
  static const uint8_t kZero[6] = {};
  if (memcmp(g_settings.hostMac, kZero, 6) != 0) return 0;
  memcpy(g_settings.hostMac, kDefaultHostMac, 6);
  std::optional<std::string> text = Config_GetString("host", "hostMAC");
  if (text && Mac_Parse(text->c_str(), g_settings.hostMac) != 0) {
    printf("Error with host MAC configuration parameter in configuration file.\n");
    fflush(stdout);
    return 128;
  }
  return 0;
}

// Step 6. 0, or 255 when the file cannot be opened.
int WriteSampleFile() {
  FILE *out = File_Fopen(Config_Path.c_str(), "w");
  if (!out) return 255;
  Sample_Write(out, g_settings.deviceName.c_str());
  fclose(out);
  return 0;
}

// Step 11: a few old kernels have a shutdown() that breaks time-wait.
void CheckKernel() {
  struct utsname un;
  if (uname(&un) != 0) {
    fputs("uname failed.  Cannot detect if this kernel has a bad shutdown().\n", stderr);
    return;
  }
  for (const char *bad : {"2.2.14-5.0", "2.2.14-5.0smp", "2.2.14-tarix1"}) {
    if (strcmp(un.release, bad) == 0) {
      fputs("Detected a kernel with bad shutdown().  Disabling timewait mode\n", stderr);
      g_settings.tcpTimeWaitTimeout = 0;
      return;
    }
  }
}

// Step 14: daemon() and the pid file. 0, 127 or 121.
int BecomeDaemon(const char *pidPath) {
  if (daemon(0, 0) != 0) {
    fprintf(stderr, "daemon failed: %s.\n", Err_Text(errno));
    return 127;
  }
  char text[32];
  int len = snprintf(text, sizeof text, "%u\n", unsigned(getpid()));
  int fd = File_Open(pidPath, O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | O_NOFOLLOW, 0644);
  if (fd < 0) {
    fprintf(stderr, "Unable to create pid file %s. %s\n", pidPath, Err_Text(errno));
    return 121;
  }
  ssize_t n = write(fd, text, size_t(len));
  int err = n < 0 ? errno : ENOSPC;
  close(fd);
  if (n != len) {
    File_Unlink(pidPath);
    fprintf(stderr, "Unable to create pid file %s. %s\n", pidPath, Err_Text(err));
    return 121;
  }
  return 0;
}

// Step 16: publish the gateway MAC so that the next start sets it again.
void WriteMacFile() {
  FILE *f = File_Fopen(g_settings.macFilePath.c_str(), "w");
  if (!f) return;
  const uint8_t *m = g_settings.gatewayMac;
  fprintf(f, "%02X:%02X:%02X:%02X:%02X:%02X\n", m[0], m[1], m[2], m[3], m[4], m[5]);
  fclose(f);
}

// Step 27: two zero bytes to the parent. 0, or 132 when the write fails.
int ReportStatus() {
  int fd = g_settings.statusFd;
  if (fd < 0) return 0;
  if (fcntl(fd, F_GETFD) == -1) {
    syslog(LOG_ERR, "Cannot write to invalid status pipe descriptor: %d", fd);
    closelog();
    return 0;
  }
  struct sigaction ignore, previous;
  memset(&ignore, 0, sizeof ignore);
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, &previous);
  const uint16_t status = 0;
  ssize_t n;
  do {
    n = write(fd, &status, sizeof status);
  } while (n < 0 && errno == EINTR);
  if (n <= 0 && !(n < 0 && errno == EPIPE)) {
    if (n == 0) errno = EIO;
    syslog(LOG_ERR, "Reporting status to parent on status fd: %d failed, error: %s", fd,
           strerror(errno));
    close(fd);
    sigaction(SIGPIPE, &previous, nullptr);
    closelog();
    return 132;
  }
  close(fd);
  sigaction(SIGPIPE, &previous, nullptr);
  closelog();
  return 0;
}

void PrintBanner() {
  uint8_t ip[4], mask[4], ext[4];
  memcpy(ip, &g_settings.gatewayAddr, 4);
  memcpy(mask, &g_settings.netmask, 4);
  memcpy(ext, &g_settings.extAddr, 4);
  const uint8_t *g = g_settings.gatewayMac;
  const uint8_t *h = g_settings.hostMac;
  printf("Using configuration file: %s.\nIP address: %d.%d.%d.%d\n Subnet: %d.%d.%d.%d\n"
         "External IP address: %d.%d.%d.%d\nDevice: %s.\n"
         "MAC address: %02X:%02X:%02X:%02X:%02X:%02X.\n"
         "Ignoring host MAC address: %02X:%02X:%02X:%02X:%02X:%02X.\n",
         Config_Path.c_str(), ip[0], ip[1], ip[2], ip[3], mask[0], mask[1], mask[2], mask[3],
         ext[0], ext[1], ext[2], ext[3], g_settings.deviceName.c_str(), g[0], g[1], g[2], g[3],
         g[4], g[5], h[0], h[1], h[2], h[3], h[4], h[5]);
  fflush(stdout);
}

// Options (step 3). Returns -1 to go on, or the exit status; *shutdown is
// set when that exit runs Main_Shutdown.
int ReadOptions(int argc, char **argv, bool *shutdown) {
  int c;
  while ((c = getopt(argc, argv, "c:GI:M:Dhm:d:s:w:")) != -1) {
    switch (c) {
      case 'c':
        Config_Path = optarg;
        break;
      case 'G':
        g_settings.generateSample = true;
        break;
      case 'I': {
        in_addr_t a = inet_addr(optarg);
        if (a == INADDR_NONE) {
          fprintf(stderr, "%s is not valid IP address\n", optarg);
          *shutdown = true;
          return 114;
        }
        g_settings.gatewayAddr = a;
        break;
      }
      case 'M':
        if (Mac_Parse(optarg, g_settings.hostMac) != 0) {
          fprintf(stderr, "%s is not a valid MAC address\n", optarg);
          *shutdown = true;
          return 115;
        }
        break;
      case 'D':
        g_settings.debugLevel++;
        break;
      case 'h':
        PrintUsage();
        return 124;
      case 'm':
        g_settings.macFilePath = optarg;
        break;
      case 'd':  // from here on Main_Shutdown removes the file at this path
        g_settings.pidPath = optarg;
        break;
      case 'w':
        g_settings.pcapPath = optarg;
        break;
      case 's':
        if (!Main_ParseStatusFd(optarg, &g_settings.statusFd)) {
          fprintf(stderr, "Invalid status pipe descriptor: %s\n", optarg);
          *shutdown = true;
          return 132;
        }
        break;
      default:
        return 126;
    }
  }
  return -1;
}

// Steps 10-21 (after the device and daemon steps they need). 0 or status.
int StartServices() {
  Icmp_Init();  // without its raw socket the daemon runs on without ping
  int status = Main_ReadForwards(true);
  if (status == 0) status = Main_ReadForwards(false);
  if (status != 0) return status;
  g_settings.privTcpPorts[0] = kRshPort;
  g_settings.privTcpCount = 1;
  status = Main_ReadPrivileged("PrivilegedTCP", g_settings.privTcpPorts, &g_settings.privTcpCount,
                               &g_settings.privTcpAutodetect);
  if (status == 0)
    status = Main_ReadPrivileged("PrivilegedUDP", g_settings.privUdpPorts,
                                 &g_settings.privUdpCount, &g_settings.privUdpAutodetect);
  if (status != 0) return status;
  Udp_Init();
  return 0;
}

}  // namespace

// ---- parsers --------------------------------------------------------------

bool Main_ParsePort(const char *text, uint16_t *port) {
  if (!IsDecimal(text)) return false;
  unsigned long v = 0;
  for (const char *p = text; *p; ++p) {
    v = v * 10 + unsigned(*p - '0');
    if (v > 65535) return false;
  }
  if (v < 1) return false;
  *port = uint16_t(v);
  return true;
}

bool Main_ParseStatusFd(const char *text, int *fd) {
  errno = 0;
  char *end = nullptr;
  long v = strtol(text, &end, 0);
  if (end == text || *end != 0 || errno == ERANGE || (v == 0 && errno != 0)) return false;
  if (v < 0 || v > INT32_MAX) return false;
  *fd = int(v);
  return true;
}

int Main_AddressAndNetmask(const char *key, uint32_t *addrN, int *prefixLen) {
  std::optional<std::string> value = Config_GetString("host", key);
  std::optional<std::string> maskText;
  if (value) {
    std::string addrText = *value;
    size_t slash = value->rfind('/');
    if (slash != std::string::npos) {
      maskText = value->substr(slash + 1);
      addrText = value->substr(0, slash);
    }
    in_addr_t a = inet_addr(addrText.c_str());
    if (a == INADDR_NONE) {
      fprintf(stderr, "%s is not valid IP address\n", addrText.c_str());
      return 114;
    }
    *addrN = a;
  }
  if (!maskText) maskText = Config_GetString("host", "netmask");
  if (!maskText) {
    *prefixLen = 24;
    return 0;
  }
  const char *text = maskText->c_str();
  unsigned long prefix;
  if (strchr(text, '.')) {
    in_addr_t m = inet_addr(text);
    if (m == INADDR_NONE) {
      fprintf(stderr, "%s is not valid netmask (not a.b.c.d)\n", text);
      return 113;
    }
    uint32_t h = ntohl(m);
    if ((((h - 1) | h) + 1) != 0) {
      fprintf(stderr, "%s is not valid netmask (invalid value)\n", text);
      return 112;
    }
    prefix = unsigned(__builtin_popcount(h));
  } else {
    char *end = nullptr;
    prefix = strtoul(text, &end, 10);
    if (*end != 0) {
      fprintf(stderr, "%s is not valid netmask (not a number)\n", text);
      return 111;
    }
  }
  if (prefix < 1 || prefix > 30) {
    fputs("Netmask must be in range 128.0.0.0 to 255.255.255.252\n", stderr);
    return 110;
  }
  *prefixLen = int(prefix);
  return 0;
}

int Main_ReadForwards(bool tcp) {
  const char *proto = tcp ? "TCP" : "UDP";
  ConfigSection *cursor = Config_OpenSection(tcp ? "IncomingTCP" : "IncomingUDP");
  if (!cursor) return 0;
  int status = 0;
  std::string value;
  while (status == 0) {
    std::optional<std::string> key = Config_NextEntry(cursor, &value);
    if (!key) break;
    uint16_t hostPort, guestPort;
    size_t colon = value.find(':');
    if (!Main_ParsePort(key->c_str(), &hostPort)) {
      fprintf(stderr, "%s is not valid %s port number\n", key->c_str(), proto);
      status = 109;
    } else if (colon == std::string::npos) {
      fprintf(stderr, "%s is not valid %s destination address in form a.b.c.d:port\n",
              value.c_str(), proto);
      status = 108;
    } else if (!Main_ParsePort(value.c_str() + colon + 1, &guestPort)) {
      fprintf(stderr, "%s does not contain valid %s port number\n", value.c_str(), proto);
      status = 107;
    } else {
      std::string addrText = value.substr(0, colon);
      in_addr_t guest = inet_addr(addrText.c_str());
      if (guest == INADDR_NONE) {
        fprintf(stderr, "%s is not valid %s destination address\n", addrText.c_str(), proto);
        status = 106;
      } else {
        bool created =
            tcp ? TcpAccept_Create(guest, htons(guestPort), g_settings.extAddr, 0, -1,
                                   htons(hostPort)) != nullptr
                : Udp_AddForward(guest, htons(guestPort), g_settings.extAddr, htons(hostPort)) == 0;
        if (!created) {
          uint8_t b[4];
          memcpy(b, &guest, 4);
          fprintf(stderr, "Cannot create %s forwarding entry for %lu => %u.%u.%u.%u:%lu\n", proto,
                  (unsigned long)hostPort, b[0], b[1], b[2], b[3], (unsigned long)guestPort);
          status = 105;
        }
      }
    }
  }
  Config_CloseSection(cursor);
  return status;
}

int Main_ReadPrivileged(const char *section, uint16_t *ports, int *count, bool *autodetect) {
  ConfigSection *cursor = Config_OpenSection(section);
  if (!cursor) return 0;
  std::string value;
  while (*count < kMaxPrivPorts) {
    std::optional<std::string> key = Config_NextEntry(cursor, &value);
    if (!key) break;
    if (strcasecmp(key->c_str(), "port") != 0) continue;
    uint16_t port;
    if (!Main_ParsePort(value.c_str(), &port)) {
      fprintf(stderr, "The specified port: %s in section %s is not a valid port number\n",
              value.c_str(), section);
      Config_CloseSection(cursor);
      return 131;
    }
    ports[(*count)++] = port;
  }
  Config_CloseSection(cursor);
  *autodetect = Config_GetInt(section, "autodetect", 0) != 0;
  return 0;
}

// ---- main -----------------------------------------------------------------

int Main_Run(int argc, char **argv) {
  Charset_Init(argc, argv);
  Settings_Reset();
  const char *slash = argc > 0 ? strrchr(argv[0], '/') : nullptr;
  g_settings.programName = argc > 0 ? (slash ? slash + 1 : argv[0]) : "natd";

  bool shutdown = false;
  int status = ReadOptions(argc, argv, &shutdown);
  if (status >= 0) {
    if (shutdown) Main_Shutdown();
    return status;
  }

  // Step 4: the device name.
  int args = argc - optind;
  if (args == 0 && !g_settings.generateSample) {
    std::optional<std::string> name = Config_GetString("host", "device");
    if (!name) {
      PrintUsage();
      return 120;
    }
    g_settings.deviceName = *name;
  } else if (args != 1) {
    PrintUsage();
    return 120;
  } else {
    g_settings.deviceName = argv[optind];
  }

  status = SetHostMac();
  if (status != 0) return status;
  if (g_settings.generateSample) return WriteSampleFile();

  g_settings.allowAnyOUI = int(Config_GetInt("host", "allowAnyOUI", 0));
  g_settings.enableNatDhcp = int(Config_GetInt("host", "enableNatDhcp", 0));
  g_settings.tapOffload = int(Config_GetInt("host", "tapOffload", 0));
  g_settings.arpExpireTimeout = int(Config_GetInt("arp", "expireTimeout", 300));
  Limits_Load();

  struct timeval tv;
  gettimeofday(&tv, nullptr);
  srand(unsigned(tv.tv_usec));
  InstallSignals();

  // Step 10: gateway address and netmask, then the external address.
  status = Main_AddressAndNetmask("ip", &g_settings.gatewayAddr, &g_settings.prefixLen);
  if (status == 0) {
    Settings_DeriveNetwork();
    int unusedPrefix = 24;
    status = Main_AddressAndNetmask("extIP", &g_settings.extAddr, &unusedPrefix);
  }
  if (status != 0) {
    Main_Shutdown();
    return status;
  }

  CheckKernel();
  int timeWait = int(Config_GetInt("tcp", "timeWaitTimeout",
                                   (unsigned long)(long)g_settings.tcpTimeWaitTimeout));
  g_settings.tcpTimeWaitTimeout = timeWait < 1 ? 0 : timeWait;
  g_settings.tcpDisablePush = int(Config_GetInt("tcp", "disablePush", 0));
  g_settings.tcpTimeWaitReuse = int(Config_GetInt("tcp", "timeWaitReuse", 0));

  status = Dev_Open(g_settings.deviceName.c_str());
  if (status == 0) status = Pcap_Start();
  if (status != 0) {
    Main_Shutdown();
    return status;
  }

  if (!g_settings.pidPath.empty()) {
    status = BecomeDaemon(g_settings.pidPath.c_str());
    if (status != 0) return status;
  }

  Clock_Update();
  WriteMacFile();
  status = StartServices();
  if (status != 0) {
    Main_Shutdown();
    return status;
  }
  Dns_Start();
  Netbios_Init();

  // The tables of the control server's status reply, in the reply's order.
  for (CtlDumpFn dump : {Arp_DumpTable, Udp_DumpTable, Icmp_DumpTable, Tcp_DumpTable,
                         TcpAccept_DumpTable})
    Ctl_AddDump(dump);
  Ctl_InitUnix();
  Ctl_InitTcp();
  openlog("qlinkNAT", LOG_ODELAY, LOG_DAEMON);
  status = ReportStatus();
  if (status != 0) return status;
  // natd's own: least privilege from here on. Before the banner, so that
  // once a parent has seen it natd is idle in its loop: the handler of a
  // terminating signal then never interrupts an allocation half done.
  Security_Apply();
  PrintBanner();

  for (;;) Poll_RunOnce();
}

void Main_Shutdown() {
  if (!g_settings.pidPath.empty()) {
    File_Unlink(g_settings.pidPath.c_str());
    g_settings.pidPath.clear();
  }
  Poll_RemoveAll();
  Dns_Stop();
}

void Main_Panic(const char *fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  Str_VFormatTrunc(buf, sizeof buf, fmt, ap);
  va_end(ap);
  fprintf(stderr, "Zelmor NAT Panic: %s\n", buf);
  exit(255);
}
