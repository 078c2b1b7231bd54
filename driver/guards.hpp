// The geometry guards: conditions on the pose that calc() computes, pure
// functions of a pose with no I/O.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "geometry/segment.hpp"
#include "state/counters.hpp"

namespace armctl {

// What a condition looks at decides how the poses on the way are checked:
// an angle moves monotonically with its counter, a height does not.
enum class measure { none, height, angle };

struct condition {
  bool (*holds)(const pose&);
  measure on;
};

bool tip_below_10(const pose& p);
bool tip_above_minus_10(const pose& p);
bool tip_above_minus_10_5(const pose& p);
bool shoulder_above_minus_40(const pose& p);
bool elbow_bend_below_50(const pose& p);
bool wrist_bend_below_80(const pose& p);

// Heights of the hand tip relative to the shoulder pivot; angles in degrees.
inline constexpr condition height_below_10{tip_below_10, measure::height};
inline constexpr condition height_above_minus_10{tip_above_minus_10, measure::height};
inline constexpr condition height_above_minus_10_5{tip_above_minus_10_5, measure::height};
inline constexpr condition shoulder_angle_above_minus_40{shoulder_above_minus_40, measure::angle};
inline constexpr condition elbow_bend_under_50{elbow_bend_below_50, measure::angle};
inline constexpr condition wrist_bend_under_80{wrist_bend_below_80, measure::angle};

// a - b < limit, decided on the exact difference of the two doubles: a
// rounded subtraction can turn a bend a hair below its limit into the limit.
bool difference_below(double a, double b, double limit);

// Up to three conditions, all of which must hold; unused slots are empty.
using geometry_guard = std::array<condition, 3>;

bool allows(const geometry_guard& guard, const pose& p);

// Whether a move of counter `index` from its value in `start` to `end_value`
// stays inside every condition that holds at the start, at each pose one
// counter unit apart on the way (both ends excluded: the end pose is judged
// in full by allows()). Conditions the start already breaks are left to the
// end pose, so that a move can always bring the arm back inside its limits.
bool path_allows(const geometry_guard& guard, const counters& start, std::size_t index,
                 std::int64_t end_value);

// Why a guard refuses a move, for a person: the quantity, its rule, its value
// at the first pose that breaks the rule (the end pose, or one on the way)
// and how far beyond the limit that is.
struct guard_breach {
  const char* quantity;  // "tip height", "shoulder angle", "elbow bend", "wrist bend"
  const char* rule;      // "< 10", "> -40", ...
  double value;
  double limit;
  double beyond;    // |value - limit|; 0 when the value sits on the limit
  std::int64_t at;  // the moving counter's value at that pose
  bool on_the_way;  // false: the end pose itself
};

// The first breach in the order the guard is judged (the end pose, then the
// poses on the way), or nothing when the guard allows the move.
std::optional<guard_breach> first_breach(const geometry_guard& guard, const counters& start,
                                         std::size_t index, std::int64_t end_value);

}  // namespace armctl
