// Geometry guard conditions and the check of the poses along a move.
#include "driver/guards.hpp"

#include <initializer_list>

namespace armctl {

bool tip_below_10(const pose& p) { return p.total.y < 10; }
bool tip_above_minus_10(const pose& p) { return p.total.y > -10; }
bool tip_above_minus_10_5(const pose& p) { return p.total.y > -10.5; }
bool shoulder_above_minus_40(const pose& p) { return p.shoulder.theta > -40; }
bool elbow_bend_below_50(const pose& p) {
  return difference_below(p.elbow.theta, p.shoulder.theta, 50);
}
bool wrist_bend_below_80(const pose& p) {
  return difference_below(p.wrist.theta, p.elbow.theta, 80);
}

bool difference_below(double a, double b, double limit) {
  const double s = a - b;
  // Rounding is monotonic and `limit` is a double, so the rounded difference
  // lies on the same side of it as the exact one unless it equals it.
  if (s != limit) return s < limit;
  // Knuth's two-sum: a - b == s + err exactly.
  const double b_virtual = s - a;
  const double err = (a - (s - b_virtual)) + (-b - b_virtual);
  return err < 0;
}

bool allows(const geometry_guard& guard, const pose& p) {
  for (const condition& c : guard)
    if (c.holds != nullptr && !c.holds(p)) return false;
  return true;
}

namespace {

segment& moving_segment(pose& p, std::size_t index) {
  return index == 4 ? p.shoulder : index == 1 ? p.elbow : p.wrist;
}

// A height condition that holds with the moving segment pointing straight up
// and straight down holds at every angle of it: the segment's height lies
// within its length either way, and the rounded sum of the heights grows
// with each term.
bool holds_at_every_height(const condition& c, const pose& from, std::size_t index) {
  for (const double sign : {1.0, -1.0}) {
    pose p = from;
    segment& s = moving_segment(p, index);
    s.y = sign * s.r;
    p.total.y = p.wrist.y + p.elbow.y + p.shoulder.y;
    if (!c.holds(p)) return false;
  }
  return true;
}

// The conditions that must be checked at every pose on the way: those that
// hold at the start, less those that hold on the way whenever they hold at
// both ends. An angle grows or shrinks steadily with its counter, so holding
// at the start and at the end covers it.
geometry_guard to_sweep(const geometry_guard& guard, const pose& from, std::size_t index) {
  geometry_guard kept{};
  std::size_t n = 0;
  for (const condition& c : guard)
    if (c.on == measure::height && c.holds(from) && !holds_at_every_height(c, from, index))
      kept[n++] = c;
  return kept;
}

}  // namespace

bool path_allows(const geometry_guard& guard, const counters& start, std::size_t index,
                 std::int64_t end_value) {
  const std::int64_t origin = start[index];
  if (end_value == origin) return true;
  const geometry_guard kept = to_sweep(guard, pose_at(start[4], start[1], start[2]), index);
  if (kept[0].holds == nullptr) return true;
  const std::int64_t unit = end_value > origin ? 1 : -1;
  for (std::int64_t v = origin + unit; v != end_value; v += unit)
    if (!allows(kept, pose_with(start, index, v))) return false;
  return true;
}

}  // namespace armctl
