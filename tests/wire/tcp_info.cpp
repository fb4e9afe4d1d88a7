// The kernel's per-socket TCP statistics for the TCP wire tests. Kept in a
// file of its own: the kernel's struct tcp_info (which counts data segments
// sent) cannot be included next to the C library's TCP header.
#include <linux/in.h>
#include <linux/tcp.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

namespace wire {

/// Data segments the socket `fd` has sent so far, or -1 when unknown.
int64_t TcpDataSegmentsOut(int fd) {
  struct tcp_info info {};
  socklen_t len = sizeof info;
  if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) return -1;
  if (len < offsetof(struct tcp_info, tcpi_data_segs_out) + sizeof info.tcpi_data_segs_out)
    return -1;
  return info.tcpi_data_segs_out;
}

}  // namespace wire
