// The queue, the turn and the run under way, under one mutex; every change
// the state shows wakes the streams through one condition variable.
#include "daemon/runs/arm.hpp"

#include "daemon/runs/pidfd.hpp"

#include <signal.h>
#include <unistd.h>

#include <algorithm>

namespace armctl::front {
namespace {

// How often a waiting request looks whether its caller went away.
constexpr auto caller_check = std::chrono::milliseconds(50);

}  // namespace

place::~place() {
  if (arm_ != nullptr) arm_->leave(id_);
}

turn_result place::wait_turn(steady::time_point deadline,
                             const std::function<bool()>& caller_gone) {
  return arm_->wait_turn(id_, deadline, caller_gone);
}

std::optional<place> arm::take_place(std::size_t max_waiting) {
  const std::lock_guard<std::mutex> hold(m_);
  const std::size_t waiting = waiting_.size() + (turn_ && !turn_holds_lock_ ? 1 : 0);
  if (shut_ || waiting >= max_waiting) return std::nullopt;
  const std::uint64_t id = next_id_++;
  waiting_.push_back(id);
  return std::optional<place>(std::in_place, *this, id);
}

turn_result arm::wait_turn(std::uint64_t id, steady::time_point deadline,
                           const std::function<bool()>& caller_gone) {
  std::unique_lock<std::mutex> hold(m_);
  for (;;) {
    if (shut_) return turn_result::shutting_down;
    if (ended_.erase(id) != 0) return turn_result::stopped;
    if (!turn_ && !waiting_.empty() && waiting_.front() == id) {
      waiting_.pop_front();
      turn_ = id;
      turn_holds_lock_ = false;
      bump();
      return turn_result::yours;
    }
    const auto now = steady::now();
    if (now >= deadline) return turn_result::timed_out;
    cv_.wait_until(hold, std::min(deadline, now + caller_check));
    hold.unlock();
    const bool gone = caller_gone && caller_gone();
    hold.lock();
    if (gone) return turn_result::caller_gone;
  }
}

void arm::leave(std::uint64_t id) {
  const std::lock_guard<std::mutex> hold(m_);
  std::erase(waiting_, id);
  ended_.erase(id);
  if (turn_ == id) {
    turn_.reset();
    turn_holds_lock_ = false;
    run_.reset();
    run_pid_ = -1;
    run_pidfd_ = -1;
  }
  bump();
}

void arm::run_started(pid_t pid, int pidfd, run_progress progress) {
  const std::lock_guard<std::mutex> hold(m_);
  run_pid_ = pid;
  run_pidfd_ = pidfd;
  run_ = std::move(progress);
  // Started as the daemon goes away: it ends at once and saves nothing new.
  if (shut_) (void)pidfd_send_signal(pidfd, SIGTERM);
  bump();
}

void arm::run_holds_lock() {
  const std::lock_guard<std::mutex> hold(m_);
  turn_holds_lock_ = true;
}

void arm::option_reported(std::size_t option, const std::optional<counters>& start) {
  const std::lock_guard<std::mutex> hold(m_);
  if (!run_) return;
  const auto now = steady::now();
  if (option == 1) run_->run_at = now;
  if (start) run_->start = *start;
  run_->option = option;
  run_->option_at = now;
  bump();
}

void arm::run_ended(int status, const std::optional<std::string>& at) {
  const std::lock_guard<std::mutex> hold(m_);
  run_.reset();
  run_pid_ = -1;
  run_pidfd_ = -1;
  if (at) last_ = run_end{status, *at};
  bump();
}

void arm::forget_last_run() {
  const std::lock_guard<std::mutex> hold(m_);
  last_.reset();
  bump();
}

stop_count arm::stop_all() {
  const std::lock_guard<std::mutex> hold(m_);
  stop_count c;
  for (const std::uint64_t id : waiting_) ended_.insert(id);
  c.waiting_ended = waiting_.size();
  waiting_.clear();
  if (run_pidfd_ >= 0) c.run_signalled = pidfd_send_signal(run_pidfd_, SIGTERM) == 0;
  bump();
  return c;
}

bool arm::end_run() {
  const std::lock_guard<std::mutex> hold(m_);
  return run_pidfd_ >= 0 && pidfd_send_signal(run_pidfd_, SIGTERM) == 0;
}

void arm::shut_down() {
  {
    const std::lock_guard<std::mutex> hold(m_);
    shut_ = true;
    if (run_pidfd_ >= 0) (void)pidfd_send_signal(run_pidfd_, SIGTERM);
    bump();
  }
  std::unique_lock<std::mutex> hold(m_);
  // The run under way saves its steps and ends; its request answers.
  cv_.wait(hold, [&] { return !turn_; });
}

bool arm::shutting_down() const {
  const std::lock_guard<std::mutex> hold(m_);
  return shut_;
}

std::optional<run_progress> arm::progress() const {
  const std::lock_guard<std::mutex> hold(m_);
  if (!run_ || run_->option == 0) return std::nullopt;
  return run_;
}

std::optional<run_end> arm::last_run() const {
  const std::lock_guard<std::mutex> hold(m_);
  return last_;
}

bool arm::running() const {
  const std::lock_guard<std::mutex> hold(m_);
  return run_pid_ > 0;
}

std::uint64_t arm::version() const {
  const std::lock_guard<std::mutex> hold(m_);
  return version_;
}

void arm::changed() {
  const std::lock_guard<std::mutex> hold(m_);
  bump();
}

void arm::bump() {
  ++version_;
  cv_.notify_all();
}

std::uint64_t arm::wait_change(std::uint64_t seen, steady::time_point until) const {
  std::unique_lock<std::mutex> hold(m_);
  cv_.wait_until(hold, until, [&] { return version_ != seen || shut_; });
  return version_;
}

}  // namespace armctl::front
