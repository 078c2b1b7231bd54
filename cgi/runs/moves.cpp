// The run path that moves of options and go-to requests share: the latch,
// the motion bound, and one controller run under its watcher.
#include "cgi/runs/moves.hpp"

#include "cgi/http/answer.hpp"
#include "cgi/http/handler.hpp"
#include "cgi/runs/controller.hpp"
#include "cgi/runs/estimate.hpp"
#include "cgi/runs/latch.hpp"
#include "cgi/runs/replay.hpp"
#include "state/position_file.hpp"
#include "state/state_dir.hpp"

namespace armctl::cgi {
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

reply run_move(const move_query& q, const context& c, const queue_place& place,
               const counters& start, std::chrono::milliseconds wait) {
  const run_output run = run_controller(
      {c.paths.controller, argument_vector(q), c.paths.state_dir, wait, c.client}, place);
  if (run.status < 0) return {verdict::failed, error_answer("the controller could not be run")};
  if (run.gave_up_waiting) {
    if (const auto stop = current_latch(c.paths.state_dir))
      return {verdict::stopped, with_error(latch_fields(stop),
                                           "stopped while it waited for the lock; nothing moved")};
    return {verdict::busy, error_answer("the arm is busy: the lock stayed held; nothing moved")};
  }
  json body = run_answer(q, run, replay_options(q, start));
  reply r{verdict::done, body, start, std::nullopt};
  if (const auto after = counters_from_json(body["counters"].dump())) r.after = after;
  return r;
}

reply answer_estimate(const estimate_query& q, const context& c) {
  return {verdict::done, estimate_fields(q.move, c)};
}

reply answer_move(const move_query& q, const context& c) {
  if (auto held = held_by_latch(c)) return *held;
  if (auto over = over_the_bound(q, c)) return *over;
  const armctl::state_dir dir(c.paths.state_dir);
  const auto place = queue_place::take(dir, c.settings.max_waiting);
  if (!place)
    return {verdict::queue_full, error_answer("too many requests already wait for the arm; "
                                              "nothing moved")};
  // The position before the run, for the replay that explains refusals.
  const counters start = read_counters(c.paths.state_dir).value_or(counters{});
  return run_move(q, c, *place, start, c.settings.lock_wait);
}

}  // namespace armctl::cgi
