// The run in progress as the state shows it: each option's report read as
// the controller prints it (before that option moves) and told to the arm,
// and the state's "run" from what the arm holds and the clock.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string_view>

#include "daemon/http/handler.hpp"

namespace armctl::front {

// Watches one run's standard output: tells the arm each option's report.
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

// The state's "run": null, or the option running, the counters expected
// now, the times elapsed, estimated and left, and who started it.
nlohmann::json run_in_progress(const context& c);

}  // namespace armctl::front
