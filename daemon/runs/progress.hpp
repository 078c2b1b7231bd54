// The run in progress as arithmetic: from the option that reported last and
// the time since, the counters expected now at the controller's step rate.
#pragma once

#include <chrono>
#include <cstdint>

#include "daemon/runs/options.hpp"
#include "model/joints.hpp"

namespace armctl::front {

// Where a run stands `option_ns` after option `option` (1-based) printed its
// report, by the model's judgement of the options from `start`: a refused
// option and Q do not move; a moving one advances at one write cycle per
// two delays of `delay_ns`, never beyond its end.
struct progress_point {
  counters expected{};
  std::int64_t done_cycles = 0;   // the whole run's cycles made so far
  std::int64_t total_cycles = 0;  // the whole run's, refused options not moving
};
progress_point progress_at(const move_query& q, const counters& start, std::size_t running,
                           std::int64_t option_ns, std::int64_t delay_ns);

}  // namespace armctl::front
