// pidfds, which name one process for good once open, so that a signal never
// reaches another process given the same id later. Straight system calls:
// the C library's wrappers are not declared for C++ on every Debian release.
#pragma once

#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

namespace armctl::front {

inline int pidfd_open(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }
inline int pidfd_send_signal(int pidfd, int sig) {
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
}

}  // namespace armctl::front
