// The command table: one row per option letter, with the counter it moves,
// its guard and its motion. The option loop dispatches through it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "driver/guards.hpp"
#include "motor/bus.hpp"

namespace armctl {

enum class outcome { done, refused };

// A single motor and its direction, or (wrist) a wrist_move mode.
struct motion {
  bool wrist;
  int motor_or_mode;
  int direction;
};

struct command {
  char letter;
  outcome (*run)(const command& self, const char* arg, bus& b);
  std::size_t counter;   // index into data
  int sign;              // +1: the counter grows by the step count, -1: shrinks
  std::int64_t limit;    // position guard, inclusive: upper for +1, lower for -1
  geometry_guard guard;  // geometry guard, strict; empty for position letters
  motion how;
};

// The row for an option letter, or null when the letter has none.
const command* find_command(int letter);

// The step count of an option argument: strtol with base 0, saturated to
// the 32-bit range; text that is not a number gives 0.
std::int32_t step_count(const char* text);

}  // namespace armctl
