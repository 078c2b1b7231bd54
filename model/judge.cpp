// The guards of the motion letters, judged on given counters.
#include "model/judge.hpp"

#include <initializer_list>
#include <limits>

namespace armctl {
namespace {

constexpr std::int64_t int32_lo = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t int32_hi = std::numeric_limits<std::int32_t>::max();

bool tested_by(const condition& k, const command& c) {
  return k.letters.find(c.letter) != std::string_view::npos;
}

// cppcheck-suppress constParameter ; the caller changes the segment through it
segment& moving_segment(pose& p, std::size_t index) {
  return index == shoulder_joint ? p.shoulder : index == elbow_joint ? p.elbow : p.wrist;
}

// A height condition that holds with the moving segment pointing straight up
// and straight down holds at every angle of it: the segment's height lies
// within its length either way, and the rounded sum of the heights grows
// with each term. Such a condition needs no sweep.
bool holds_at_every_height(const condition& k, const pose& from, std::size_t index) {
  for (const double sign : {1.0, -1.0}) {
    pose p = from;
    segment& s = moving_segment(p, index);
    s.y = sign * s.r;
    p.total.y = p.wrist.y + p.elbow.y + p.shoulder.y;
    if (!holds(k, p)) return false;
  }
  return true;
}

// Whether the condition must be checked at each pose on the way: it holds at
// the start, it is a height, and the moving segment could break it.
bool swept(const condition& k, const command& c, const pose& from) {
  return tested_by(k, c) && checked_on_the_way(k) && holds(k, from) &&
         !holds_at_every_height(k, from, c.counter);
}

breach condition_breach(const condition& k, const pose& p, std::int64_t at, bool on_the_way) {
  return {breach_kind::condition, &k, value_of(k.what, p), k.limit, at, on_the_way};
}

std::optional<breach> end_breach(const command& c, const pose& end, std::int64_t end_value) {
  for (const condition& k : conditions)
    if (tested_by(k, c) && !holds(k, end)) return condition_breach(k, end, end_value, false);
  return std::nullopt;
}

// The first pose strictly between the ends that breaks a swept condition.
std::optional<breach> way_breach(const command& c, const counters& start, std::int64_t end_value) {
  const std::int64_t origin = start[c.counter];
  if (end_value == origin) return std::nullopt;
  const pose from = calc(start);
  std::array<const condition*, conditions.size()> kept{};
  std::size_t n = 0;
  for (const condition& k : conditions)
    if (swept(k, c, from)) kept[n++] = &k;
  if (n == 0) return std::nullopt;
  const std::int64_t unit = end_value > origin ? 1 : -1;
  for (std::int64_t v = origin + unit; v != end_value; v += unit) {
    const pose p = calc_with(start, c.counter, v);
    for (std::size_t i = 0; i < n; ++i)
      if (!holds(*kept[i], p)) return condition_breach(*kept[i], p, v, true);
  }
  return std::nullopt;
}

std::int64_t target_of(const counters& before, const command& c, std::int32_t n) {
  return std::int64_t{before[c.counter]} + c.sign * std::int64_t{n};
}

breach counter_breach(breach_kind kind, double value, std::int64_t limit, std::int64_t target) {
  return {kind, nullptr, value, static_cast<double>(limit), target, false};
}

std::optional<breach> position_breach(const command& c, std::int32_t n, std::int64_t target) {
  if (n < 0) return counter_breach(breach_kind::negative_count, n, 0, target);
  if (c.sign > 0 ? target > c.limit : target < c.limit)
    return counter_breach(breach_kind::range, static_cast<double>(target), c.limit, target);
  return std::nullopt;
}

std::optional<breach> geometry_breach(const counters& before, const command& c, std::int32_t n,
                                      std::int64_t target) {
  if (n < 0) return counter_breach(breach_kind::negative_count, n, 0, target);
  if (target < int32_lo || target > int32_hi)
    return counter_breach(breach_kind::int32_range, static_cast<double>(target),
                          c.sign > 0 ? int32_hi : int32_lo, target);
  return first_breach(c, before, target);
}

judgement judged(pose report, const counters& before, const command& c, std::int64_t target,
                 std::optional<breach> refusal) {
  judgement j{report, before, refusal};
  if (!refusal) j.after[c.counter] = static_cast<std::int32_t>(target);
  return j;
}

}  // namespace

std::optional<breach> first_breach(const command& c, const counters& start,
                                   std::int64_t end_value) {
  if (auto at_end = end_breach(c, calc_with(start, c.counter, end_value), end_value)) return at_end;
  return way_breach(c, start, end_value);
}

judgement judge(const counters& before, const command& c, std::int32_t n) {
  const std::int64_t target = target_of(before, c, n);
  switch (c.kind) {
    case command_kind::position:
      return judged(calc(before), before, c, target, position_breach(c, n, target));
    case command_kind::geometry:
      return judged(calc_with(before, c.counter, target), before, c, target,
                    geometry_breach(before, c, n, target));
    case command_kind::report:
      break;
  }
  return {calc(before), before, std::nullopt};
}

}  // namespace armctl
