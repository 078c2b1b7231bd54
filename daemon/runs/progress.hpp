// The run in progress: the front end reads each option's pose report as the
// controller prints it (before that option moves), publishes which option
// runs and since when, and the state GET turns that into the counters
// expected now at the controller's step rate.
#pragma once

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "daemon/http/handler.hpp"

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

// Watches one run's standard output: tells the arm each option's report,
// which the state shows as the run's progress.
class progress_tracker {
 public:
  progress_tracker(const move_query& q, const context& c) : q_(q), c_(c) {}

  // A piece of the run's output, as read from its pipe.
  void operator()(std::string_view chunk);

 private:
  const move_query& q_;
  const context& c_;
  std::size_t lines_ = 0;
};

// The state GET's "run": null, or the option running, the counters expected
// now, and the times elapsed, estimated and left.
nlohmann::json run_in_progress(const context& c);

}  // namespace armctl::front
