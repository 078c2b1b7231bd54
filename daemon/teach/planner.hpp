// A target turned into a plan the controller can run: the model's order of
// moves that its guards allow, chosen among the inverse kinematics'
// solutions for a tip target, and bounded by the motion bound.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "daemon/runs/options.hpp"
#include "model/plan.hpp"
#include "model/reach.hpp"

namespace armctl::front {

// Where a plan or a go-to leads: a taught pose, counters, or the hand tip in
// the arm's plane (optionally with the wrist's absolute angle).
struct pose_target {
  std::string name;
};
struct tip_target {
  double x, y;
  std::optional<double> wrist_degrees;
};
// An entry of the history, by its id: its "before" counters.
struct history_target {
  long long id;
};
using target = std::variant<pose_target, counters, tip_target, history_target>;

// The controller's delay, for the estimate, and the longest motion a plan
// may ask for; a longer one is refused unjudged.
struct plan_bounds {
  std::int64_t delay_ns;
  std::chrono::nanoseconds max_motion;
};

struct target_plan {
  counters start{};
  std::optional<plan> chosen;           // nothing: a tip target out of reach
  std::chrono::nanoseconds estimate{};  // of the moves, in any order
  bool too_long = false;                // over the bound: judged no further
  std::optional<tip_target> tip;        // a tip target, and the solution chosen for it
  std::optional<tip_solution> reached;
  std::string reason;  // why a tip target is not allowed, for people; empty otherwise
  bool allowed() const { return chosen && chosen->allowed; }
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
