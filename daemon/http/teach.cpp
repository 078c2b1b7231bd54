// The teach requests: re-reference, taught poses and sequences, plans, go-to
// and back, and the reads of poses, sequences and history. Go-to, back and
// re-reference are serialised among themselves by the go-to lock, held from
// the reading of the counters to the end of the run.
#include "daemon/http/teach.hpp"

#include <algorithm>

#include "daemon/http/answer.hpp"
#include "daemon/http/handler.hpp"
#include "daemon/http/moves.hpp"
#include "daemon/http/plans.hpp"
#include "daemon/runs/reference.hpp"
#include "daemon/stores/history.hpp"
#include "daemon/stores/taught.hpp"
#include "daemon/teach/planner.hpp"
#include "model/pose.hpp"

namespace armctl::front {
namespace {

using clock = std::chrono::steady_clock;

json pose_json(const std::string& name, const counters& c, bool builtin) {
  return {{"name", name}, {"counters", c}, {"builtin", builtin}};
}

json sequence_json(const sequence& s) {
  json steps = json::array();
  for (const sequence_step& step : s.steps)
    steps.push_back({{"pose", step.pose}, {"pause_ms", step.pause_ms}});
  return {{"name", s.name}, {"steps", steps}, {"repeat", s.repeat}};
}

json with_damage(json body, const taught_read& r) {
  if (!r.damage.empty()) {
    body["damaged"] = true;
    body["error"] = r.damage;
  }
  return body;
}

json poses_answer(const taught_read& r) {
  json poses = json::array({pose_json(home_pose, counters{}, true)});
  for (const auto& [name, c] : r.t.poses) poses.push_back(pose_json(name, c, false));
  return with_damage({{"poses", poses}}, r);
}

json sequences_answer(const taught_read& r) {
  json list = json::array();
  for (const auto& [name, s] : r.t.sequences) list.push_back(sequence_json(s));
  return with_damage({{"sequences", list}}, r);
}

json counters_and_report(const std::optional<counters>& c) {
  if (!c) return {{"counters", nullptr}, {"report", nullptr}};
  return {{"counters", *c}, {"report", report_json(calc(*c))}};
}

// What an edit of the taught file came to.
struct edit_meaning {
  edit_outcome o;
  verdict v;
  const char* error;
};
constexpr edit_meaning edit_meanings[] = {
    {edit_outcome::done, verdict::done, nullptr},
    {edit_outcome::not_found, verdict::not_found, "there is no such name"},
    {edit_outcome::builtin, verdict::builtin_pose,
     "home is built in: it cannot be replaced or deleted"},
    {edit_outcome::full, verdict::store_full, "the bound of stored poses or sequences is reached"},
    {edit_outcome::unknown_poses, verdict::unknown_poses, "a step names a pose that is not taught"},
    {edit_outcome::lookalike, verdict::lookalike_name,
     "the name differs from a stored one, or from home, only in letter case or spacing"},
    {edit_outcome::damaged, verdict::store_damaged,
     "the poses file is damaged; it is kept as it is and nothing was stored"},
    {edit_outcome::busy, verdict::busy, "the poses file stayed locked; nothing was stored"},
    {edit_outcome::unsafe_file, verdict::failed,
     "the poses file is not a plain file of its own (a second link, a symbolic link or another "
     "kind of file); nothing was stored (armctld --check tells more)"},
    {edit_outcome::failed, verdict::failed,
     "the poses file could not be written; nothing was stored"},
};

reply edited(edit_outcome o, json body) {
  for (const edit_meaning& m : edit_meanings)
    if (m.o == o) return {m.v, m.error ? error_answer(m.error) : std::move(body)};
  return {verdict::failed, error_answer("the poses file could not be written")};
}

edit_outcome edit(const context& c, const std::function<edit_outcome(taught&)>& change) {
  const state_dir dir(c.paths.state_dir);
  return edit_taught(dir, c.settings.lock_wait, change);
}

// Where a target leads from `start`, or the reply that refuses it.
using resolved = std::variant<reply, target_plan>;

plan_bounds bounds_of(const context& c) {
  return {c.paths.controller_delay_ns, c.settings.max_motion};
}

// Back to where an entry of the history started: the planner, guards and
// ghost of any go-to.
resolved plan_to_entry(const state_dir& dir, long long id, const counters& start,
                       const context& c) {
  const auto e = history_entry_of(dir, id);
  if (!e)
    return reply{verdict::not_found,
                 error_answer("there is no history entry " + std::to_string(id))};
  const back_point from = start_of(*e);
  if (!from.to)
    return reply{verdict::start_unknown,
                 error_answer("that entry's start is unknown: " + from.unknown)};
  return plan_to(start, *from.to, bounds_of(c));
}

resolved plan_target(const target& to, const counters& start, const context& c) {
  const plan_bounds delay = bounds_of(c);
  if (const auto* tip = std::get_if<tip_target>(&to)) return plan_to_tip(start, *tip, delay);
  if (const auto* n = std::get_if<counters>(&to)) return plan_to(start, *n, delay);
  const state_dir dir(c.paths.state_dir);
  if (const auto* h = std::get_if<history_target>(&to)) return plan_to_entry(dir, h->id, start, c);
  const std::string& name = std::get<pose_target>(to).name;
  if (const auto p = pose_counters(dir, name)) return plan_to(start, *p, delay);
  if (!read_taught(dir).damage.empty())
    return reply{verdict::store_damaged, error_answer("the poses file is damaged")};
  return reply{verdict::not_found, error_answer("there is no pose named " + json(name).dump())};
}

// The counters to plan from: those of the position file, or all zeros as
// the controller starts when it cannot read them.
counters current(const context& c) { return read_counters(c.paths.state_dir).value_or(counters{}); }

// Whether the run ended where the plan leads, and whether it started where
// the plan started: the start read under the run's lock says so; without
// it, whether its output is the replay's of the plan's options from the
// plan's start (unknown for a run ended by a signal, or one that printed no
// counters, whose output cannot match).
void tell_what_was_reached(reply& r, const target_plan& tp) {
  r.body["reached"] = r.after == tp.chosen->target;
  const bool as_planned =
      r.before ? *r.before == tp.chosen->start : r.body.value("reasons_known", false);
  const bool unknown =
      !r.before && (r.body.value("status", 0) >= 128 || r.body["counters"].is_null());
  r.body["started_as_planned"] = as_planned ? json(true) : unknown ? json(nullptr) : json(false);
  if (!as_planned && !unknown)
    r.body["note"] =
        "the run did not start from the planned counters: another program moved the arm between "
        "the plan and the run";
}

// The go-to of a target, top-down: the latch, the arm's turn, the latch
// again (a stop may have come meanwhile), the plan from the counters read
// with the turn held (judged and estimated once), then one controller run
// of its options. No other run of the daemon's starts until it ends, so two
// go-tos never plan from the same counters.
reply go(const target& to, const context& c) {
  if (auto held = held_by_latch(c)) return *held;
  auto turn = take_turn(c, "nothing moved");
  if (auto* refused = std::get_if<reply>(&turn)) return *refused;
  if (auto held = held_by_latch(c)) return *held;
  const counters start = current(c);
  resolved r = plan_target(to, start, c);
  if (auto* refused = std::get_if<reply>(&r)) return *refused;
  const target_plan& tp = std::get<target_plan>(r);
  const json body = plan_json(tp, bounds_of(c));
  if (!tp.allowed())
    return {verdict::plan_not_allowed,
            with_error({{"plan", body}}, tp.too_long ? "the move would take longer than the bound; "
                                                       "nothing moved"
                                                     : "no order of the moves passes the guards; "
                                                       "nothing moved"),
            start, start};
  if (tp.chosen->moves.empty())
    return {verdict::done,
            {{"plan", body}, {"counters", start}, {"options", json::array()}},
            start,
            start};
  // Allowed, so within the motion bound: the plan's estimate said so.
  reply done = run_move(moves_of(*tp.chosen), c, start, replay_of(*tp.chosen));
  if (done.v != verdict::done) return done;
  done.body["plan"] = body;
  tell_what_was_reached(done, tp);
  return done;
}

}  // namespace

reply answer_view(const state_query& q, const context& c) {
  const state_dir dir(c.paths.state_dir);
  if (q.what == view::history) {
    json list = json::array();
    for (json& e : newest_history(dir, history_shown)) list.push_back(std::move(e));
    return {verdict::done, {{"history", list}}};
  }
  const taught_read r = read_taught(dir);
  return {verdict::done, q.what == view::poses ? poses_answer(r) : sequences_answer(r)};
}

// How far each counter counted was from the one the operator gave: a joint
// that loses steps shows a drift that grows from one re-reference to the next.
json drift_of(const std::optional<counters>& counted, const counters& given) {
  if (!counted) return nullptr;
  json d = json::array();
  for (std::size_t i = 0; i < joint_count; ++i)
    d.push_back(static_cast<long long>((*counted)[i]) - given[i]);
  return d;
}

reply answer_reference(const reference_query& q, const context& c) {
  auto turn = take_turn(c, "nothing changed");
  if (auto* refused = std::get_if<reply>(&turn)) return *refused;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      c.arrived + c.settings.lock_wait - clock::now());
  const reference_report r =
      rereference(c.paths.state_dir, q.c, std::max(left, std::chrono::milliseconds(1)));
  json body{{"before", counters_and_report(r.before)}, {"after", counters_and_report(q.c)}};
  switch (r.outcome) {
    case reference_outcome::done:
      body["drift"] = drift_of(r.before, q.c);
      return {verdict::done, body, r.before, q.c};
    case reference_outcome::busy:
      return {verdict::busy,
              error_answer("the arm is busy: the lock stayed held; nothing changed")};
    case reference_outcome::lock_unusable:
      return {
          verdict::failed,
          error_answer("the lock file cannot be held: it is not a plain file of its own (a "
                       "second link, a symbolic link), cannot be written, or another process "
                       "holds a read lock on it; nothing changed (armctld --check tells more)")};
    case reference_outcome::not_saved:
      return {verdict::failed,
              error_answer("the position file could not be saved; it is as it was"), r.before,
              r.before};
    case reference_outcome::not_released:
      break;
  }
  return {verdict::failed,
          with_error(body, "the counters were saved, but the lock could not be released"), r.before,
          q.c};
}

