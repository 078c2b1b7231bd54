// The sequences the arm's PC plays: one at a time, in a thread of the
// daemon, so that it goes on when the page that started it closes, and
// every page sees it and can pause it. Each step is a go-to to its pose,
// planned and judged as any go-to, then its pause.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>

#include "daemon/http/handler.hpp"
#include "daemon/http/request.hpp"
#include "daemon/stores/records.hpp"

namespace armctl::front {

class player {
 public:
  // A step's context as `user` would have it for a request now.
  using context_for = std::function<context(const std::string& user)>;
  // Writes the history line of a step the player made.
  using recorder = std::function<void(const goto_query&, const context&, const reply&)>;
  player(context_for make, recorder record, std::function<void()> changed);
  ~player();
  player(const player&) = delete;
  player& operator=(const player&) = delete;

  // Starts `s` for `user`; false when a sequence is already playing.
  bool play(const sequence& s, const std::string& user);
  // A pause holds after the current step's move; false when none plays.
  bool pause();
  bool resume();
  // Ends the sequence under way, if any (STOP, the daemon's end).
  void end(const std::string& why);

  // {"name", "step", "steps", "repeat", "repeats", "state", "by"}, or null;
  // and how the last one ended, or null.
  nlohmann::json playing_json(bool for_operator) const;
  nlohmann::json ended_json(bool for_operator) const;

 private:
  enum class phase { playing, paused, waiting };
  struct playing {
    sequence s;
    std::string by;
    std::size_t step = 0;    // 0-based
    std::int64_t round = 1;  // 1-based
    phase at = phase::playing;
  };
  void run();
  bool play_step(const sequence_step& step, const std::string& by, std::string& why);
  bool wait_out(std::int64_t pause_ms);
  void finish(std::string why);

  context_for make_;
  recorder record_;
  std::function<void()> changed_;
  mutable std::mutex m_;
  std::condition_variable cv_;
  std::optional<playing> now_;
  bool pause_asked_ = false;
  std::optional<std::string> end_asked_;
  nlohmann::json ended_ = nullptr;
  std::thread thread_;
};

reply answer_play(const play_query& q, const context& c);
reply answer_pause(const pause_query& q, const context& c);
reply answer_resume(const resume_query& q, const context& c);

}  // namespace armctl::front
