// Packet capture: one unbuffered writev per frame, so that the file can be
// read while natd runs and nothing is lost when a signal ends the process.
#include "packet/pcap.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include "core/config.h"
#include "core/settings.h"
#include "lib/util.h"
#include "lib/support.h"

namespace {

constexpr uint32_t kMagic = 0xA1B2C3D4;  // microsecond time stamps, host order
constexpr uint32_t kSnapLen = 65535;
constexpr uint32_t kLinkEthernet = 1;

int s_fd = -1;

bool WriteAll(const struct iovec *iov, int count, size_t total) {
  return writev(s_fd, iov, count) == ssize_t(total);
}

}  // namespace

int Pcap_Open(const char *path) {
  Pcap_Close();
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  struct {
    uint32_t magic;
    uint16_t major, minor;
    int32_t zone;
    uint32_t sigfigs, snapLen, linkType;
  } header = {kMagic, 2, 4, 0, 0, kSnapLen, kLinkEthernet};
  static_assert(sizeof header == 24);
  if (write(fd, &header, sizeof header) != ssize_t(sizeof header)) {
    int err = errno;
    close(fd);
    errno = err == 0 ? ENOSPC : err;
    return -1;
  }
  s_fd = fd;
  return 0;
}

int Pcap_Start() {
  std::string path = g_settings.pcapPath;
  if (path.empty()) path = Config_GetString("host", "pcapfile").value_or("");
  if (path.empty()) return 0;
  if (Pcap_Open(path.c_str()) == 0) return 0;
  fprintf(stderr, "Cannot open capture file `%s': %s\n", path.c_str(), Err_Text(errno));
  return kPcapOpenStatus;
}

void Pcap_Frame(const uint8_t *frame, size_t len) {
  if (s_fd < 0) return;
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  uint32_t kept = uint32_t(len < kSnapLen ? len : kSnapLen);
  uint32_t record[4] = {uint32_t(now.tv_sec), uint32_t(now.tv_nsec / 1000), kept, uint32_t(len)};
  struct iovec iov[2] = {{record, sizeof record}, {const_cast<uint8_t *>(frame), kept}};
  if (!WriteAll(iov, 2, sizeof record + kept)) {
    fprintf(stderr, "Packet capture stopped: %s\n", Err_Text(errno));
    Pcap_Close();
  }
}

void Pcap_Close() {
  if (s_fd >= 0) close(s_fd);
  s_fd = -1;
}
