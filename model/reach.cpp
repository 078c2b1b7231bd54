// The inverse kinematics of the shoulder and elbow links, in whole counts.
#include "model/reach.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "model/pose.hpp"

namespace armctl {
namespace {

// Angles here are absolute, in degrees, as the pose takes them.
struct angles {
  double shoulder;
  double elbow;
};

double degrees(double radians) { return radians * 180 / pi; }

// The angle at the link's own end of a triangle with sides a, b, and d
// opposite b: between the link of length a and the line to the target.
double corner(double a, double b, double d) {
  if (d == 0) return 90;
  const double c = (a * a + d * d - b * b) / (2 * a * d);
  return degrees(std::acos(std::clamp(c, -1.0, 1.0)));
}

// The counter value for an angle, at the turn nearest `near`; nullopt when
// it leaves the 32-bit range.
std::optional<double> count_near(double theta, std::size_t joint, std::int32_t near) {
  const double per = joints[joint].degrees_per_count;
  const double turn = 360 / per;
  const double exact = theta / per;
  const double v = exact + std::round((near - exact) / turn) * turn;
  if (!(std::abs(v) < std::numeric_limits<std::int32_t>::max() - 1)) return std::nullopt;
  return v;
}

point tip_of(const counters& c) {
  const pose p = calc(c);
  return {p.total.x, p.total.y};
}

double distance(point a, point b) { return std::hypot(a.x - b.x, a.y - b.y); }

// Of the four whole-count neighbours of the exact counts, the one whose tip
// lies nearest the target.
std::optional<tip_solution> nearest_whole(const counters& base, angles a, point target) {
  const auto s = count_near(a.shoulder, shoulder_joint, base[shoulder_joint]);
  const auto e = count_near(a.elbow, elbow_joint, base[elbow_joint]);
  if (!s || !e) return std::nullopt;
  std::optional<tip_solution> best;
  for (const double sv : {std::floor(*s), std::ceil(*s)})
    for (const double ev : {std::floor(*e), std::ceil(*e)}) {
      counters c = base;
      c[shoulder_joint] = static_cast<std::int32_t>(sv);
      c[elbow_joint] = static_cast<std::int32_t>(ev);
      const point at = tip_of(c);
      const double d = distance(at, target);
      if (!best || d < best->distance) best = tip_solution{c, at, d};
    }
  return best;
}

std::optional<counters> with_wrist(const counters& start, std::optional<double> wrist_degrees) {
  counters c = start;
  if (!wrist_degrees) return c;
  const double v = std::round(*wrist_degrees / joints[wrist_joint].degrees_per_count);
  if (!(std::abs(v) < std::numeric_limits<std::int32_t>::max())) return std::nullopt;
  c[wrist_joint] = static_cast<std::int32_t>(v);
  return c;
}

}  // namespace

std::vector<tip_solution> tip_solutions(const counters& start, point target,
                                        std::optional<double> wrist_degrees) {
  const auto base = with_wrist(start, wrist_degrees);
  if (!base || !std::isfinite(target.x) || !std::isfinite(target.y)) return {};
  const segment w = calc(*base).wrist;
  // Where the elbow link must end: the target less the wrist.
  const double px = target.x - w.x;
  const double py = target.y - w.y;
  const double d = std::hypot(px, py);
  const double ls = joints[shoulder_joint].length;
  const double le = joints[elbow_joint].length;
  if (d > ls + le || d < std::abs(ls - le)) return {};
  const double toward = degrees(std::atan2(py, px));
  const double at_shoulder = corner(ls, le, d);
  const double at_elbow = corner(le, ls, d);
  std::vector<tip_solution> out;
  for (const angles a : {angles{toward + at_shoulder, toward - at_elbow},
                         angles{toward - at_shoulder, toward + at_elbow}}) {
    const auto s = nearest_whole(*base, a, target);
    if (s && (out.empty() || out.front().c != s->c)) out.push_back(*s);
  }
  return out;
}

}  // namespace armctl
