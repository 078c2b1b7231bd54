// The conditions the geometry guards test on a pose: what each compares,
// how, against which limit, and which letters test it. A letter's guard is
// every condition that names it, in this table's order.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "model/pose.hpp"

namespace armctl {

enum class quantity { tip_height, shoulder_angle, elbow_bend, wrist_bend };
// Both comparisons are strict: a value on the limit breaks the condition.
enum class comparison { below, above };

struct condition {
  const char* name;
  quantity what;
  comparison how;
  double limit;
  std::string_view letters;
};

// A name says the quantity and the direction only, so that it outlives a
// change of limit; of the two lowest tip heights, "far" is the farther.
// NOTE: the limits are not symmetric: the lowest tip height is -10 for F but
// -10.5 for N and W. E raises the wrist bend but tests only the height.
inline constexpr std::array<condition, 6> conditions{{
    {"tip_height_below", quantity::tip_height, comparison::below, 10, "HVE"},
    {"tip_height_above", quantity::tip_height, comparison::above, -10, "F"},
    {"tip_height_above_far", quantity::tip_height, comparison::above, -10.5, "NW"},
    {"shoulder_angle_above", quantity::shoulder_angle, comparison::above, -40, "N"},
    {"elbow_bend_below", quantity::elbow_bend, comparison::below, 50, "NV"},
    {"wrist_bend_below", quantity::wrist_bend, comparison::below, 80, "F"},
}};

// "tip height", "shoulder angle", "elbow bend", "wrist bend".
const char* quantity_name(quantity q);
// "< 10", "> -10.5", ...
std::string rule_text(const condition& c);

// The quantity's value in a pose (a bend as the rounded difference, for people).
double value_of(quantity q, const pose& p);

// Whether the pose keeps the condition. A bend (elbow - shoulder, wrist -
// elbow) is judged on the exact difference of the two stored angles.
bool holds(const condition& c, const pose& p);

// a - b < limit, decided on the exact difference of the two doubles: a
// rounded subtraction can turn a bend a hair below its limit into the limit.
bool difference_below(double a, double b, double limit);

// Heights are checked at every pose on the way; an angle moves steadily with
// its counter, so holding at both ends covers the way between.
constexpr bool checked_on_the_way(const condition& c) { return c.what == quantity::tip_height; }

}  // namespace armctl
