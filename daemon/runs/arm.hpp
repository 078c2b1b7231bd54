// The arm's runs as the daemon owns them: the requests that wait for the
// arm, in order and in memory; the one that has its turn and the controller
// run it started; STOP, which ends them all; the progress of the run under
// way; the last run's end; and one counter of changes that the event
// streams follow.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "model/commands.hpp"
#include "model/joints.hpp"

namespace armctl::front {

using steady = std::chrono::steady_clock;

// Why a wait for the arm's turn ended.
enum class turn_result { yours, stopped, caller_gone, timed_out, shutting_down };

// The run under way, as its reports tell it: the options, the counters it
// started from, the option that reported last and when.
struct run_progress {
  std::vector<run_option> options;
  counters start{};
  std::size_t option = 0;  // 1-based; 0 before the first report
  steady::time_point option_at{}, run_at{};
  std::string by;
};

// How the last run that the daemon started ended.
struct run_end {
  int status;
  std::string at;  // wall-clock UTC, ISO 8601
};

struct stop_count {
  std::size_t waiting_ended = 0;
  bool run_signalled = false;  // a run of ours held the arm and was sent SIGTERM
};

class arm;

// One request's place in the queue, then its turn; given up when it goes.
class place {
 public:
  place(arm& a, std::uint64_t id) : arm_(&a), id_(id) {}
  place(place&& other) noexcept : arm_(other.arm_), id_(other.id_) { other.arm_ = nullptr; }
  place& operator=(place&&) = delete;
  place(const place&) = delete;
  place& operator=(const place&) = delete;
  ~place();

  // Waits until this place has the arm's turn, at most until `deadline`,
  // looking every few milliseconds whether `caller_gone`.
  turn_result wait_turn(steady::time_point deadline, const std::function<bool()>& caller_gone);
  std::uint64_t id() const { return id_; }

 private:
  arm* arm_;
  std::uint64_t id_;
};

class arm {
 public:
  // Takes a place at the end of the queue; nothing when `max_waiting`
  // requests already wait, the one that has the turn counting until its run
  // holds the lock, or when the daemon is going away.
  std::optional<place> take_place(std::size_t max_waiting);

  // The run the turn's holder started: STOP signals it through `pidfd`.
  void run_started(pid_t pid, int pidfd, run_progress progress);
  // The run under way holds the lock: its request waits no more.
  void run_holds_lock();
  void option_reported(std::size_t option, const std::optional<counters>& start);
  // The run is over; `at` is when, or nothing for a run ended before it held
  // the lock, which touched nothing and is no run to tell of.
  void run_ended(int status, const std::optional<std::string>& at);
  // An operator cleared the stop: the last run's end is no longer news.
  void forget_last_run();

  // Ends every waiting place and sends SIGTERM to the run under way.
  stop_count stop_all();
  // Sends SIGTERM to the run under way alone, as STOP does to it, leaving the
  // queue as it is (a jog let go); false when no run of ours is under way.
  bool end_run();
  // Ends everything for good: the daemon is going away.
  void shut_down();
  bool shutting_down() const;

  std::optional<run_progress> progress() const;
  std::optional<run_end> last_run() const;
  // A run of ours is under way (the turn's holder started the controller).
  bool running() const;

  // The changes that the state shows, counted: a stream waits for the
  // count to move past what it last showed, at most until `until`.
  std::uint64_t version() const;
  void changed();
  std::uint64_t wait_change(std::uint64_t seen, steady::time_point until) const;

 private:
  friend class place;
  turn_result wait_turn(std::uint64_t id, steady::time_point deadline,
                        const std::function<bool()>& caller_gone);
  void leave(std::uint64_t id);
  void bump();  // with m_ held

  mutable std::mutex m_;
  mutable std::condition_variable cv_;
  std::uint64_t next_id_ = 1;
  std::deque<std::uint64_t> waiting_;  // in order of arrival
  std::set<std::uint64_t> ended_;      // ended by a STOP before their turn
  std::optional<std::uint64_t> turn_;
  bool turn_holds_lock_ = false;
  std::optional<run_progress> run_;
  pid_t run_pid_ = -1;
  int run_pidfd_ = -1;
  std::optional<run_end> last_;
  std::uint64_t version_ = 1;
  bool shut_ = false;
};

}  // namespace armctl::front
