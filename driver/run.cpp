// The run sequence.
#include "driver/run.hpp"

#include <cerrno>
#include <cstdio>

#include "driver/options.hpp"
#include "driver/signals.hpp"
#include "driver/status.hpp"
#include "geometry/segment.hpp"
#include "motor/bus.hpp"
#include "state/counters.hpp"
#include "state/lock_file.hpp"
#include "state/position_file.hpp"
#include "state/state_dir.hpp"

namespace armctl {
namespace {

// Port access could not be granted or dropped: the run ends at once without
// saving, but releases the lock so that later runs are not blocked forever.
int port_failure(lock_file& lock) {
  std::perror("ioperm");
  lock.release();
  return exit_code::port_access_failed;
}

void reset_run_state() {
  data = {};
  base = shoulder = elbow = wrist = total = segment{};
}

}  // namespace

int run(int argc, char** argv, const settings& s, port& p) {
  reset_run_state();
  const state_dir dir(s.state_dir);
  lock_file lock(dir, s.lock_poll);
  lock.wait();
  begin_locked_phase();

  run_status status;
  if (!lock.take()) status.fail(exit_code::lock_take_failed);
  if (!load_counters(dir, data)) status.fail(exit_code::position_load_failed);
  if (!p.grant()) return port_failure(lock);

  bus b(p, s.delay_ns, &stop_signal);
  run_options(argc, argv, b, status);
  unlock_shoulder(b);
  if (!p.drop()) return port_failure(lock);

  if (save_counters(dir, data))
    std::fputs(summary_line(data).c_str(), stdout);
  else
    status.fail(exit_code::position_save_failed);
  if (!lock.release()) status.fail(exit_code::lock_release_failed);
  return status.final_code(stop_signal);
}

}  // namespace armctl
