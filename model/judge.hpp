// One judgement of a letter and a count from given counters: the pose the
// run reports, the counters afterwards, and the first breach when the guard
// refuses. The controller judges before it drives; the front end judges
// candidate moves the same way without a run.
#pragma once

#include <cstdint>
#include <optional>

#include "model/commands.hpp"
#include "model/conditions.hpp"
#include "model/pose.hpp"

namespace armctl {

enum class breach_kind {
  negative_count,  // the count is below 0: the motors could not follow the counter
  range,           // a position letter's inclusive range
  int32_range,     // the counter would leave the signed 32-bit range
  condition,       // a condition of the geometry guard
};

struct breach {
  breach_kind kind;
  const condition* broken;  // kind::condition only
  double value;             // the count, the would-be counter, or the quantity
  double limit;
  std::int64_t at;  // the moving counter's value at the breaking pose (or the would-be value)
  bool on_the_way;  // false: the end of the move
};

struct judgement {
  pose report;     // the pose the run prints for the option
  counters after;  // the counters once the move is made in full; unchanged when refused
  std::optional<breach> refusal;
  bool allowed() const { return !refusal.has_value(); }
};

// Position letters: the counter's would-be value against its range; the
// report is the pose before. Geometry letters: the conditions that name the
// letter on the pose reached (all strict), then every condition that holds
// at the start on each pose one counter unit apart on the way, so that a
// large count cannot sweep a joint through its forbidden region; the report
// is the pose reached, also when refused. A condition broken at the start is
// judged at the end only, so that a move can always bring the arm back.
judgement judge(const counters& before, const command& c, std::int32_t n);

// The first breach in the order the guard is judged, or nothing.
std::optional<breach> first_breach(const command& c, const counters& start, std::int64_t end_value);

}  // namespace armctl
