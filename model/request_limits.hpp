// The most a request to the arm may ask: the front end refuses anything
// beyond these, and the page reads them from arm-model.json to check first.
#pragma once

#include <cstddef>
#include <cstdint>

namespace armctl {

// A step count in a request is 1 to this many decimal digits, so that no
// request can ask for a move longer than the largest such number.
inline constexpr std::size_t max_count_digits = 5;
inline constexpr std::int64_t max_request_count = [] {
  std::int64_t n = 0;
  for (std::size_t i = 0; i < max_count_digits; ++i) n = n * 10 + 9;
  return n;
}();

// Names of poses and sequences: 1 to this many of letters, digits, space,
// '-' and '_'.
inline constexpr std::size_t max_name_length = 32;
// A taught sequence: its steps, the pause after each, and its repeats.
inline constexpr std::size_t max_sequence_steps = 50;
inline constexpr std::int64_t max_pause_ms = 600000;
inline constexpr std::int64_t max_repeat = 100;

}  // namespace armctl
