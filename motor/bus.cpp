// The write cycle and the shoulder's single-cycle operations.
#include "motor/bus.hpp"

namespace armctl {

bus::bus(port& p, std::int64_t delay_ns, const volatile std::sig_atomic_t* stop)
    : port_(p), pacer_(delay_ns), stop_(stop) {}

void bus::cycle(std::uint8_t pattern) {
  port_.write(pattern);
  pacer_.kill_time(delay_loops);
  port_.write(static_cast<std::uint8_t>(pattern | strobe));
  pacer_.kill_time(delay_loops);
}

void lock_shoulder(bus& b) { b.cycle(shoulder_hold); }

void unlock_shoulder(bus& b) { b.cycle(release_pattern(shoulder_motor)); }

}  // namespace armctl
