// Starting the controller for a request that has the arm's turn, and
// reading its output as it prints. No shell: the argument vector goes to
// execve as it is, with an empty environment. The daemon is the run's
// parent: STOP signals it through a pidfd that names it for good.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "daemon/runs/arm.hpp"
#include "model/joints.hpp"

namespace armctl::front {

struct run_output {
  int status = -1;               // exit status, 128+n for a signal, -1 if it never ran
  std::string out;               // its standard output
  bool gave_up_waiting = false;  // ended before it held the lock (nothing touched)
  // The counters it started from, read while it held the lock and before
  // it saved; nothing when that moment could not be caught (a run that
  // ends within a few milliseconds of taking the lock).
  std::optional<counters> start;
  bool caller_gone = false;  // ended so because its caller went away
};

struct run_plan {
  std::string program;
  std::vector<std::string> argv;
  const char* state_dir;
  steady::time_point deadline;  // for the wait for the lock
  // Each piece of the run's output as it arrives (its progress).
  std::function<void(std::string_view)> on_output{};
  std::function<bool()> caller_gone{};  // looked at while the run waits for the lock
  run_progress progress{};              // what the state shows of it
};

// Runs the plan: the run is ended with SIGTERM (a waiting run exits at once
// touching neither file; a moving one stops at its next step) when the
// deadline passes or the caller goes away before it holds the lock, or when
// the arm is latched by the time it is known to STOP. A lock that the run
// leaves behind when it dies (a kill before its release) is freed once it
// is reaped, when no other process holds it.
run_output run_controller(arm& a, const run_plan& plan);

enum class stop_outcome { signalled, no_run, not_permitted, failed };

// Sends SIGTERM to a holder of the lock that is not a run of ours (a person's
// run at the shell), through a pidfd taken while the lock's mark names it
// and checked against the mark again.
stop_outcome stop_foreign_holder(const char* state_dir, const std::string& program);

}  // namespace armctl::front
