// The delay points of the write cycle, timed on the monotonic clock.
#pragma once

#include <cstdint>

namespace armctl {

// kill_time(500000) is one delay point; its real length is `delay_ns`.
inline constexpr long delay_loops = 500000;

// Each delay ends at a deadline one delay after the previous deadline, so a
// late wake-up never makes the next step late too and errors never add up
// over a long move. A write that is more than half a delay late starts the
// schedule afresh instead of catching up with a burst of short steps the
// motor could not follow.
class pacer {
 public:
  explicit pacer(std::int64_t delay_ns);

  // Waits n/500000 of a delay; returns at once for n <= 0 or a zero delay.
  void kill_time(long loops);

 private:
  void sleep_until(std::int64_t deadline);

  std::int64_t delay_ns_;
  std::int64_t due_ = 0;          // deadline of the last delay; 0 before the first
  std::int64_t margin_ns_;        // how early to wake before a deadline and spin
};

// CLOCK_MONOTONIC in nanoseconds.
std::int64_t monotonic_ns();

}  // namespace armctl
