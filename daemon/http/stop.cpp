// STOP, clear and unlock, and the state they change, as answers.
#include "daemon/http/stop.hpp"

#include "daemon/http/answer.hpp"
#include "daemon/http/player.hpp"
#include "daemon/http/progress.hpp"
#include "daemon/runs/controller.hpp"
#include "daemon/runs/holder.hpp"
#include "daemon/stores/history.hpp"
#include "daemon/stores/latch.hpp"
#include "model/status.hpp"
#include "state/state_dir.hpp"

namespace armctl::front {

namespace {

// Who stopped the arm, and from where, is told to operators only.
json for_reader(json latch_answer, const context& c) {
  if (c.user.empty()) {
    latch_answer.erase("stopped_by");
    latch_answer.erase("stopped_from");
  }
  return latch_answer;
}

// The end of the last run the daemon started, the same for every reader.
json last_run_json(const std::optional<run_end>& e) {
  if (!e) return nullptr;
  return {{"status", e->status}, {"meaning", meaning_of(e->status)}, {"at", e->at}};
}

}  // namespace

// The run in progress and the joints' names are told to everyone.
reply answer_state(const context& c) {
  const armctl::state_dir dir(c.paths.state_dir);
  json body = for_reader(state_answer(read_counters(c.paths.state_dir),
                                      read_lock_state(c.paths.state_dir), read_latch(dir)),
                         c);
  body["run"] = run_in_progress(c);
  body["last_run"] = last_run_json(c.runs->last_run());
  body["sequence"] = c.sequences ? c.sequences->playing_json(!c.user.empty()) : json(nullptr);
  body["sequence_end"] = c.sequences ? c.sequences->ended_json(!c.user.empty()) : json(nullptr);
  const auto drift = last_drift(dir);
  body["drift"] = drift ? json{{"counters", drift->counters}, {"at", drift->time}} : json(nullptr);
  body["joint_names"] = joint_names_of(c.settings);
  body["joint_words"] = joint_words_of(c.settings);
  return {verdict::done, body};
}

// Latches first, so that no run starts after the runs are ended; then ends
// every request of ours waiting for the arm and stops our run under way, and
// the holder of the lock when it is another (a person's run at the shell,
// which our run may be waiting behind); only then waits for the latch to
// reach the disk.
reply answer_stop(const context& c) {
  const armctl::state_dir dir(c.paths.state_dir);
  const latching l = set_latch(dir, c.user.empty() ? not_logged_in : c.user, c.client_address);
  const stop_count ours = c.runs->stop_all();
  const stop_outcome foreign = stop_foreign_holder(c.paths.state_dir, c.paths.controller);
  const stop_outcome holder = ours.run_signalled ? stop_outcome::signalled : foreign;
  const bool latched = sync_latch(dir) && l.ok;
  c.runs->changed();
  // The latch this STOP put in place or found: a clear after it may have
  // removed it since, and then holds, but this STOP did latch.
  json body = for_reader(latch_fields(l.in_place), c);
  body["waiting_ended"] = ours.waiting_ended;
  body["run_stopped"] = holder == stop_outcome::signalled;
  if (foreign == stop_outcome::not_permitted)
    return {verdict::not_permitted,
            with_error(body,
                       "the run holding the lock was not started by this web server's "
                       "account and goes on; the front end is latched")};
  if (!latched || foreign == stop_outcome::failed)
    return {verdict::failed, with_error(body, "the stop could not be completed")};
  reply done{verdict::done, body};
  done.repeat = l.found;
  return done;
}

reply answer_clear(const context& c) {
  const armctl::state_dir dir(c.paths.state_dir);
  const bool cleared = clear_latch(dir);
  if (cleared) c.runs->forget_last_run();
  if (!cleared) return {verdict::failed, error_answer("the latch could not be cleared")};
  return {verdict::done, latch_fields(std::nullopt)};
}

reply answer_unlock(const context& c) {
  const unlock_report r = unlock_dead_run(c.paths.state_dir, c.user);
  json body{{"unlocked", r.outcome == unlock_outcome::unlocked}};
  if (r.found) body["holder"] = holder_fields(*r.found);
  struct meaning {
    unlock_outcome o;
    verdict v;
    const char* error;
  };
  static constexpr meaning meanings[] = {
      {unlock_outcome::unlocked, verdict::done, nullptr},
      {unlock_outcome::not_left_by_a_dead_run, verdict::not_left_by_a_dead_run,
       "the lock is free, or not left by a run of this boot that has ended"},
      {unlock_outcome::held_by_a_live_run, verdict::held_by_a_live_run,
       "a live run of the controller holds the lock or waits for it"},
      {unlock_outcome::failed, verdict::failed, "the lock file could not be written"},
  };
  for (const meaning& m : meanings)
    if (m.o == r.outcome) return {m.v, m.error ? with_error(body, m.error) : body};
  return {verdict::failed, body};
}

}  // namespace armctl::front
