// The delay points of the write cycle, timed on the monotonic clock.
#pragma once

#include <cstdint>

namespace armctl {

// kill_time(500000) is one delay point; its real length is `delay_ns`.
inline constexpr long delay_loops = 500000;

// When each delay ends. Delays end on a fixed schedule, one delay after the
// previous one, so a late wake-up does not make every later step late too
// and errors never add up over a long move. A late write is made up slowly,
// each delay at most a twelfth shorter, never by a burst of short steps the
// motor could not follow; more than ten delays behind (a long stall), the
// schedule starts afresh from the moment the steps resume. Lateness is made
// up only within one move: a pause between moves (a caller reading slowly,
// a long guard check) must not turn into fast first steps from standstill,
// where a stepper most easily misses one.
class pace_schedule {
 public:
  // The deadline of a delay of `span` ns that begins at `now`.
  std::int64_t next(std::int64_t now, std::int64_t span);
  // The next delay starts a fresh schedule.
  void restart() { on_time_ = 0; }

 private:
  std::int64_t on_time_ = 0;  // where the last delay should have ended; 0 before the first
};

// Waits out delays on the schedule above.
class pacer {
 public:
  explicit pacer(std::int64_t delay_ns);

  // Waits n/500000 of a delay; returns at once for n <= 0 or a zero delay.
  void kill_time(long loops);
  // A new move begins: its first delay is a whole one from now.
  void begin_move() { schedule_.restart(); }

 private:
  void sleep_until(std::int64_t deadline);

  std::int64_t delay_ns_;
  pace_schedule schedule_;
  std::int64_t margin_ns_;  // how early to wake before a deadline and spin
};

// CLOCK_MONOTONIC in nanoseconds.
std::int64_t monotonic_ns();

}  // namespace armctl
