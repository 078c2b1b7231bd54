// Building plans and their answers from the model's plan_moves and
// tip_solutions; the model judges, this only chooses and describes.
#include "cgi/planner.hpp"

#include <limits>

#include "cgi/answer.hpp"
#include "cgi/estimate.hpp"
#include "cgi/replay.hpp"
#include "model/reach.hpp"

namespace armctl::cgi {
namespace {

using json = nlohmann::json;

json refusal_json(const refused_order& r) {
  const command* c = find_command(r.order.at(r.index));
  return {{"order", r.order},
          {"letter", std::string(1, r.order.at(r.index))},
          {"index", r.index},
          {"reason", c ? reason_json(reason_of(*c, r.why)) : json(nullptr)}};
}

json wrist_lag_json(const plan& p) {
  json lag = json::array();
  for (const planned_move& m : p.wrist_lag)
    lag.push_back({{"letter", std::string(1, m.letter->letter)}, {"steps", m.count}});
  return lag;
}

json plan_json(const plan& p, std::int64_t delay_ns) {
  const move_query q = moves_of(p);
  json refusals = json::array();
  if (!p.allowed)
    for (const refused_order& r : p.refusals) refusals.push_back(refusal_json(r));
  json j{{"allowed", p.allowed},
         {"start", p.start},
         {"target", p.target},
         {"options", option_words(p.moves)},
         {"end_report", report_json(calc(p.target))},
         {"estimate_s", static_cast<double>(motion_time(q, delay_ns).count()) * 1e-9},
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
  return {std::nullopt, j};
}

}  // namespace

move_query moves_of(const plan& p) {
  move_query q;
  const std::vector<std::string> words = option_words(p.moves);
  for (std::size_t i = 0; i + 1 < words.size(); i += 2)
    q.options.push_back({words[i][1], words[i + 1]});
  return q;
}

target_plan plan_to(const counters& start, const counters& goal, std::int64_t delay_ns) {
  plan p = plan_moves(start, goal);
  json body = plan_json(p, delay_ns);
  return {std::move(p), std::move(body)};
}

target_plan plan_to_tip(const counters& start, const tip_target& tip, std::int64_t delay_ns) {
  const std::vector<tip_solution> solutions =
      tip_solutions(start, {tip.x, tip.y}, tip.wrist_degrees);
  const tip_solution* best = nullptr;
  std::optional<plan> best_plan;
  bool best_allowed = false;
  std::int64_t best_distance = std::numeric_limits<std::int64_t>::max();
  for (const tip_solution& s : solutions) {
    if (s.distance > tip_tolerance) continue;
    plan p = plan_moves(start, s.c);
    const std::int64_t d = distance(start, s.c);
    // An allowed plan beats every refused one; then the nearer wins.
    if ((p.allowed && !best_allowed) || (p.allowed == best_allowed && d < best_distance)) {
      best = &s;
      best_allowed = p.allowed;
      best_distance = d;
      best_plan = std::move(p);
    }
  }
  if (best == nullptr) return out_of_reach(start, tip);
  json body = plan_json(*best_plan, delay_ns);
  body["tip"] = tip_json(tip, best);
  if (!best_allowed) body["reason"] = refusal_text(*best_plan);
  return {std::move(best_plan), std::move(body)};
}

}  // namespace armctl::cgi
