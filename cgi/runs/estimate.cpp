// The estimate takes each letter's write cycles from the arm model, so that
// it never counts the motors' cycles by rules of its own.
#include "cgi/runs/estimate.hpp"

#include <cstdlib>

#include "model/commands.hpp"

namespace armctl::cgi {
std::int64_t motion_cycles(char letter, std::int64_t count) {
  const command* c = find_command(letter);
  return c == nullptr ? 0 : armctl::motion_cycles(*c, count);
}

std::chrono::nanoseconds motion_time(const move_query& q, std::int64_t delay_ns) {
  std::int64_t cycles = shoulder_release_cycles;
  for (const option& o : q.options)
    cycles += hold_cycles_per_option +
              motion_cycles(o.letter, o.count ? std::strtoll(o.count->c_str(), nullptr, 10) : 0);
  return std::chrono::nanoseconds(cycles * delays_per_cycle * delay_ns);
}

}  // namespace armctl::cgi
