// A move of options as the daemon carries it once the request rules have
// checked it: each option's letter and, for a motion letter, its count as a
// number; the controller's argument vector for it; and how long it keeps
// the motors busy.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "model/commands.hpp"

namespace armctl::front {

using option = run_option;
struct move_query {
  std::vector<option> options;
};

// The controller's argument vector for a move: "armctl" then the options,
// each count printed back as the decimal text the request gave.
std::vector<std::string> argument_vector(const move_query& q);

// How long a move keeps the motors busy, from its counts and the
// controller's built delay, before anything is started.
inline std::chrono::nanoseconds motion_time(const move_query& q, std::int64_t delay_ns) {
  return std::chrono::nanoseconds(run_cycles(q.options) * delays_per_cycle * delay_ns);
}

// A time as the answers give it: seconds, as a number.
inline double in_seconds(std::chrono::nanoseconds t) {
  return static_cast<double>(t.count()) * 1e-9;
}

}  // namespace armctl::front
