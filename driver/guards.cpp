// Geometry guard conditions and the check of the poses along a move.
#include "driver/guards.hpp"

#include <array>
#include <cmath>
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

namespace {

// The first pose strictly between the ends that breaks a condition the
// start held (see to_sweep), or nothing.
std::optional<std::int64_t> first_blocked_step(const geometry_guard& guard, const counters& start,
                                               std::size_t index, std::int64_t end_value) {
  const std::int64_t origin = start[index];
  if (end_value == origin) return std::nullopt;
  const geometry_guard kept = to_sweep(guard, pose_at(start[4], start[1], start[2]), index);
  if (kept[0].holds == nullptr) return std::nullopt;
  const std::int64_t unit = end_value > origin ? 1 : -1;
  for (std::int64_t v = origin + unit; v != end_value; v += unit)
    if (!allows(kept, pose_with(start, index, v))) return v;
  return std::nullopt;
}

// What each condition compares, for naming a breach.
struct condition_text {
  bool (*holds)(const pose&);
  const char* quantity;
  const char* rule;
  double (*value)(const pose&);
  double limit;
};

double tip_height(const pose& p) { return p.total.y; }
double shoulder_angle(const pose& p) { return p.shoulder.theta; }
double elbow_bend(const pose& p) { return p.elbow.theta - p.shoulder.theta; }
double wrist_bend(const pose& p) { return p.wrist.theta - p.elbow.theta; }

constexpr std::array<condition_text, 6> condition_texts{{
    {tip_below_10, "tip height", "< 10", tip_height, 10},
    {tip_above_minus_10, "tip height", "> -10", tip_height, -10},
    {tip_above_minus_10_5, "tip height", "> -10.5", tip_height, -10.5},
    {shoulder_above_minus_40, "shoulder angle", "> -40", shoulder_angle, -40},
    {elbow_bend_below_50, "elbow bend", "< 50", elbow_bend, 50},
    {wrist_bend_below_80, "wrist bend", "< 80", wrist_bend, 80},
}};

std::optional<guard_breach> breach_at(const geometry_guard& guard, const pose& p, std::int64_t at,
                                      bool on_the_way) {
  for (const condition& c : guard) {
    if (c.holds == nullptr || c.holds(p)) continue;
    for (const condition_text& t : condition_texts)
      if (t.holds == c.holds) {
        const double v = t.value(p);
        return guard_breach{t.quantity, t.rule, v, t.limit, std::fabs(v - t.limit), at, on_the_way};
      }
  }
  return std::nullopt;
}

}  // namespace

bool path_allows(const geometry_guard& guard, const counters& start, std::size_t index,
                 std::int64_t end_value) {
  return !first_blocked_step(guard, start, index, end_value).has_value();
}

std::optional<guard_breach> first_breach(const geometry_guard& guard, const counters& start,
                                         std::size_t index, std::int64_t end_value) {
  if (auto at_end = breach_at(guard, pose_with(start, index, end_value), end_value, false))
    return at_end;
  const std::optional<std::int64_t> step = first_blocked_step(guard, start, index, end_value);
  if (!step) return std::nullopt;
  return breach_at(to_sweep(guard, pose_at(start[4], start[1], start[2]), index),
                   pose_with(start, index, *step), *step, true);
}

}  // namespace armctl
