// One run of the controller, from the lock wait to the exit status.
#pragma once

#include <chrono>
#include <cstdint>

#include "motor/port.hpp"

namespace armctl {

struct settings {
  const char* state_dir;
  std::int64_t delay_ns;
  std::chrono::nanoseconds lock_poll = std::chrono::seconds(1);
};

// Waits for and takes the lock, loads the counters, grants the port, runs the
// options, releases the shoulder, drops the port, saves and prints the
// counters, releases the lock; returns the exit status.
int run(int argc, char** argv, const settings& s, port& p);

}  // namespace armctl
