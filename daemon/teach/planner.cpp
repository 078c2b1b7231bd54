// Choosing plans with the model's plan_moves and tip_solutions; the model
// judges, this only chooses.
#include "daemon/teach/planner.hpp"

#include <cstdlib>
#include <limits>

#include "daemon/runs/replay.hpp"

namespace armctl::front {
namespace {

std::int64_t distance(const counters& a, const counters& b) {
  std::int64_t d = 0;
  for (std::size_t i = 0; i < joint_count; ++i) d += std::abs(std::int64_t{a[i]} - b[i]);
  return d;
}

// The words of a plan's first refusal, for people: "elbow bend < 50".
std::string refusal_text(const plan& p) {
  if (p.refusals.empty()) return "refused";
  const refused_order& r = p.refusals.front();
  const command* c = find_command(r.order.at(r.index));
  if (c == nullptr) return "refused";
  const refusal_reason why = reason_of(*c, r.why);
  return why.guard + " " + why.rule;
}

move_query query_of(const std::vector<planned_move>& moves) {
  move_query q;
  for (const planned_move& m : moves) q.options.push_back({m.letter->letter, m.count});
  return q;
}

// A plan, or a target too far to be worth judging: the guard sweeps a
// geometry move pose by pose, so a count far beyond what the bound lets
// the motors make would keep an open request busy for as long as it is.
// The estimate takes no order, so it is known before any is tried.
target_plan judged_within(const counters& start, const counters& goal, const plan_bounds& b) {
  target_plan tp;
  tp.start = start;
  tp.estimate = motion_time(query_of(moves_between(start, goal)), b.delay_ns);
  tp.too_long = tp.estimate > b.max_motion;
  if (!tp.too_long) {
    tp.chosen = plan_moves(start, goal);
    return tp;
  }
  plan p;
  p.start = start;
  p.target = goal;
  tp.chosen = p;
  tp.reason = "the move would take longer than the bound";
  return tp;
}

}  // namespace

move_query moves_of(const plan& p) { return query_of(p.moves); }

target_plan plan_to(const counters& start, const counters& goal, const plan_bounds& b) {
  return judged_within(start, goal, b);
}

target_plan plan_to_tip(const counters& start, const tip_target& tip, const plan_bounds& b) {
  const std::vector<tip_solution> solutions =
      tip_solutions(start, {tip.x, tip.y}, tip.wrist_degrees);
  std::optional<target_plan> best;
  bool best_allowed = false;
  std::int64_t best_distance = std::numeric_limits<std::int64_t>::max();
  for (const tip_solution& s : solutions) {
    if (s.distance > tip_tolerance) continue;
    target_plan tp = judged_within(start, s.c, b);
    const bool allowed = tp.allowed();
    const std::int64_t d = distance(start, s.c);
    // An allowed plan beats every refused one; then the nearer wins.
    if ((allowed && !best_allowed) || (allowed == best_allowed && d < best_distance)) {
      tp.reached = s;
      best_allowed = allowed;
      best_distance = d;
      best = std::move(tp);
    }
  }
  if (!best) {
    target_plan out;
    out.start = start;
    out.tip = tip;
    out.reason = "out of reach";
    return out;
  }
  best->tip = tip;
  if (!best_allowed && !best->too_long) best->reason = refusal_text(*best->chosen);
  return *best;
}

}  // namespace armctl::front
