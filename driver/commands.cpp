// The twelve guarded motion letters and the pose report.
#include "driver/commands.hpp"

#include <array>
#include <cstdlib>
#include <limits>

#include "geometry/segment.hpp"
#include "motor/stepping.hpp"
#include "state/counters.hpp"

namespace armctl {
namespace {

constexpr std::int64_t int32_lo = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t int32_hi = std::numeric_limits<std::int32_t>::max();

// Runs the motion; returns how far the counter moved: the full count unless a
// stop request cut the motion short (for the wrist, whole chunk pairs only).
std::int32_t drive(const motion& how, bus& b, std::int32_t n) {
  if (!how.wrist) return move(b, how.motor_or_mode, how.direction, n);
  const std::int32_t made = wrist_move(b, how.motor_or_mode, n);
  return made == n / wrist_chunk * wrist_chunk ? n : made;
}

std::int64_t moved(const command& c, std::int64_t steps) {
  return static_cast<std::int64_t>(data[c.counter]) + c.sign * steps;
}

void apply(const command& c, std::int32_t steps) {
  data[c.counter] = static_cast<std::int32_t>(moved(c, steps));
}

bool within_position_limit(const command& c, std::int64_t target) {
  return c.sign > 0 ? target <= c.limit : target >= c.limit;
}

// Counters 0, 3 and 5 do not enter the geometry: the report shows the pose
// before the move, and the guard is a fixed range on the counter.
outcome run_position(const command& c, const char* arg, bus& b) {
  const std::int32_t n = step_count(arg);
  calc();
  if (n < 0 || !within_position_limit(c, moved(c, n))) return outcome::refused;
  apply(c, drive(c.how, b, n));
  return outcome::done;
}

// Counters 4, 1 and 2 move the arm in its plane: the report shows the pose
// the move would reach, and the guard judges that pose and the way to it.
outcome run_geometry(const command& c, const char* arg, bus& b) {
  const std::int32_t n = step_count(arg);
  const std::int64_t target = moved(c, n);
  const pose end = pose_with(data, c.counter, target);
  report(end);
  if (n < 0 || target < int32_lo || target > int32_hi || !allows(c.guard, end) ||
      !path_allows(c.guard, data, c.counter, target))
    return outcome::refused;
  apply(c, drive(c.how, b, n));
  return outcome::done;
}

outcome run_report(const command&, const char*, bus&) {
  calc();
  return outcome::done;
}

constexpr geometry_guard no_guard{};
constexpr std::int64_t no_limit = 0;
constexpr motion no_motion{false, 0, 0};

constexpr motion single(int motor_number, int direction) {
  return {false, motor_number, direction};
}
constexpr motion wrist_pair(int mode) { return {true, mode, 0}; }

// NOTE: the limits are not symmetric: counter 5 runs from -2000 to +1600, and
// the lowest tip height is -10 for F but -10.5 for N and W. The elbow motor
// turns backward as counter 1 grows.
// clang-format off
constexpr std::array<command, 13> commands{{
    {'G', run_position, 0, +1, 800, no_guard, single(5, forward)},
    {'B', run_position, 0, -1, -800, no_guard, single(5, backward)},
    {'S', run_position, 5, +1, 1600, no_guard, single(2, forward)},
    {'X', run_position, 5, -1, -2000, no_guard, single(2, backward)},
    {'T', run_position, 3, +1, 2000, no_guard, wrist_pair(4)},
    {'R', run_position, 3, -1, -2000, no_guard, wrist_pair(3)},
    {'H', run_geometry, 4, +1, no_limit, {height_below_10}, single(6, forward)},
    {'N', run_geometry, 4, -1, no_limit,
     {height_above_minus_10_5, shoulder_angle_above_minus_40, elbow_bend_under_50}, single(6, backward)},
    {'V', run_geometry, 1, +1, no_limit, {height_below_10, elbow_bend_under_50}, single(4, backward)},
    {'F', run_geometry, 1, -1, no_limit, {height_above_minus_10, wrist_bend_under_80},
     single(4, forward)},
    {'E', run_geometry, 2, +1, no_limit, {height_below_10}, wrist_pair(2)},
    {'W', run_geometry, 2, -1, no_limit, {height_above_minus_10_5}, wrist_pair(1)},
    {'Q', run_report, 0, 0, no_limit, no_guard, no_motion},
}};
// clang-format on

}  // namespace

const command* find_command(int letter) {
  for (const command& c : commands)
    if (c.letter == letter) return &c;
  return nullptr;
}

std::int32_t step_count(const char* text) {
  if (text == nullptr) return 0;
  const long long value = std::strtoll(text, nullptr, 0);
  if (value < int32_lo) return static_cast<std::int32_t>(int32_lo);
  if (value > int32_hi) return static_cast<std::int32_t>(int32_hi);
  return static_cast<std::int32_t>(value);
}

}  // namespace armctl
