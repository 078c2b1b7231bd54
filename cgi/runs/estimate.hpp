// How long a move request keeps the motors busy, from its counts and the
// controller's built delay, before anything is started.
#pragma once

#include <chrono>
#include <cstdint>

#include "cgi/http/request.hpp"

namespace armctl::cgi {

// lock_shoulder before each option, unlock_shoulder once at the end; each
// write cycle is two delays.
inline constexpr std::int64_t hold_cycles_per_option = 1;
inline constexpr std::int64_t shoulder_release_cycles = 1;
inline constexpr std::int64_t delays_per_cycle = 2;

// Write cycles of one option's motion, as the arm model counts them; none
// for a letter the model does not know.
std::int64_t motion_cycles(char letter, std::int64_t count);

// The whole run: each option's motion, plus the shoulder's hold cycle that
// every option latches first and the release cycle at the end. Each cycle
// is two delays of `delay_ns`.
std::chrono::nanoseconds motion_time(const move_query& q, std::int64_t delay_ns);

// A time as the answers give it: seconds, as a number.
inline double in_seconds(std::chrono::nanoseconds t) {
  return static_cast<double>(t.count()) * 1e-9;
}

}  // namespace armctl::cgi
