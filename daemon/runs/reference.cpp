// The re-reference's child: lock_file and pending_save as the controller
// uses them; the parent reads what it found on a pipe.
#include "daemon/runs/reference.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "state/lock_file.hpp"
#include "state/position_file.hpp"

namespace armctl::front {
namespace {

// Ends the child while it waits: its default action terminates, and the
// lock's own wake-up timer uses SIGALRM, so this must be another signal.
constexpr int give_up_signal = SIGUSR1;

// The child's exit statuses; the index of each outcome.
constexpr int exit_done = 0, exit_busy = 1, exit_not_saved = 2, exit_not_released = 3,
              exit_lock_unusable = 4;

// A timer that ends this process at the deadline, unless the signal is
// blocked by then.
bool arm_give_up(std::chrono::milliseconds wait) {
  ::signal(give_up_signal, SIG_DFL);
  sigset_t s;
  sigemptyset(&s);
  sigaddset(&s, give_up_signal);
  ::sigprocmask(SIG_UNBLOCK, &s, nullptr);
  sigevent ev{};
  ev.sigev_notify = SIGEV_SIGNAL;
  ev.sigev_signo = give_up_signal;
  timer_t id{};
  if (::timer_create(CLOCK_MONOTONIC, &ev, &id) != 0) return false;
  const auto ms = wait.count();
  const itimerspec when{{0, 0},
                        {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000}};
  return ::timer_settime(id, 0, &when, nullptr) == 0;
}

// Once the lock is held, nothing may end the child before it releases it:
// the give-up signal and the parent-death signal wait until it exits.
void hold_off_signals() {
  sigset_t s;
  sigemptyset(&s);
  for (const int sig : {give_up_signal, SIGTERM, SIGINT, SIGHUP}) sigaddset(&s, sig);
  ::sigprocmask(SIG_BLOCK, &s, nullptr);
}

[[noreturn]] void child(const char* path, const counters& now, std::chrono::milliseconds wait,
                        int out) {
  ::prctl(PR_SET_PDEATHSIG, give_up_signal);
  if (!arm_give_up(wait)) ::_exit(exit_busy);
  const state_dir dir(path);
  lock_file lock(dir);
  // A wait that returns false did not wait: the file cannot be held at all.
  if (!lock.wait()) ::_exit(exit_lock_unusable);
  hold_off_signals();
  if (!lock.take()) ::_exit(exit_busy);
  counters before{};
  const bool read = load_counters(dir, before);
  const save_result saved = save_counters(dir, now);
  const bool released = lock.release();
  // Lost, the counters before are only unknown to the parent (null in the
  // history); what the run did is decided by its exit status alone.
  (void)write_all(out, read ? "y" + position_text(before) : std::string("n"));
  if (saved == save_result::failed) ::_exit(exit_not_saved);
  ::_exit(released ? exit_done : exit_not_released);
}

reference_outcome outcome_of(int status) {
  if (!WIFEXITED(status)) return reference_outcome::busy;  // ended while it waited
  switch (WEXITSTATUS(status)) {
    case exit_done:
      return reference_outcome::done;
    case exit_not_saved:
      return reference_outcome::not_saved;
    case exit_not_released:
      return reference_outcome::not_released;
    case exit_lock_unusable:
      return reference_outcome::lock_unusable;
    default:
      return reference_outcome::busy;
  }
}

}  // namespace

reference_report rereference(const char* state_dir, const counters& now,
                             std::chrono::milliseconds wait) {
  reference_report r{reference_outcome::busy, std::nullopt};
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return r;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    child(state_dir, now, wait, fds[1]);
  }
  ::close(fds[1]);
  std::string text;
  if (pid > 0 && !read_all(fds[0], text, 256)) text.clear();
  ::close(fds[0]);
  if (pid < 0) return r;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return r;
  r.outcome = outcome_of(status);
  if (text.size() > 1 && text[0] == 'y') {
    counters c{};
    parse_counters(std::string_view(text).substr(1), c);
    r.before = c;
  }
  return r;
}

}  // namespace armctl::front
