// Single-motor and wrist-pair stepping.
#include "motor/stepping.hpp"

#include <array>

namespace armctl {
namespace {

struct wrist_directions {
  int motor1;
  int motor3;
};
// Opposite directions turn the wrist joint (counter 2), equal ones rotate
// the hand (counter 3).
constexpr std::array<wrist_directions, 4> wrist_modes{{
    {forward, backward},   // 1: W
    {backward, forward},   // 2: E
    {forward, forward},    // 3: R
    {backward, backward},  // 4: T
}};

int next_phase(int phase, int direction) {
  return direction == forward ? (phase + 1) % 4 : (phase + 3) % 4;
}

std::int32_t run_steps(bus& b, int motor_number, int direction, std::int32_t steps,
                       bool stoppable) {
  int phase = 0;
  std::int32_t made = 0;
  for (; made < steps && !(stoppable && b.stop_requested()); ++made) {
    phase = next_phase(phase, direction);
    b.cycle(step_pattern(motor_number, phase));
  }
  b.cycle(release_pattern(motor_number));
  return made;
}

}  // namespace

std::int32_t move(bus& b, int motor_number, int direction, std::int32_t steps) {
  return run_steps(b, motor_number, direction, steps, true);
}

std::int32_t wrist_move(bus& b, int mode, std::int32_t steps) {
  if (mode < 1 || mode > 4) return 0;
  const wrist_directions d = wrist_modes[static_cast<std::size_t>(mode - 1)];
  const std::int32_t chunks = steps / wrist_chunk;
  std::int32_t done = 0;
  for (; done < chunks && !b.stop_requested(); ++done) {
    run_steps(b, 1, d.motor1, wrist_chunk, false);
    run_steps(b, 3, d.motor3, wrist_chunk, false);
  }
  return done * wrist_chunk;
}

}  // namespace armctl
