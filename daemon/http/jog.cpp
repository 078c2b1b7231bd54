// The jogs the daemon knows: the one under way and the last few ended, for a
// release that comes after the dead-man. Each jog's run has a thread that
// holds the turn, and beside it a watch that ends the run when the
// operator lets go or stops holding.
#include "daemon/http/jog.hpp"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "daemon/http/moves.hpp"
#include "daemon/http/progress.hpp"
#include "daemon/runs/controller.hpp"
#include "daemon/runs/jog.hpp"
#include "daemon/stores/history.hpp"
#include "daemon/stores/latch.hpp"
#include "daemon/stores/records_json.hpp"
#include "state/state_dir.hpp"

namespace armctl::front {
namespace {

// How often a jog's watch looks at its holds.
constexpr auto jog_watch_every = std::chrono::milliseconds(20);
// Ended jogs remembered, so that a late release still learns the end.
constexpr std::size_t ended_jogs_kept = 16;
// How long a release waits for the run to end beyond the lock's wait (a
// run stops at its next step once signalled).
constexpr auto release_slack = std::chrono::seconds(5);

struct jog_end {
  std::string ended;  // "released", "dead-man", "limit" or "stopped"
  std::int64_t steps = 0;
  std::optional<counters> after;
};

struct held_jog {
  std::uint64_t id;
  std::string user;
  jog_query asked;
  option run;  // the letter and the furthest count allowed
  mutable std::mutex m;
  std::condition_variable cv;
  steady::time_point last_hold = steady::now();
  std::string ending;     // set once the daemon ends it: "released" or "dead-man"
  bool run_over = false;  // the controller has exited
  bool over = false;      // ... and its history is written
  int run_status = -1;    // the controller's exit status; -1: it never ran
  jog_end end;
};

class jog_table {
 public:
  std::shared_ptr<held_jog> add(const std::string& user, const jog_query& q, option run) {
    const std::lock_guard<std::mutex> hold(m_);
    auto j = std::make_shared<held_jog>();
    j->id = next_id_++;
    j->user = user;
    j->asked = q;
    j->run = run;
    jogs_.push_back(j);
    while (jogs_.size() > ended_jogs_kept + 1 && over(*jogs_.front())) jogs_.pop_front();
    return j;
  }
  std::shared_ptr<held_jog> find(std::uint64_t id) {
    const std::lock_guard<std::mutex> hold(m_);
    for (const auto& j : jogs_)
      if (j->id == id) return j;
    return nullptr;
  }

