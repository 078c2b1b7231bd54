// The JSON answers: the arm's state, a run's outcome, an error.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "cgi/controller.hpp"
#include "cgi/replay.hpp"
#include "cgi/request.hpp"
#include "state/counters.hpp"

namespace armctl::cgi {

using json = nlohmann::json;

// What an exit status means, in a few words.
std::string status_meaning(int status);

// One "x,y,r,theta" line as four numbers (null where a field is not one).
json report_numbers(const std::string& line);

struct lock_view {
  // nullopt: no lock file or no number in it. The holder's process id is
  // not shown: reading the state is open to everyone.
  std::optional<bool> held;
};

json state_answer(const std::optional<counters>& c, const lock_view& lock);

// The run's own output, option by option, with the reasons of the replay
// when the replay printed exactly what the run printed.
json run_answer(const move_query& q, const run_output& run, const replay& r);

json error_answer(const std::string& message);

}  // namespace armctl::cgi
