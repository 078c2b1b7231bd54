// The delay points of the write cycle, timed on the monotonic clock.
#pragma once

#include <cstdint>

namespace armctl {

// kill_time(500000) is one delay point; its real length is the build's delay.
inline constexpr long delay_loops = 500000;

// Waits out delays. Each delay lasts at least the set length from the moment
// it begins, right after a port write, so no two writes are ever closer than
// one delay: an open-loop stepper driven faster than its rate loses steps,
// and nothing tells the counters. A late write (a stall of the machine)
// therefore delays the ones after it instead of being made up; the drift is
// what armctl-bench reports.
class pacer {
 public:
  explicit pacer(std::int64_t delay_ns);

  // One delay point. Every caller passes delay_loops; a count of 0 or below
  // returns at once, as a count to nothing would.
  void kill_time(long loops);

 private:
  void sleep_until(std::int64_t deadline);

  std::int64_t delay_ns_;
  std::int64_t margin_ns_;  // how early to wake before a deadline and spin
};

// CLOCK_MONOTONIC in nanoseconds.
std::int64_t monotonic_ns();

}  // namespace armctl