reply answer_save_pose(const save_pose_query& q, const context& c) {
  if (q.name == home_pose) return edited(edit_outcome::builtin, nullptr);
  const auto now = read_counters(c.paths.state_dir);
  if (!now)
    return {verdict::failed, error_answer("the position file cannot be read; nothing was stored")};
  const edit_outcome o = edit(c, [&](taught& t) {
    if (looks_like_one_of(t.poses, q.name)) return edit_outcome::lookalike;
    if (!t.poses.contains(q.name) && t.poses.size() >= max_poses) return edit_outcome::full;
    t.poses[q.name] = *now;
    return edit_outcome::done;
  });
  return edited(o, {{"pose", pose_json(q.name, *now, false)}});
}

reply answer_delete_pose(const delete_pose_query& q, const context& c) {
  if (q.name == home_pose) return edited(edit_outcome::builtin, nullptr);
  return edited(edit(c,
                     [&](taught& t) {
                       return t.poses.erase(q.name) ? edit_outcome::done : edit_outcome::not_found;
                     }),
                {{"deleted", q.name}});
}

reply answer_save_sequence(const save_sequence_query& q, const context& c) {
  const edit_outcome o = edit(c, [&](taught& t) {
    for (const sequence_step& step : q.s.steps)
      if (step.pose != home_pose && !t.poses.contains(step.pose))
        return edit_outcome::unknown_poses;
    if (looks_like_one_of(t.sequences, q.s.name)) return edit_outcome::lookalike;
    if (!t.sequences.contains(q.s.name) && t.sequences.size() >= max_sequences)
      return edit_outcome::full;
    t.sequences[q.s.name] = q.s;
    return edit_outcome::done;
  });
  return edited(o, {{"sequence", sequence_json(q.s)}});
}

reply answer_delete_sequence(const delete_sequence_query& q, const context& c) {
  return edited(edit(c,
                     [&](taught& t) {
                       return t.sequences.erase(q.name) ? edit_outcome::done
                                                        : edit_outcome::not_found;
                     }),
                {{"deleted", q.name}});
}

reply answer_plan(const plan_query& q, const context& c) {
  resolved r = plan_target(q.to, current(c), c);
  if (auto* refused = std::get_if<reply>(&r)) return *refused;
  return {verdict::done, plan_json(std::get<target_plan>(r), bounds_of(c))};
}

reply answer_goto(const goto_query& q, const context& c) { return go(q.to, c); }

reply answer_back(const back_query&, const context& c) {
  const state_dir dir(c.paths.state_dir);
  const auto to = back_target(dir);
  if (!to)
    return {verdict::nothing_to_undo,
            error_answer("the history holds no move of the front end to go back from")};
  if (!to->to)
    return {verdict::start_unknown, error_answer("the newest move's start is unknown (" +
                                                 to->unknown + "); nothing moved")};
  return go(*to->to, c);
}

reply edit_reply(edit_outcome o, json body) { return edited(o, std::move(body)); }

}  // namespace armctl::front
