// Turning a step count into write cycles: one motor at a time, or the two
// wrist motors together in alternating chunks of ten steps.
#pragma once

#include <cstdint>

#include "model/commands.hpp"
#include "motor/bus.hpp"

namespace armctl {

// Steps motor `motor_number` (1 to 6) `steps` times, forward when `direction`
// is exactly 1 and backward otherwise, starting from phase index 0, then
// releases it. Stops early, before the next step, once the bus reports a
// stop request. Returns the number of steps made (0 for steps <= 0).
std::int32_t move(bus& b, int motor_number, int direction, std::int32_t steps);

// Drives wrist motors 1 and 3 per `mode` (1: W, 2: E, 3: R, 4: T) in steps/10
// chunks, each a ten-step move of motor 1 then one of motor 3; the remainder
// is dropped. A stop request ends it after the current pair of chunks.
// Returns the number of steps each motor made (10 per completed pair).
std::int32_t wrist_move(bus& b, int mode, std::int32_t steps);

}  // namespace armctl
