// The run path that moves of options and go-to requests share: the latch,
// the motion bound, the arm's turn, and one controller run.
#include "daemon/http/moves.hpp"

#include "daemon/http/answer.hpp"
#include "daemon/http/handler.hpp"
#include "daemon/http/progress.hpp"
#include "daemon/runs/controller.hpp"
#include "daemon/runs/replay.hpp"
#include "daemon/stores/latch.hpp"
#include "daemon/stores/records_json.hpp"
#include "state/position_file.hpp"
#include "state/state_dir.hpp"

namespace armctl::front {
namespace {

std::optional<latch> current_latch(const char* state_dir) {
  const armctl::state_dir dir(state_dir);
  return read_latch(dir);
}

}  // namespace

std::optional<counters> read_counters(const char* state_dir) {
  const armctl::state_dir dir(state_dir);
  counters c{};
  if (!load_counters(dir, c)) return std::nullopt;
  return c;
}

std::optional<reply> held_by_latch(const context& c) {
  const auto stop = current_latch(c.paths.state_dir);
  if (!stop) return std::nullopt;
  return reply{
      verdict::stopped,
      with_error(latch_fields(stop), "the arm is stopped until an operator clears the stop")};
}

json estimate_fields(const move_query& q, const context& c) {
  const auto t = motion_time(q, c.paths.controller_delay_ns);
  return {{"estimate_s", in_seconds(t)},
          {"bound_s", c.settings.max_motion.count()},
          {"over_the_bound", t > c.settings.max_motion}};
}

std::optional<reply> over_the_bound(const move_query& q, const context& c) {
  const json estimate = estimate_fields(q, c);
  if (estimate["over_the_bound"] != true) return std::nullopt;
  return reply{verdict::over_the_bound,
               with_error(estimate, "the move would take longer than the bound; nothing moved")};
}

namespace {

bool none_refused(const replay& r) {
  for (const replayed_option& o : r.options)
    if (o.refused) return false;
  return true;
}

// The counters the history records around a run. The start read under the
// run's own lock is the truth. Without it, the counters read before the run
// waited are its start only when its output proves them: status 0 (nothing
// refused, nothing stopped) and every line as replayed from them, so that
// each option moved in full from there. The end is the run's own summary.
void note_run_ends(reply& r, const run_output& run, const counters& believed, const replay& from) {
  r.ran = true;
  if (const auto printed = counters_from_json(r.body["counters"].dump()))
    r.after = printed;
  else
    r.after_unknown = "the run printed no counters";
  if (run.start)
    r.before = run.start;
  else if (run.status == 0 && r.body.value("reasons_known", false) && none_refused(from))
    r.before = believed;
  else
    r.before_unknown =
        "the run ended before its start could be read under its lock, and its output does not "
        "prove the counters read before it waited";
}

}  // namespace

std::variant<reply, place> take_turn(const context& c, const char* what) {
  auto p = c.runs->take_place(c.settings.max_waiting);
  if (!p && c.runs->shutting_down())
    return reply{verdict::busy, error_answer(std::string("the arm's server is stopping; ") + what)};
  if (!p)
    return reply{verdict::queue_full,
                 error_answer(std::string("too many requests already wait for the arm; ") + what)};
  switch (p->wait_turn(c.arrived + c.settings.lock_wait, c.caller_gone)) {
    case turn_result::yours:
      return std::move(*p);
    case turn_result::stopped:
      if (auto held = held_by_latch(c)) {
        held->body["error"] = std::string("stopped while it waited for the arm; ") + what;
        return *held;
      }
      return reply{verdict::busy, error_answer(std::string("ended while it waited; ") + what)};
    case turn_result::caller_gone:
      return reply{verdict::caller_gone,
                   error_answer(std::string("the caller went away while it waited; ") + what)};
    case turn_result::shutting_down:
      return reply{verdict::busy,
                   error_answer(std::string("the arm's server is stopping; ") + what)};
    case turn_result::timed_out:
      break;
  }
  return reply{verdict::busy, error_answer(std::string("the arm is busy: other requests held it "
                                                       "for the whole wait; ") +
                                           what)};
}

reply run_move(const move_query& q, const context& c, const counters& believed,
               const replay& expected) {
  if (auto held = held_by_latch(c)) return *held;
  progress_tracker progress(q, c);
  run_progress shown{q.options, believed, 0, {}, {}, c.user};
  const run_output run =
      run_controller(*c.runs, {c.paths.controller, argument_vector(q), c.paths.state_dir,
                               c.arrived + c.settings.lock_wait, std::ref(progress), c.caller_gone,
                               std::move(shown)});
  if (run.status < 0) return {verdict::failed, error_answer("the controller could not be run")};
  if (run.gave_up_waiting) {
    if (const auto stop = current_latch(c.paths.state_dir))
      return {verdict::stopped, with_error(latch_fields(stop),
                                           "stopped while it waited for the lock; nothing moved")};
    if (run.caller_gone)
      return {verdict::caller_gone,
              error_answer("the caller went away while it waited for the lock; nothing moved")};
    return {verdict::busy, error_answer("the arm is busy: the lock stayed held; nothing moved")};
  }
  // The run's reasons come from where it really started, when that is known
  // and differs from what was believed (another run moved the arm meanwhile).
  const bool as_believed = !run.start || *run.start == believed;
  const replay from = as_believed ? expected : replay_options(q, *run.start);
  reply r{verdict::done, run_answer(q, run, from)};
  note_run_ends(r, run, as_believed ? believed : *run.start, from);
  return r;
}

// The estimate with the judge's verdict on those options from the counters
// now, so that the page can mark a move the guards would refuse before it
// is sent; only the run's own answer decides.
reply answer_estimate(const estimate_query& q, const context& c) {
  json body = estimate_fields(q.move, c);
  const counters start = read_counters(c.paths.state_dir).value_or(counters{});
  const replay r = replay_options(q.move, start);
  json verdicts = json::array();
  bool any = false;
  for (std::size_t i = 0; i < q.move.options.size() && i < r.options.size(); ++i) {
    const option& o = q.move.options[i];
    json v{{"option", std::string{'-', o.letter}}, {"refused", r.options[i].refused}};
    if (o.count) v["count"] = *o.count;
    if (r.options[i].reason) v["reason"] = reason_json(*r.options[i].reason);
    any = any || r.options[i].refused;
    verdicts.push_back(std::move(v));
  }
  body["start"] = start;
  body["end"] = r.final;
  body["refused"] = any;
  body["verdicts"] = std::move(verdicts);
  return {verdict::done, body};
}

reply answer_move(const move_query& q, const context& c) {
  if (auto held = held_by_latch(c)) return *held;
  if (auto over = over_the_bound(q, c)) return *over;
  auto turn = take_turn(c, "nothing moved");
  if (auto* refused = std::get_if<reply>(&turn)) return *refused;
  // The position before the run: the replay that explains refusals starts
  // from it unless the run's own start turns out otherwise.
  const counters start = read_counters(c.paths.state_dir).value_or(counters{});
  return run_move(q, c, start, replay_options(q, start));
}

}  // namespace armctl::front
