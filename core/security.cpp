// Least privilege after start-up: capabilities and the seccomp filter.
//
// Dropping capabilities changes nothing natd does at run time: what it
// keeps covers every call it makes after start-up (raw and privileged
// sockets, the device, re-reading the configuration, removing its pid file
// and sockets, signalling its process group). The seccomp filter is an
// allow-list; a call outside it fails with EPERM rather than killing the
// process, so an overlooked path degrades like any failing call.
#include "core/security.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <linux/audit.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <vector>

#include "core/config.h"

namespace {

constexpr int kKept[] = {CAP_NET_RAW,  CAP_NET_BIND_SERVICE, CAP_NET_ADMIN, CAP_DAC_OVERRIDE,
                         CAP_DAC_READ_SEARCH, CAP_FOWNER, CAP_KILL};

#if defined(__x86_64__)
constexpr uint32_t kAuditArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr uint32_t kAuditArch = AUDIT_ARCH_AARCH64;
#else
constexpr uint32_t kAuditArch = 0;  // no filter
#endif

// What the event loop, the modules, malloc, the C library's resolver in the
// DNS children and the shutdown path call. Calls some architectures lack
// are left out there.
const long kAllowed[] = {
    SYS_read, SYS_write, SYS_readv, SYS_writev, SYS_pread64, SYS_pwrite64, SYS_close, SYS_lseek,
    SYS_openat, SYS_fstat, SYS_newfstatat, SYS_statx, SYS_faccessat, SYS_unlinkat, SYS_fcntl, SYS_ioctl,
    SYS_socket, SYS_bind, SYS_connect, SYS_listen, SYS_accept, SYS_accept4, SYS_getsockname,
    SYS_getpeername, SYS_setsockopt, SYS_getsockopt, SYS_shutdown, SYS_sendto, SYS_recvfrom, SYS_sendmsg,
    SYS_recvmsg, SYS_sendmmsg, SYS_recvmmsg, SYS_socketpair, SYS_ppoll, SYS_pselect6, SYS_epoll_create1,
    SYS_epoll_ctl, SYS_epoll_pwait, SYS_pipe2, SYS_dup, SYS_dup3, SYS_close_range, SYS_mmap, SYS_munmap,
    SYS_mremap, SYS_mprotect, SYS_madvise, SYS_brk, SYS_rt_sigaction, SYS_rt_sigprocmask,
    SYS_rt_sigreturn, SYS_kill, SYS_tgkill, SYS_wait4, SYS_clone, SYS_clone3, SYS_exit, SYS_exit_group,
    SYS_set_robust_list, SYS_rseq, SYS_futex, SYS_getpid, SYS_getppid, SYS_gettid, SYS_getpgid,
    SYS_getuid, SYS_geteuid, SYS_getgid, SYS_getegid, SYS_uname, SYS_getrandom, SYS_gettimeofday,
    SYS_clock_gettime, SYS_clock_nanosleep, SYS_nanosleep, SYS_sched_yield, SYS_prlimit64,
    SYS_sysinfo, SYS_restart_syscall, SYS_sigaltstack,
#ifdef SYS_open
    SYS_open, SYS_stat, SYS_lstat, SYS_access, SYS_unlink, SYS_poll, SYS_select, SYS_epoll_wait,
    SYS_pipe, SYS_dup2, SYS_fork, SYS_vfork, SYS_time, SYS_getpgrp,
#endif
};

long Capget(cap_user_header_t h, cap_user_data_t d) { return syscall(SYS_capget, h, d); }
long Capset(cap_user_header_t h, cap_user_data_t d) { return syscall(SYS_capset, h, d); }

}  // namespace

uint64_t Security_KeptCapabilities() {
  uint64_t mask = 0;
  for (int cap : kKept) mask |= uint64_t{1} << cap;
  return mask;
}

int Security_DropCapabilities() {
  __user_cap_header_struct head = {_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (Capget(&head, data) != 0) return -1;
  const uint64_t keep = Security_KeptCapabilities();
  // The bounding set first, while CAP_SETPCAP is still there.
  for (int cap = 0; cap <= CAP_LAST_CAP; cap++)
    if (!(keep >> cap & 1)) prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
  prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
  for (int i = 0; i < 2; i++) {
    const uint32_t k = uint32_t(keep >> (32 * i));
    data[i].effective &= k;
    data[i].permitted &= k;
    data[i].inheritable &= k;
  }
  return Capset(&head, data) == 0 ? 0 : -1;
}

int Security_InstallSeccomp() {
  if (kAuditArch == 0) return -1;
  const uint32_t refuse = SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA);
  std::vector<sock_filter> prog = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, refuse),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
  };
  for (long nr : kAllowed) {
    prog.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, uint32_t(nr), 0, 1));
    prog.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  }
  prog.push_back(BPF_STMT(BPF_RET | BPF_K, refuse));
  sock_fprog fprog = {static_cast<unsigned short>(prog.size()), prog.data()};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return -1;
  return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &fprog) == 0 ? 0 : -1;
}

void Security_Apply() {
  if (Config_GetInt("security", "dropCapabilities", 1) != 0) Security_DropCapabilities();
  if (Config_GetInt("security", "seccomp", 0) == 0) return;
#if defined(__SANITIZE_ADDRESS__)
  fputs("seccomp = 1 ignored: an address-checking build makes calls outside the filter\n", stderr);
#else
  if (Security_InstallSeccomp() != 0) fputs("seccomp filter could not be installed\n", stderr);
#endif
}
