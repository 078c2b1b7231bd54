// The estimate reads the arm model's command table for a letter's kind, so
// that it never decides by rules of its own which letters move the wrist.
#include "cgi/runs/estimate.hpp"

#include <cstdlib>

#include "model/commands.hpp"

namespace armctl::cgi {
namespace {

constexpr std::int64_t wrist_cycles_per_chunk = 2 * (std::int64_t{wrist_chunk} + 1);
// lock_shoulder before each option, unlock_shoulder once at the end.
constexpr std::int64_t hold_cycles_per_option = 1;
constexpr std::int64_t release_cycles_per_run = 1;
constexpr std::int64_t delays_per_cycle = 2;

}  // namespace

std::int64_t motion_cycles(char letter, std::int64_t count) {
  const command* c = find_command(letter);
  if (c == nullptr || c->kind == command_kind::report) return 0;  // Q: no motor
  if (c->how.wrist) return count / wrist_chunk * wrist_cycles_per_chunk;
  return count + 1;
}

std::chrono::nanoseconds motion_time(const move_query& q, std::int64_t delay_ns) {
  std::int64_t cycles = release_cycles_per_run;
  for (const option& o : q.options)
    cycles += hold_cycles_per_option +
              motion_cycles(o.letter, o.count ? std::strtoll(o.count->c_str(), nullptr, 10) : 0);
  return std::chrono::nanoseconds(cycles * delays_per_cycle * delay_ns);
}

}  // namespace armctl::cgi
