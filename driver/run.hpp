// One run of the controller, from the lock wait to the exit status.
#pragma once

#include <chrono>
#include <cstdint>

#include "driver/privileges.hpp"
#include "motor/port.hpp"
#include "state/state_dir.hpp"

namespace armctl {

struct settings {
  const char* state_dir;
  std::int64_t delay_ns;
  std::chrono::nanoseconds lock_poll = std::chrono::seconds(1);
};

// Waits for and takes the lock, loads the counters, prepares the save,
// grants the port, runs the options, releases the shoulder, drops the port,
// saves and prints the counters, releases the lock; returns the exit status.
// A run that cannot hold the lock, or could not save, moves nothing and
// writes nothing to the port, and gives `priv` (when given) up unused.
int run(int argc, char** argv, const settings& s, const state_dir& dir, port& p, privileges* priv);
// The same, opening `s.state_dir` itself.
int run(int argc, char** argv, const settings& s, port& p);

// Ends the run at once, before any further file work, when a privilege could
// not be set or given up: "ioperm: <reason>" and status 1.
[[noreturn]] void privilege_failure();

}  // namespace armctl