 private:
  static bool over(held_jog& j) {
    const std::lock_guard<std::mutex> hold(j.m);
    return j.over;
  }
  std::mutex m_;
  std::uint64_t next_id_ = 1;
  std::deque<std::shared_ptr<held_jog>> jogs_;
};

// One table for the daemon's life; the jogs' threads hold their own jog.
jog_table& jogs() {
  static jog_table table;
  return table;
}

// Ends the run while it is let go or left unheld, every look until it is
// over: a run not spawned yet at the first signal gets the next.
void watch_holds(held_jog& j, arm& a) {
  std::unique_lock<std::mutex> hold(j.m);
  while (!j.run_over) {
    if (j.ending.empty() && steady::now() - j.last_hold > jog_dead_man) j.ending = "dead-man";
    if (!j.ending.empty()) (void)a.end_run();
    j.cv.wait_for(hold, jog_watch_every);
  }
}

json jog_request(const jog_query& q) {
  return {{"jog", {{"counter", q.counter}, {"direction", q.sign > 0 ? "+" : "-"}}}};
}

jog_end end_of(const held_jog& j, const run_output& run, const counters& before, const context& c) {
  const move_query q{{j.run}};
  const json printed = run_answer(q, run, replay_options(q, before))["counters"];
  jog_end e;
  e.after = counters_from_json(printed.dump());
  if (!e.after) e.after = read_counters(c.paths.state_dir);
  if (e.after)
    e.steps =
        std::llabs(static_cast<long long>((*e.after)[j.asked.counter]) - before[j.asked.counter]);
  const std::lock_guard<std::mutex> hold(j.m);
  e.ended = !j.ending.empty() ? j.ending : run.status == 0 ? "limit" : "stopped";
  return e;
}

void record_jog(const held_jog& j, const jog_end& e, const run_output& run, const counters& before,
                const context& c) {
  const armctl::state_dir dir(c.paths.state_dir);
  history_entry h{utc_now(), j.user, jog_request(j.asked), 200, before, e.after};
  h.run_status = run.status;
  h.more = {{"ended", e.ended}, {"steps", e.steps}};
  if (!append_history(dir, h, c.settings.lock_wait))
    std::fprintf(stderr, "armctld: the history line of jog %llu could not be written\n",
                 static_cast<unsigned long long>(j.id));
}

// The jog's run, from its turn to its history line; the turn goes with the
// thread, once the jog is over.
void run_jog(const std::shared_ptr<held_jog>& j, const context& c, place turn,
             const counters& start) {
  std::thread watch([&] { watch_holds(*j, *c.runs); });
  const move_query q{{j->run}};
  progress_tracker progress(q, c);
  run_progress shown{q.options, start, 0, {}, {}, c.user};
  const run_output run = run_controller(*c.runs, {c.paths.controller,
                                                  argument_vector(q),
                                                  c.paths.state_dir,
                                                  steady::now() + c.settings.lock_wait,
                                                  std::ref(progress),
                                                  {},
                                                  std::move(shown)});
  {
    const std::lock_guard<std::mutex> hold(j->m);
    j->run_over = true;
  }
  j->cv.notify_all();
  watch.join();
  const counters before = run.start.value_or(start);
  const jog_end e = end_of(*j, run, before, c);
  // A controller that never ran is the POST's 500, which front.cpp records.
  if (run.status >= 0) record_jog(*j, e, run, before, c);
  {
    const std::lock_guard<std::mutex> hold(j->m);
    j->end = e;
    j->run_status = run.status;
    j->over = true;
  }
  j->cv.notify_all();
  c.runs->changed();
  (void)turn;  // given up as the thread ends
}

reply refused_jog(const jog_reach& r, const context& c, const jog_query& q) {
  if (!r.refusal) {
    const move_query one{{{r.letter->letter, r.letter->how.wrist ? wrist_chunk : 1}}};
    if (auto over = over_the_bound(one, c)) return *over;
  }
  json body{{"option", std::string{'-', r.letter->letter}}, {"counter", q.counter}};
  if (r.refusal) body["reason"] = reason_json(reason_of(*r.letter, *r.refusal));
  return {verdict::plan_not_allowed,
          with_error(body, "the guards allow no step that way from here; nothing moved")};
}

// The POST answers once the controller is spawned (or the jog is over
// already, having never spawned one).
bool wait_spawned(held_jog& j, const arm& a) {
  for (std::uint64_t seen = a.version();;
       seen = a.wait_change(seen, steady::now() + jog_watch_every)) {
    if (a.running()) return true;
    const std::lock_guard<std::mutex> hold(j.m);
    if (j.over) return false;
  }
}

json end_json(const jog_end& e, bool released_now) {
  return {{"released", released_now},
          {"ended", e.ended},
          {"steps", e.steps},
          {"counters", e.after ? json(*e.after) : json(nullptr)}};
}

// The jog named, when it is the caller's.
std::variant<reply, std::shared_ptr<held_jog>> own_jog(std::uint64_t id, const context& c) {
  auto j = jogs().find(id);
  if (!j) return reply{verdict::not_found, error_answer("no jog of that number")};
  if (j->user != c.user)
    return reply{verdict::not_permitted, error_answer("that jog is another operator's")};
  return j;
}

}  // namespace

reply answer_jog(const jog_query& q, const context& c) {
  if (auto held = held_by_latch(c)) return *held;
  const command* letter = jog_letter(q.counter, q.sign);
  if (letter == nullptr) return {verdict::failed, error_answer("no letter moves that counter")};
  auto turn = take_turn(c, "nothing moved");
  if (auto* refused = std::get_if<reply>(&turn)) return *refused;
  const counters start = read_counters(c.paths.state_dir).value_or(counters{});
  const jog_reach r =
      jog_reach_from(start, *letter, c.settings.max_motion, c.paths.controller_delay_ns);
  if (r.count == 0) return refused_jog(r, c, q);
  auto j = jogs().add(c.user, q, {letter->letter, r.count});
  context own = c;
  own.caller_gone = {};  // the run outlives this request
  std::thread(run_jog, j, own, std::move(std::get<place>(turn)), start).detach();
  // A run that ended before it was seen running (ended at once by a STOP)
  // is a jog all the same: its hold is told it ended, its release the end.
  if (!wait_spawned(*j, *c.runs)) {
    const std::lock_guard<std::mutex> hold(j->m);
    if (j->run_status < 0)
      return {verdict::failed, error_answer("the controller could not be run")};
  }
  return {verdict::done,
          {{"jog", j->id}, {"option", std::string{'-', letter->letter}}, {"count", r.count}}};
}

reply answer_hold(const hold_query& q, const context& c) {
  auto found = own_jog(q.id, c);
  if (auto* refused = std::get_if<reply>(&found)) return *refused;
  held_jog& j = *std::get<std::shared_ptr<held_jog>>(found);
  const std::lock_guard<std::mutex> hold(j.m);
  if (!j.ending.empty() || j.run_over)
    return {verdict::not_found, error_answer("that jog has ended")};
  j.last_hold = steady::now();
  return {verdict::done, {{"jog", j.id}, {"held", true}}};
}

reply answer_release(const release_query& q, const context& c) {
  auto found = own_jog(q.id, c);
  if (auto* refused = std::get_if<reply>(&found)) return *refused;
  held_jog& j = *std::get<std::shared_ptr<held_jog>>(found);
  // Once latched, STOP has ended the run (or is ending it): its end is the stop's.
  const bool latched = held_by_latch(c).has_value();
  std::unique_lock<std::mutex> hold(j.m);
  const bool now = j.ending.empty() && !j.run_over && !latched;
  if (now) {
    j.ending = "released";
    (void)c.runs->end_run();
  }
  const auto until = steady::now() + c.settings.lock_wait + release_slack;
  if (!j.cv.wait_until(hold, until, [&] { return j.over; }))
    return {verdict::busy, error_answer("the jog's run has not ended yet")};
  return {verdict::done, end_json(j.end, now)};
}

}  // namespace armctl::front
