// Playing a stored sequence in the daemon: the steps in order, the rounds
// it repeats, a pause that holds after the current step's move, and an end
// that says which step and why.
#include "daemon/http/player.hpp"

#include <chrono>

#include "daemon/http/answer.hpp"
#include "daemon/http/moves.hpp"
#include "daemon/http/teach.hpp"
#include "daemon/stores/latch.hpp"
#include "daemon/stores/taught.hpp"
#include "state/state_dir.hpp"

namespace armctl::front {

using json = nlohmann::json;

player::player(context_for make, recorder record, std::function<void()> changed)
    : make_(std::move(make)), record_(std::move(record)), changed_(std::move(changed)) {}

player::~player() {
  end("the daemon stopped");
  if (thread_.joinable()) thread_.join();
}

bool player::play(const sequence& s, const std::string& user) {
  std::unique_lock<std::mutex> hold(m_);
  if (now_) return false;
  // The thread of the last one has ended, or is about to: it holds no lock.
  if (thread_.joinable()) {
    hold.unlock();
    thread_.join();
    hold.lock();
    if (now_) return false;
  }
  now_ = playing{s, user};
  pause_asked_ = false;
  end_asked_.reset();
  thread_ = std::thread([this] { run(); });
  return true;
}

bool player::pause() {
  const std::lock_guard<std::mutex> hold(m_);
  if (!now_) return false;
  pause_asked_ = true;
  cv_.notify_all();
  return true;
}

bool player::resume() {
  const std::lock_guard<std::mutex> hold(m_);
  if (!now_) return false;
  pause_asked_ = false;
  cv_.notify_all();
  return true;
}

void player::end(const std::string& why) {
  const std::lock_guard<std::mutex> hold(m_);
  if (!now_) return;
  end_asked_ = why;
  cv_.notify_all();
}

namespace {

const char* phase_name(int p) {
  static constexpr const char* names[] = {"playing", "paused", "waiting"};
  return names[p];
}

}  // namespace

json player::playing_json(bool for_operator) const {
  const std::lock_guard<std::mutex> hold(m_);
  if (!now_) return nullptr;
  json j{{"name", now_->s.name},          {"step", now_->step + 1},
         {"steps", now_->s.steps.size()}, {"repeat", now_->round},
         {"repeats", now_->s.repeat},     {"state", phase_name(static_cast<int>(now_->at))}};
  if (for_operator) j["by"] = now_->by;
  return j;
}

json player::ended_json(bool for_operator) const {
  const std::lock_guard<std::mutex> hold(m_);
  json j = ended_;
  if (!for_operator && j.is_object()) j.erase("by");
  return j;
}

// One step's go-to, as its operator's request, recorded as one; false, with
// why, when it did not reach its pose.
bool player::play_step(const sequence_step& step, const std::string& by, std::string& why) {
  context c = make_(by);
  const goto_query q{pose_target{step.pose}};
  const reply r = answer_goto(q, c);
  record_(q, c, r);
  if (r.v == verdict::done && r.body.value("status", 0) == 0) return true;
  why = r.body.value("error", r.body.value("meaning", std::string("the move failed")));
  return false;
}

// The step's pause, cut short by an end; a pause asked meanwhile holds here.
bool player::wait_out(std::int64_t pause_ms) {
  std::unique_lock<std::mutex> hold(m_);
  now_->at = phase::waiting;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(pause_ms);
  cv_.wait_until(hold, until, [&] { return end_asked_ || pause_asked_; });
  if (pause_asked_ && !end_asked_) {
    now_->at = phase::paused;
    hold.unlock();
    changed_();
    hold.lock();
    cv_.wait(hold, [&] { return end_asked_ || !pause_asked_; });
  }
  return !end_asked_;
}

void player::finish(std::string why) {
  {
    const std::lock_guard<std::mutex> hold(m_);
    if (end_asked_) why = *end_asked_;
    ended_ = {{"name", now_->s.name}, {"step", now_->step + 1}, {"repeat", now_->round},
              {"outcome", why},       {"at", utc_now()},        {"by", now_->by}};
    now_.reset();
    end_asked_.reset();
    pause_asked_ = false;
  }
  changed_();
}

void player::run() {
  for (;;) {
    sequence_step step;
    std::string by;
    bool last = false;
    {
      const std::lock_guard<std::mutex> hold(m_);
      if (end_asked_) break;
      now_->at = phase::playing;
      step = now_->s.steps[now_->step];
      by = now_->by;
      last = now_->step + 1 == now_->s.steps.size() && now_->round >= now_->s.repeat;
    }
    changed_();
    std::string why;
    if (!play_step(step, by, why)) {
      const std::size_t n = [&] {
        const std::lock_guard<std::mutex> hold(m_);
        return now_->step + 1;
      }();
      return finish("step " + std::to_string(n) + " (" + step.pose + "): " + why);
    }
    if (last) return finish("played to its end");
    if (!wait_out(step.pause_ms)) break;
    const std::lock_guard<std::mutex> hold(m_);
    if (++now_->step == now_->s.steps.size()) {
      now_->step = 0;
      ++now_->round;
    }
  }
  finish("ended");
}

reply answer_play(const play_query& q, const context& c) {
  if (auto held = held_by_latch(c)) return *held;
  const state_dir dir(c.paths.state_dir);
  const taught_read r = read_taught(dir);
  if (!r.damage.empty()) return edit_reply(edit_outcome::damaged, nullptr);
  const auto found = r.t.sequences.find(q.name);
  if (found == r.t.sequences.end())
    return {verdict::not_found, error_answer("there is no sequence named " + json(q.name).dump())};
  if (!c.sequences->play(found->second, c.user))
    return {verdict::player_busy, error_answer("a sequence is playing already; nothing started")};
  return {verdict::done, {{"playing", q.name}}};
}

reply answer_pause(const pause_query&, const context& c) {
  if (!c.sequences->pause()) return {verdict::not_found, error_answer("no sequence is playing")};
  return {verdict::done, {{"paused", true}}};
}

reply answer_resume(const resume_query&, const context& c) {
  if (!c.sequences->resume()) return {verdict::not_found, error_answer("no sequence is playing")};
  return {verdict::done, {{"resumed", true}}};
}

}  // namespace armctl::front
