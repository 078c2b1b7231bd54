// The controller as a grandchild process under a watcher, and the stop
// through pidfds.
#include "daemon/runs/controller.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>

#include "daemon/runs/latch.hpp"
#include "daemon/runs/lock_holder.hpp"
#include "state/position_file.hpp"
#include "daemon/runs/run_start.hpp"

namespace armctl::front {
namespace {

using clock = std::chrono::steady_clock;

// How often the watcher looks whether its run holds the lock yet.
constexpr int holder_check_ms = 10;
// The watcher's exit status when no run could be started.
constexpr int not_started = 127;

// Straight system calls: the C library's wrappers are not declared for C++
// on every Debian release.
int pidfd_open(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }
int pidfd_send_signal(int pidfd, int sig) {
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
}

// The child's stdin and stderr are /dev/null; its signals are as at boot.
bool spawn(const run_plan& plan, int out_fd, pid_t& pid) {
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
  argv.reserve(plan.argv.size() + 1);
  for (const std::string& a : plan.argv) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  char* empty_env[] = {nullptr};
  const int rc = ::posix_spawn(&pid, plan.program.c_str(), &fa, &attr, argv.data(), empty_env);
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  return rc == 0;
}

int wait_status(pid_t child) {
  int st = 0;
  while (::waitpid(child, &st, 0) < 0)
    if (errno != EINTR) return -1;
  if (WIFEXITED(st)) return WEXITSTATUS(st);
  return WIFSIGNALED(st) ? 128 + WTERMSIG(st) : -1;
}

bool holds_lock(const char* state_dir, pid_t run) {
  const auto h = lock_holder(state_dir);
  return h && h->mark.pid == run;
}

bool latched(const char* state_dir) {
  const armctl::state_dir dir(state_dir);
  return read_latch(dir).has_value();
}

// The signals that end the watcher's watch: the parent-death signal and the
// server's own. They are taken from a signalfd, never by a handler; an
// ignored signal would be dropped rather than queued, hence the defaults.
int ending_signals_fd() {
  sigset_t ends;
  sigemptyset(&ends);
  for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
    ::signal(sig, SIG_DFL);
    sigaddset(&ends, sig);
  }
  ::sigprocmask(SIG_BLOCK, &ends, nullptr);
  return ::signalfd(-1, &ends, SFD_CLOEXEC);
}

// One watch over the run: while it waits, every few milliseconds, whether
// it holds the lock (then its queue place is given up), the bound passed or
// the caller went away. The web server would not end the CGI for a caller
// gone, nor could it signal the arm's account's processes under suEXEC: a
// run nobody waits for must not start moving later. Once it holds the lock,
// until the counters it started from are read and sent to the CGI on
// `start_fd`.
class watch {
 public:
  watch(const run_plan& plan, const queue_place& place, pid_t run, int start_fd)
      : plan_(plan),
        place_(place),
        run_(run),
        start_fd_(start_fd),
        deadline_(clock::now() + plan.bound),
        caller_(plan.client) {}

  void tick() {
    if (waiting_) {
      if (holds_lock(plan_.state_dir, run_)) {
        place_.leave();
        waiting_ = false;
      } else if (clock::now() >= deadline_ || caller_.gone()) {
        end_run();
      }
    }
    if (!waiting_ && start_fd_ >= 0) send_start();
  }
  void end_run() {
    ::kill(run_, SIGTERM);
    waiting_ = false;
  }
  int timeout_ms() const { return waiting_ || start_fd_ >= 0 ? holder_check_ms : -1; }

 private:
  void send_start() {
    const auto start = counters_under_hold(plan_.state_dir, run_);
    if (!start) return;
    const std::string text = position_text(*start);
    (void)!::write(start_fd_, text.data(), text.size());  // a few bytes: the pipe takes them
    ::close(start_fd_);
    start_fd_ = -1;
  }

