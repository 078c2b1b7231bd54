// Building plans and their answers from the model's plan_moves and
// tip_solutions; the model judges, this only chooses and describes.
#include "daemon/teach/planner.hpp"

#include <limits>

#include "daemon/http/answer.hpp"
#include "daemon/runs/moves.hpp"
#include "daemon/runs/replay.hpp"
#include "model/reach.hpp"

namespace armctl::front {
namespace {

using json = nlohmann::json;

bool same_breach(const breach& a, const breach& b) {
  return a.kind == b.kind && a.broken == b.broken && a.value == b.value && a.limit == b.limit &&
         a.at == b.at && a.on_the_way == b.on_the_way;
}

// The refused orders grouped by their first refusal (letter and breach), in
// the order each first appears: hundreds of orders share a handful.
json refusals_json(const std::vector<refused_order>& refused) {
  std::vector<const refused_order*> firsts;
  json groups = json::array();
  for (const refused_order& r : refused) {
    const char letter = r.order.at(r.index);
    std::size_t g = 0;
    while (g < firsts.size() &&
           !(firsts[g]->order.at(firsts[g]->index) == letter && same_breach(firsts[g]->why, r.why)))
      ++g;
    if (g == firsts.size()) {
      const command* c = find_command(letter);
      firsts.push_back(&r);
      groups.push_back({{"letter", std::string(1, letter)},
                        {"reason", c ? reason_json(reason_of(*c, r.why)) : json(nullptr)},
                        {"orders", json::array()}});
    }
    groups[g]["orders"].push_back(r.order);
  }
  return groups;
}

json wrist_lag_json(const plan& p) {
  json lag = json::array();
  for (const planned_move& m : p.wrist_lag)
    lag.push_back({{"letter", std::string(1, m.letter->letter)}, {"steps", m.count}});
  return lag;
}

// The estimate is that of the moves between start and target, which any
// order of them takes alike; a plan with nothing to run takes no time (not
// even the run's release of the shoulder).
json plan_json(const plan& p, std::chrono::nanoseconds estimate) {
  const json refusals = p.allowed ? json::array() : refusals_json(p.refusals);
  json j{{"allowed", p.allowed},
         {"start", p.start},
         {"target", p.target},
         {"options", option_words(p.moves)},
         {"end_report", report_json(calc(p.target))},
         {"estimate_s", p.moves.empty() ? 0.0 : in_seconds(estimate)},
         {"wrist_lag", wrist_lag_json(p)}};
  if (!p.allowed) j["refusals"] = refusals;
  return j;
}

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

json tip_json(const tip_target& tip, const tip_solution* s) {
  return {{"target", {tip.x, tip.y}},
          {"reached", s ? json{s->reached.x, s->reached.y} : json(nullptr)},
          {"distance", s ? json(s->distance) : json(nullptr)}};
}

target_plan out_of_reach(const counters& start, const tip_target& tip) {
  json j{{"allowed", false},
         {"start", start},
         {"target", nullptr},
         {"options", json::array()},
         {"end_report", nullptr},
         {"estimate_s", 0.0},
         {"wrist_lag", json::array()},
         {"refusals", json::array()},
         {"tip", tip_json(tip, nullptr)},
         {"reason", "out of reach"}};
  return {std::nullopt, j, {}};
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
struct bounded_plan {
  plan p;
  std::chrono::nanoseconds estimate;
  bool too_long;
};

bounded_plan judged_within(const counters& start, const counters& goal, const plan_bounds& b) {
  const auto t = motion_time(query_of(moves_between(start, goal)), b.delay_ns);
  if (t <= b.max_motion) return {plan_moves(start, goal), t, false};
  plan p;
  p.start = start;
  p.target = goal;
  return {p, t, true};
}

json bounded_json(const bounded_plan& bp, const plan_bounds& b) {
  json j = plan_json(bp.p, bp.estimate);
  if (!bp.too_long) return j;
  j["estimate_s"] = in_seconds(bp.estimate);
  j["bound_s"] = std::chrono::duration<double>(b.max_motion).count();
  j["over_the_bound"] = true;
  j["reason"] = "the move would take longer than the bound";
  return j;
}

}  // namespace

move_query moves_of(const plan& p) { return query_of(p.moves); }

target_plan plan_to(const counters& start, const counters& goal, const plan_bounds& b) {
  bounded_plan bp = judged_within(start, goal, b);
  json body = bounded_json(bp, b);
  return {std::move(bp.p), std::move(body), bp.estimate};
}

target_plan plan_to_tip(const counters& start, const tip_target& tip, const plan_bounds& b) {
  const std::vector<tip_solution> solutions =
      tip_solutions(start, {tip.x, tip.y}, tip.wrist_degrees);
  const tip_solution* best = nullptr;
  std::optional<bounded_plan> best_plan;
  bool best_allowed = false;
  std::int64_t best_distance = std::numeric_limits<std::int64_t>::max();
  for (const tip_solution& s : solutions) {
    if (s.distance > tip_tolerance) continue;
    bounded_plan bp = judged_within(start, s.c, b);
    const bool allowed = bp.p.allowed;
    const std::int64_t d = distance(start, s.c);
    // An allowed plan beats every refused one; then the nearer wins.
    if ((allowed && !best_allowed) || (allowed == best_allowed && d < best_distance)) {
      best = &s;
      best_allowed = allowed;
      best_distance = d;
      best_plan = std::move(bp);
    }
  }
  if (best == nullptr) return out_of_reach(start, tip);
  json body = bounded_json(*best_plan, b);
  body["tip"] = tip_json(tip, best);
  if (!best_allowed && !best_plan->too_long) body["reason"] = refusal_text(best_plan->p);
  return {std::move(best_plan->p), std::move(body), best_plan->estimate};
}

}  // namespace armctl::front
