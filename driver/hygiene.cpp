// Process hygiene at the start of a run.
#include "driver/hygiene.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace armctl {
namespace {

// Open descriptors are taken lowest first, so each /dev/null lands on the
// first closed one. Where even that fails the open-file limit leaves no
// descriptor free, and every later open fails as well.
void open_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0 && null != fd) ::close(null);
  }
}

void ensure_open_files() {
  rlimit lim{};
  if (::getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur >= open_files_needed) return;
  lim.rlim_cur = std::min<rlim_t>(lim.rlim_max, open_files_needed);
  ::setrlimit(RLIMIT_NOFILE, &lim);
}

// At the soft limit the kernel sends SIGXCPU, which stops the motion and
// lets the run save; at the hard limit it kills outright. A soft limit equal
// to the hard one would leave no warning at all.
void keep_cpu_limit_warning() {
  rlimit lim{};
  if (::getrlimit(RLIMIT_CPU, &lim) != 0 || lim.rlim_max == RLIM_INFINITY || lim.rlim_max < 2 ||
      lim.rlim_cur < lim.rlim_max)
    return;
  lim.rlim_cur = lim.rlim_max - 1;
  ::setrlimit(RLIMIT_CPU, &lim);
}

// Dispositions survive exec only as default or ignored; handlers of the
// program's own (a sanitizer's, say) are left alone.
void reset_signals() {
  for (int sig = 1; sig < NSIG; ++sig) {
    struct sigaction current {};
    if (sig == SIGKILL || sig == SIGSTOP || ::sigaction(sig, nullptr, &current) != 0) continue;
    if (current.sa_handler == SIG_IGN) ::signal(sig, SIG_DFL);
  }
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

}  // namespace

void sanitize_process() {
  open_standard_streams();
  ensure_open_files();
  ::clearenv();
  reset_signals();
  keep_cpu_limit_warning();
  ::umask(file_creation_mask);
}

}  // namespace armctl
