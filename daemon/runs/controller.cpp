// The controller as a child of the daemon: spawned, read as it prints,
// reaped, and its lock freed if it died holding it.
#include "daemon/runs/controller.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "daemon/runs/lock_holder.hpp"
#include "daemon/runs/pidfd.hpp"
#include "daemon/runs/run_start.hpp"
#include "daemon/stores/latch.hpp"
#include "daemon/stores/unlock_record.hpp"
#include "state/state_dir.hpp"

namespace armctl::front {
namespace {

// How often the run is looked at while it waits for the lock or its start
// counters are still to be read.
constexpr int watch_ms = 10;

// The child's stdin is /dev/null; its stderr is the daemon's (the journal
// under systemd), where what it says of the lock and the port is kept. Its
// signals are as at boot (the daemon's threads block the ones it takes
// itself).
bool spawn(const run_plan& plan, int out_fd, pid_t& pid) {
  posix_spawn_file_actions_t fa;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, out_fd, 1);
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

// One run's watch: its output as it comes; until it holds the lock, the
// deadline and the caller; until the counters it started from are read,
// a look every few milliseconds.
class watch {
 public:
  watch(arm& a, const run_plan& plan, pid_t run, int pidfd, int out)
      : arm_(a), plan_(plan), run_(run), pidfd_(pidfd), out_(out) {}

  run_output follow() {
    run_output r;
    for (bool open = true; open;) {
      pollfd p{out_, POLLIN, 0};
      const int ready = ::poll(&p, 1, timeout_ms());
      if (ready < 0 && errno != EINTR) break;
      if (ready > 0) open = take_output(r);
      look(r);
    }
    return r;
  }

 private:
  int timeout_ms() const { return waiting_ || !start_known_ ? watch_ms : -1; }

  bool take_output(run_output& r) {
    char buf[4096];
    const ssize_t n = ::read(out_, buf, sizeof buf);
    if (n < 0) return errno == EINTR || errno == EAGAIN;
    if (n == 0) return false;
    r.out.append(buf, static_cast<std::size_t>(n));
    holds();  // it prints only once it holds the lock
    if (plan_.on_output) plan_.on_output(std::string_view(buf, static_cast<std::size_t>(n)));
    return true;
  }

  void look(run_output& r) {
    if (!start_known_) {
      if (const auto start = counters_under_hold(plan_.state_dir, run_)) {
        r.start = start;
        start_known_ = true;
        holds();
      }
    }
    if (!waiting_ || ended_) return;
    const bool gone = plan_.caller_gone && plan_.caller_gone();
    if (gone || (steady::now() >= plan_.deadline && !holds_lock(plan_.state_dir, run_))) {
      r.caller_gone = gone;
      (void)pidfd_send_signal(pidfd_, SIGTERM);
      ended_ = true;
    }
  }

  void holds() {
    if (waiting_) arm_.run_holds_lock();
    waiting_ = false;
  }

  arm& arm_;
  const run_plan& plan_;
  pid_t run_;
  int pidfd_;
  int out_;
  bool waiting_ = true;
  bool start_known_ = false;
  bool ended_ = false;
};

// A run of ours that died holding the lock (killed between its "1" and its
// release) can never write its "0": free it, unless another process holds
// the kernel lock, and say so in the journal and the unlock record.
void free_own_lock(const char* state_dir, pid_t run) {
  const armctl::state_dir dir(state_dir);
  const unlock_report r = release_own_dead_run(dir, run);
  if (r.outcome != unlock_outcome::unlocked) return;
  std::fprintf(stderr, "armctld: freed the lock that run %d left when it died (mark \"%s\")\n",
               static_cast<int>(run), r.found ? r.found->text.c_str() : "");
  record_unlock(dir, "armctld", r.found ? r.found->text : std::string());
}

}  // namespace

run_output run_controller(arm& a, const run_plan& plan) {
  run_output r;
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return r;
  pid_t pid = -1;
  const bool started = spawn(plan, out[1], pid);
  ::close(out[1]);
  const int pidfd = started ? pidfd_open(pid) : -1;
  if (!started || pidfd < 0) {
    ::close(out[0]);
    if (started) r.status = wait_status(pid);
    return r;
  }
  a.run_started(pid, pidfd, plan.progress);
  // Known to STOP first, then the latch read: a STOP that latched before
  // this read finds the run, one after it is seen here.
  if (latched(plan.state_dir)) (void)pidfd_send_signal(pidfd, SIGTERM);
  watch w(a, plan, pid, pidfd, out[0]);
  run_output followed = w.follow();
  ::close(out[0]);
  followed.status = wait_status(pid);
  // A run ended while it waited prints nothing: it never reached an option.
  followed.gave_up_waiting = followed.status == 143 && followed.out.empty();
  if (followed.status >= 128) free_own_lock(plan.state_dir, pid);
  a.run_ended(followed.status,
              followed.gave_up_waiting ? std::nullopt : std::optional<std::string>(utc_now()));
  // Closed only once the arm has forgotten it: STOP signals through it under
  // the arm's lock, and a number closed before could name another file.
  ::close(pidfd);
  return followed;
}

namespace {

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

stop_outcome stop_foreign_holder(const char* state_dir, const std::string& program) {
  const std::optional<holder> before = lock_holder(state_dir);
  if (!before) return stop_outcome::no_run;
  const int pidfd = pidfd_open(before->mark.pid);
  if (pidfd < 0) return errno == ESRCH ? stop_outcome::no_run : stop_outcome::failed;
  stop_outcome outcome = stop_outcome::no_run;
  const std::optional<holder> after = lock_holder(state_dir);
  if (after && after->text == before->text && runs_program(before->mark.pid, program)) {
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

}  // namespace armctl::front
