// The JSON answers: the arm's state, a run's outcome, an error.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "cgi/controller.hpp"
#include "cgi/replay.hpp"
#include "cgi/request.hpp"
#include "model/joints.hpp"

namespace armctl::cgi {

using json = nlohmann::json;

// One "x,y,r,theta" line as four numbers (null where a field is not one).
json report_numbers(const std::string& line);

struct lock_view {
  std::optional<bool> held;  // nullopt: no lock file or no number in it
  std::optional<pid_t> holder;
};

json state_answer(const std::optional<counters>& c, const lock_view& lock);

// The run's own output, option by option, with the reasons of the replay
// when the replay printed exactly what the run printed.
json run_answer(const move_query& q, const run_output& run, const replay& r);

json error_answer(const std::string& message);

}  // namespace armctl::cgi
