// Who drives the arm: one logged-in operator at a time may move it, others
// ask the driver to hand over (instructors take over at once); a driver
// whose page has gone away is let go. STOP is never held.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "daemon/http/request.hpp"

namespace armctl::front {

// A driver's page that sends nothing and has no event stream open for this
// long is gone, and so is an ask the driver leaves unanswered.
inline constexpr std::chrono::seconds driver_gone_after{30};
inline constexpr std::chrono::seconds ask_unanswered_after{30};
// A driver's stream sends a comment this often when idle: behind a proxy
// the daemon learns that the page closed only when it writes to it.
inline constexpr std::chrono::seconds driver_stream_probe{1};

// What a control request came to.
enum class control_outcome {
  done,     // 200
  asked,    // 202: the driver is asked; the state tells the outcome
  refused,  // 409: someone else drives, or the request names the wrong driver
};
struct control_answer {
  control_outcome outcome;
  nlohmann::json body;
};

class drive {
 public:
  using clock = std::chrono::steady_clock;

  // A control request of `user` (a logged-in operator); `instructors` from the settings.
  control_answer apply(const control_query& q, const std::string& user,
                       const std::vector<std::string>& instructors, clock::time_point now);
  // The driver when it is someone other than `user`, for the requests the
  // drive holds; nothing when `user` may go on.
  std::optional<std::string> held_from(const std::string& user, clock::time_point now);
  // The state's "control" field as `user` (empty: not logged in) may see it.
  nlohmann::json view(const std::string& user, clock::time_point now);

  // Every request of a logged-in operator, and their event streams.
  void seen(const std::string& user, clock::time_point now);
  bool drives(const std::string& user);
  void stream_opened(const std::string& user);
  void stream_closed(const std::string& user, clock::time_point now);

  // Lets a gone driver or an unanswered ask go; true when that changed the state.
  bool expire(clock::time_point now);

 private:
  bool expire_locked(clock::time_point now);
  control_answer take(const control_query& q, const std::string& user, bool instructor,
                      clock::time_point now);
  nlohmann::json driver_error(const std::string& why) const;

  std::mutex m_;
  std::optional<std::string> driver_;
  clock::time_point driver_seen_{};
  std::optional<std::string> asked_by_;
  clock::time_point asked_at_{};
  std::string asked_at_utc_;
  std::map<std::string, std::size_t> streams_;  // open streams by operator
};

// The name of the request's kind when the drive holds it (the table in
// control.cpp), else null.
const char* held_by_drive(const query& q);

}  // namespace armctl::front
