// The run sequence.
#include "driver/run.hpp"

#include <cerrno>
#include <cstdio>
#include <optional>
#include <unistd.h>

#include "driver/options.hpp"
#include "driver/signals.hpp"
#include "driver/status.hpp"
#include "motor/bus.hpp"
#include "state/lock_file.hpp"
#include "state/position_file.hpp"

namespace armctl {
namespace {

// The options of a run that holds no lock, or could not save: the privilege
// is given up unused, every report line as usual, no counter saved, nothing
// on the port. The file failure decides the status, not a refusal.
void run_without_motion(int argc, char** argv, arm a, privileges* priv) {
  if (priv != nullptr && !priv->give_up()) privilege_failure();
  run_status ignored;
  run_options(argc, argv, a, nullptr, ignored, stop_signal);
}

// Port access could not be granted or dropped: the run ends at once. What
// the motors did is saved all the same, so that the file never falls behind
// the arm, and the lock is released so that later runs are not blocked.
int port_failure(lock_file& lock, pending_save& save, const counters* moved) {
  const int err = errno;
  std::fflush(stdout);
  errno = err;
  std::perror("ioperm");
  // The port failure decides the exit status whatever these come to: a
  // failed save or release has nothing to add that the caller could act on
  // differently, and the status has room for one reason only.
  if (moved != nullptr)
    (void)save.commit(*moved);
  else
    save.abandon();
  (void)lock.release();
  return exit_code::port_access_failed;
}

void print_summary(const counters& c) { std::fputs(summary_line(c).c_str(), stdout); }

// A dead run's lock taken over is said on standard error, for the journal;
// standard output, which callers read, stays as it was.
void report_takeover(const lock_file& lock) {
  if (const std::optional<takeover>& t = lock.took_over())
    std::fprintf(stderr, "armctl: took over the lock left by run %d (%s)\n",
                 static_cast<int>(t->pid), cause_words(t->cause));
}

}  // namespace

void privilege_failure() {
  std::perror("ioperm");
  std::fflush(stdout);
  ::_exit(exit_code::port_access_failed);
}

// A run syncs the disk where a power cut would otherwise lose what the next
// run relies on, and nowhere else: the take twice (its "taking" mark before
// the "1" can reach the disk, then the "1" with its "held" mark), the save
// twice (the new file, then its rename in the directory; none at all when
// the file already holds the counters, as after a run that moved nothing),
// and the release once (the "0" before its mark comes off).
int run(int argc, char** argv, const settings& s, const state_dir& dir, port& p, privileges* priv) {
  arm a;
  lock_file lock(dir, s.lock_poll);
  bool held = lock.wait();
  begin_locked_phase();
  held = held && lock.take();
  if (held) report_takeover(lock);

  run_status status;
  if (!load_counters(dir, a.data)) status.fail(exit_code::position_load_failed);
  if (!held) {
    // Someone else may hold the lock: neither the port, nor the position
    // file, nor the lock file is ours to touch.
    run_without_motion(argc, argv, a, priv);
    status.fail(exit_code::lock_take_failed);
    return status.final_code(stop_signal);
  }

  pending_save save(dir);
  if (!save.prepare()) {
    run_without_motion(argc, argv, a, priv);
    status.fail(exit_code::position_save_failed);
  } else {
    if (!p.grant()) return port_failure(lock, save, nullptr);
    bus b(p, s.delay_ns, &stop_signal);
    run_options(argc, argv, a, &b, status, stop_signal);
    unlock_shoulder(b);
    if (!p.drop()) return port_failure(lock, save, &a.data);

    const save_result saved = save.commit(a.data);
    if (saved != save_result::failed) print_summary(a.data);
    if (saved != save_result::saved) status.fail(exit_code::position_save_failed);
  }
  if (!lock.release()) status.fail(exit_code::lock_release_failed);
  return status.final_code(stop_signal);
}

int run(int argc, char** argv, const settings& s, port& p) {
  const state_dir dir(s.state_dir);
  return run(argc, argv, s, dir, p, nullptr);
}

}  // namespace armctl
