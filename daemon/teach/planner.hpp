// A target turned into a plan the controller can run: the model's order of
// moves that its guards allow, and the plan object of the answers.
#pragma once

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>

#include "daemon/http/request.hpp"
#include "model/plan.hpp"

namespace armctl::front {

struct target_plan {
  std::optional<plan> chosen;           // nothing: a tip target out of reach
  nlohmann::json body;                  // the PLAN object
  std::chrono::nanoseconds estimate{};  // of the moves, in any order; within the bound when allowed
  bool allowed() const { return chosen && chosen->allowed; }
};

// The controller's delay, for the estimate, and the longest motion a plan
// may ask for; a longer one is refused unjudged.
struct plan_bounds {
  std::int64_t delay_ns;
  std::chrono::nanoseconds max_motion;
};

// Plans from `start` to counters.
target_plan plan_to(const counters& start, const counters& goal, const plan_bounds& b);

// Plans from `start` to the hand tip at (x, y): among the inverse
// kinematics' solutions within the tolerance, the allowed plan whose target
// lies nearest the start (least sum of counter differences); when every one
// is refused, the refusals of the nearest; none within reach: "out of reach".
target_plan plan_to_tip(const counters& start, const tip_target& tip, const plan_bounds& b);

// The options of a plan's moves as a move of the front end.
move_query moves_of(const plan& p);

}  // namespace armctl::front
