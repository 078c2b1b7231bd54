// The command table: one row per option letter, with the counter it moves,
// its guard and its motion. The controller, the front end and the page all
// read the arm's letters from here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace armctl {

inline constexpr int forward = 1;
inline constexpr int backward = -1;
// The wrist motors move in whole chunks of this many steps; the rest of a
// count is dropped while the counter changes by the whole count.
inline constexpr std::int32_t wrist_chunk = 10;
// A motion's port write cycles: a step is one cycle, and a motor's run of
// steps ends with one release cycle; a wrist chunk is a run on each of its
// two motors, so 22 cycles per whole chunk of ten.
inline constexpr std::int64_t release_cycles_per_run = 1;
inline constexpr std::int64_t wrist_motors = 2;
inline constexpr std::int64_t wrist_cycles_per_chunk =
    wrist_motors * (wrist_chunk + release_cycles_per_run);
// A run's own cycles around its options' motions: the shoulder's hold
// before each option, and its release once at the end. Each write cycle is
// two delays.
inline constexpr std::int64_t hold_cycles_per_option = 1;
inline constexpr std::int64_t shoulder_release_cycles = 1;
inline constexpr std::int64_t delays_per_cycle = 2;

// position: a fixed inclusive range on the counter, the report shows the
// pose before the move; geometry: the conditions that name the letter, on
// the pose reached and the way to it, the report shows the pose reached;
// report: Q, no count and no motion.
enum class command_kind { position, geometry, report };

// One motor and its direction, or (wrist) a wrist_move mode.
struct motion {
  bool wrist;
  int motor_or_mode;
  int direction;
};

struct command {
  char letter;
  command_kind kind;
  std::size_t counter;  // index into the counters
  int sign;             // +1: the counter grows by the step count, -1: shrinks
  std::int64_t limit;   // position letters: inclusive, upper for +1, lower for -1
  motion how;
};

// NOTE: counter 5 runs from -2000 to +1600. The elbow motor turns backward
// as counter 1 grows. The wrist modes: 1 W, 2 E, 3 R, 4 T.
// clang-format off
inline constexpr std::array<command, 13> commands{{
    {'G', command_kind::position, 0, +1, 800, {false, 5, forward}},
    {'B', command_kind::position, 0, -1, -800, {false, 5, backward}},
    {'S', command_kind::position, 5, +1, 1600, {false, 2, forward}},
    {'X', command_kind::position, 5, -1, -2000, {false, 2, backward}},
    {'T', command_kind::position, 3, +1, 2000, {true, 4, 0}},
    {'R', command_kind::position, 3, -1, -2000, {true, 3, 0}},
    {'H', command_kind::geometry, 4, +1, 0, {false, 6, forward}},
    {'N', command_kind::geometry, 4, -1, 0, {false, 6, backward}},
    {'V', command_kind::geometry, 1, +1, 0, {false, 4, backward}},
    {'F', command_kind::geometry, 1, -1, 0, {false, 4, forward}},
    {'E', command_kind::geometry, 2, +1, 0, {true, 2, 0}},
    {'W', command_kind::geometry, 2, -1, 0, {true, 1, 0}},
    {'Q', command_kind::report, 0, 0, 0, {false, 0, 0}},
}};
// clang-format on

// The row for an option letter, or null when the letter has none.
const command* find_command(int letter);

// Write cycles of the letter's motion of `count` steps when nothing stops
// it: none for Q.
std::int64_t motion_cycles(const command& c, std::int64_t count);

// One option of a run: its letter and, for a motion letter, its step count.
struct run_option {
  char letter;
  std::optional<std::int32_t> count;
};

// Write cycles of a whole run of options when nothing stops it: each
// option's motion with its hold cycle, then the shoulder's release. A
// letter the table does not know moves nothing.
std::int64_t run_cycles(std::span<const run_option> options);

// The step count of an option argument: strtol with base 0, saturated to
// the 32-bit range; text that is not a number gives 0.
std::int32_t step_count(const char* text);

}  // namespace armctl
