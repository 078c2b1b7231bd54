// Starting the controller for a request, waiting for it within a bound, and
// stopping the run that holds the lock. No shell: the argument vector goes
// to execve as it is, with an empty environment.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace armctl::cgi {

struct run_output {
  int status = -1;               // exit status, 128+n for a signal, -1 if it never ran
  std::string out;               // its standard output
  bool gave_up_waiting = false;  // the bound passed before it held the lock
};

// Runs `program` with `argv`; if after `bound` the run has not marked the
// lock in `state_dir` as its own, ends it with SIGTERM (a waiting run exits
// at once touching neither file).
run_output run_controller(const std::string& program, const std::vector<std::string>& argv,
                          const char* state_dir, std::chrono::milliseconds bound);

// The process id at the start of lock.dat's holder mark, and the whole mark.
struct holder {
  pid_t pid;
  std::string mark;
};
std::optional<holder> lock_holder(const char* state_dir);

enum class stop_outcome { signalled, no_run, not_permitted, failed };

// Sends SIGTERM to the run that holds the lock, through a pidfd taken while
// the mark names it and checked against the mark again, so that a process
// id used anew can never be hit.
stop_outcome stop_holder(const char* state_dir, const std::string& program, pid_t* pid);

}  // namespace armctl::cgi
