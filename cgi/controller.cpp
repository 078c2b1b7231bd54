// The controller as a child process, and the stop through a pidfd.
#include "cgi/controller.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "state/state_dir.hpp"

namespace armctl::cgi {
namespace {

using clock = std::chrono::steady_clock;

// Straight system calls: the C library's wrappers are not declared for C++
// on every Debian release.
int pidfd_open(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }
int pidfd_send_signal(int pidfd, int sig) {
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
}

constexpr const char* holder_mark = "user.armctl.holder";

std::optional<std::string> read_mark(int fd) {
  char buf[256];
  const ssize_t n = ::fgetxattr(fd, holder_mark, buf, sizeof buf);
  if (n < 0) return std::nullopt;
  return std::string(buf, static_cast<std::size_t>(n));
}

// The mark begins with the holder's decimal process id.
std::optional<pid_t> pid_of(const std::string& mark) {
  long long v = 0;
  std::size_t i = 0;
  for (; i < mark.size() && i < 10 && mark[i] >= '0' && mark[i] <= '9'; ++i)
    v = v * 10 + (mark[i] - '0');
  if (i == 0 || v <= 0 || (i < mark.size() && mark[i] != ' ')) return std::nullopt;
  return static_cast<pid_t>(v);
}

int open_lock(const char* path) {
  const armctl::state_dir dir(path);
  return dir.open_regular(lock_file_name, O_RDONLY);
}

// The child's stdin and stderr are /dev/null; its signals are as at boot.
bool spawn(const std::string& program, const std::vector<std::string>& args, int out_fd,
           pid_t& pid) {
  posix_spawn_file_actions_t fa;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, out_fd, 1);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  char* empty_env[] = {nullptr};
  const int rc = ::posix_spawn(&pid, program.c_str(), &fa, &attr, argv.data(), empty_env);
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  return rc == 0;
}

bool child_holds_lock(const char* state_dir, pid_t child) {
  const auto h = lock_holder(state_dir);
  return h && h->pid == child;
}

// Reads the child's output to its end; `deadline` passes once, and then the
// child either holds the lock (wait on) or is sent SIGTERM.
void collect(int fd, pid_t child, const char* state_dir, clock::time_point deadline,
             run_output& r) {
  bool judged = false;
  for (;;) {
    int timeout = -1;
    if (!judged) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
      timeout = static_cast<int>(std::max<long long>(0, left.count()));
    }
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, timeout);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) {
      judged = true;
      if (!child_holds_lock(state_dir, child)) {
        r.gave_up_waiting = true;
        ::kill(child, SIGTERM);
      }
      continue;
    }
    char buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    r.out.append(buf, static_cast<std::size_t>(n));
  }
}

int wait_status(pid_t child) {
  int st = 0;
  while (::waitpid(child, &st, 0) < 0)
    if (errno != EINTR) return -1;
  if (WIFEXITED(st)) return WEXITSTATUS(st);
  return WIFSIGNALED(st) ? 128 + WTERMSIG(st) : -1;
}

// The kernel's name of the process (at most 15 characters of the program's file name).
bool runs_program(pid_t pid, const std::string& program) {
  std::string name = program.substr(program.rfind('/') + 1).substr(0, 15);
  const std::string path = "/proc/" + std::to_string(pid) + "/comm";
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[32];
  const ssize_t n = ::read(fd, buf, sizeof buf);
  ::close(fd);
  return n > 0 && std::string(buf, static_cast<std::size_t>(n)) == name + "\n";
}

}  // namespace

run_output run_controller(const std::string& program, const std::vector<std::string>& argv,
                          const char* state_dir, std::chrono::milliseconds bound) {
  run_output r;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return r;
  const auto deadline = clock::now() + bound;
  pid_t child = -1;
  const bool started = spawn(program, argv, fds[1], child);
  ::close(fds[1]);
  if (started) {
    collect(fds[0], child, state_dir, deadline, r);
    r.status = wait_status(child);
  }
  ::close(fds[0]);
  return r;
}

std::optional<holder> lock_holder(const char* state_dir) {
  const int fd = open_lock(state_dir);
  if (fd < 0) return std::nullopt;
  const std::optional<std::string> mark = read_mark(fd);
  ::close(fd);
  if (!mark) return std::nullopt;
  const std::optional<pid_t> pid = pid_of(*mark);
  if (!pid) return std::nullopt;
  return holder{*pid, *mark};
}

stop_outcome stop_holder(const char* state_dir, const std::string& program, pid_t* pid) {
  const std::optional<holder> before = lock_holder(state_dir);
  if (!before) return stop_outcome::no_run;
  *pid = before->pid;
  const int pidfd = pidfd_open(before->pid);
  if (pidfd < 0) return errno == ESRCH ? stop_outcome::no_run : stop_outcome::failed;
  // The pidfd now names one process for good; the mark, read again, says
  // whether that process is still the one holding the lock.
  const std::optional<holder> after = lock_holder(state_dir);
  stop_outcome outcome = stop_outcome::no_run;
  if (after && after->mark == before->mark && runs_program(before->pid, program)) {
    if (pidfd_send_signal(pidfd, SIGTERM) == 0)
      outcome = stop_outcome::signalled;
    else
      outcome = errno == EPERM   ? stop_outcome::not_permitted
                : errno == ESRCH ? stop_outcome::no_run
                                 : stop_outcome::failed;
  }
  ::close(pidfd);
  return outcome;
}

}  // namespace armctl::cgi
