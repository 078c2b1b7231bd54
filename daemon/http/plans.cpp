// The plan object: the options, the end pose, the estimate, the wrist's
// lag, the refusals grouped by their first breach, and a tip's target.
#include "daemon/http/plans.hpp"

#include "daemon/http/answer.hpp"
#include "daemon/runs/replay.hpp"

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
json of_plan(const plan& p, std::chrono::nanoseconds estimate) {
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

json tip_json(const tip_target& tip, const std::optional<tip_solution>& s) {
  return {{"target", {tip.x, tip.y}},
          {"reached", s ? json{s->reached.x, s->reached.y} : json(nullptr)},
          {"distance", s ? json(s->distance) : json(nullptr)}};
}

json out_of_reach(const target_plan& tp) {
  return {{"allowed", false},           {"start", tp.start},         {"target", nullptr},
          {"options", json::array()},   {"end_report", nullptr},     {"estimate_s", 0.0},
          {"wrist_lag", json::array()}, {"refusals", json::array()}, {"tip", tip_json(*tp.tip, {})},
          {"reason", tp.reason}};
}

}  // namespace

json plan_json(const target_plan& tp, const plan_bounds& b) {
  if (!tp.chosen) return out_of_reach(tp);
  json j = of_plan(*tp.chosen, tp.estimate);
  if (tp.too_long) {
    j["estimate_s"] = in_seconds(tp.estimate);
    j["bound_s"] = std::chrono::duration<double>(b.max_motion).count();
    j["over_the_bound"] = true;
  }
  if (tp.tip) j["tip"] = tip_json(*tp.tip, tp.reached);
  if (!tp.reason.empty()) j["reason"] = tp.reason;
  return j;
}

}  // namespace armctl::front