  const run_plan& plan_;
  const queue_place& place_;
  pid_t run_;
  int start_fd_;
  clock::time_point deadline_;
  caller_watch caller_;
  bool waiting_ = true;
};

// The watcher: the run's parent, and a fork of the CGI that never execs, so
// that the parent-death signal holds (the kernel clears it on exec of a
// program with file capabilities, such as the installed controller).
[[noreturn]] void watcher(const run_plan& plan, const queue_place& place, int out_fd, int start_fd,
                          pid_t cgi) {
  const int ends = ending_signals_fd();
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  pid_t run = -1;
  // A CGI that died before the prctl would never send it: start nothing.
  if (ends < 0 || ::getppid() != cgi || !spawn(plan, out_fd, run)) ::_exit(not_started);
  ::close(out_fd);
  const int exited = pidfd_open(run);
  const bool recorded = place.record(run);
  watch w(plan, place, run, start_fd);
  // Recorded first, then the latch read: a STOP that latched before this
  // read finds the record, one after it is seen here. A run no STOP could
  // find, or without a pidfd to see it end by, cannot be watched.
  if (!recorded || latched(plan.state_dir) || exited < 0) w.end_run();
  while (exited >= 0) {
    pollfd p[2] = {{ends, POLLIN, 0}, {exited, POLLIN, 0}};
    const int ready = ::poll(p, 2, w.timeout_ms());
    if (ready < 0 && errno != EINTR) break;
    if (p[1].revents != 0) break;
    if (p[0].revents != 0) {
      signalfd_siginfo info;
      (void)!::read(ends, &info, sizeof info);
      w.end_run();
    }
    w.tick();
  }
  const int status = wait_status(run);
  ::_exit(status < 0 ? not_started : status);
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

// SIGTERM through a pidfd: once open it names one process for good; the
// record, read again, says whether that process is still the one it names.
stop_outcome signal_named(pid_t pid, const std::string& program,
                          const std::function<bool()>& still_named) {
  const int pidfd = pidfd_open(pid);
  if (pidfd < 0) return errno == ESRCH ? stop_outcome::no_run : stop_outcome::failed;
  stop_outcome outcome = stop_outcome::no_run;
  if (still_named() && runs_program(pid, program)) {
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

stop_outcome stop_holder(const char* state_dir, const std::string& program) {
  const std::optional<holder> before = lock_holder(state_dir);
  if (!before) return stop_outcome::no_run;
  return signal_named(before->mark.pid, program, [&] {
    const std::optional<holder> after = lock_holder(state_dir);
    return after && after->text == before->text;
  });
}

// Everything the pipe carries until its writers are gone, each piece also
// given to `each` as it arrives.
std::string read_all(int fd, const std::function<void(std::string_view)>& each) {
  std::string out;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
    if (each) each(std::string_view(buf, static_cast<std::size_t>(n)));
  }
  return out;
}

std::optional<counters> start_of(const std::string& text) {
  if (text.empty()) return std::nullopt;
  counters c{};
  parse_counters(text, c);
  return c;
}

}  // namespace

// Two pipes: the run's standard output, and the watcher's message of the
// counters the run started from (read once the output has ended).
run_output run_controller(const run_plan& plan, const queue_place& place) {
  run_output r;
  int out[2], start[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return r;
  if (::pipe2(start, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    return r;
  }
  const pid_t cgi = ::getpid();
  const pid_t watcher_pid = ::fork();
  if (watcher_pid == 0) {
    ::close(out[0]);
    ::close(start[0]);
    watcher(plan, place, out[1], start[1], cgi);
  }
  ::close(out[1]);
  ::close(start[1]);
  if (watcher_pid > 0) {
    r.out = read_all(out[0], plan.on_output);
    r.start = start_of(read_all(start[0], nullptr));
    const int status = wait_status(watcher_pid);
    r.status = status == not_started ? -1 : status;
    // A run ended while it waited prints nothing: it never reached an option.
    r.gave_up_waiting = r.status == 143 && r.out.empty();
  }
  ::close(out[0]);
  ::close(start[0]);
  return r;
}

stop_report stop_everything(const char* state_dir, const std::string& program) {
  stop_report r;
  const armctl::state_dir dir(state_dir);
  for (const waiting_run& w : waiting_runs(dir))
    if (signal_named(w.pid, program, [&] { return still_waiting(dir, w); }) ==
        stop_outcome::signalled)
      ++r.waiting_ended;
  r.holder = stop_holder(state_dir, program);
  return r;
}

}  // namespace armctl::front
