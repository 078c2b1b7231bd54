// Starting the controller for a request, and stopping runs. No shell: the
// argument vector goes to execve as it is, with an empty environment. A run
// never outlives its request: a watcher process, forked from the CGI, is the
// run's parent and ends it when the CGI dies.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "daemon/runs/caller.hpp"
#include "model/joints.hpp"
#include "daemon/runs/queue_file.hpp"

namespace armctl::front {

struct run_output {
  int status = -1;               // exit status, 128+n for a signal, -1 if it never ran
  std::string out;               // its standard output
  bool gave_up_waiting = false;  // it ended before it held the lock (nothing touched)
  // The counters it started from, read while it held the lock and before
  // it saved; nothing when the watcher could not catch that moment (a run
  // that ends within a few milliseconds of taking the lock).
  std::optional<counters> start;
};

struct run_plan {
  std::string program;
  std::vector<std::string> argv;
  const char* state_dir;
  std::chrono::milliseconds bound;  // the wait for the lock
  // Given each piece of the run's output as it arrives (the progress).
  std::function<void(std::string_view)> on_output{};
  std::optional<caller> client{};  // the request's caller, while it waits
};

// Runs the plan under a watcher that records the run in `place`, leaves the
// place once the run holds the lock, reads the counters it started from, and ends the run with
// SIGTERM (a waiting run exits at once touching neither file; a moving one stops at its next step)
// when the bound passes or the caller goes away before it holds the lock, when the CGI dies
// (parent-death signal), or when the arm was latched meanwhile.
run_output run_controller(const run_plan& plan, const queue_place& place);

enum class stop_outcome { signalled, no_run, not_permitted, failed };
struct stop_report {
  stop_outcome holder;            // the run holding the lock
  std::size_t waiting_ended = 0;  // runs of ours still waiting, sent SIGTERM
};

// Ends every run of ours that waits in the queue, then the run that holds
// the lock. Each is signalled through a pidfd taken while its record (queue
// place or holder mark) names it and checked against the record again, so
// that a process id used anew is never hit.
stop_report stop_everything(const char* state_dir, const std::string& program);

}  // namespace armctl::front
