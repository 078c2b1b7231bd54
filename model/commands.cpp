// Looking up a letter and reading its step count.
#include "model/commands.hpp"

#include <cstdlib>
#include <limits>

namespace armctl {

const command* find_command(int letter) {
  for (const command& c : commands)
    if (c.letter == letter) return &c;
  return nullptr;
}

std::int32_t step_count(const char* text) {
  constexpr long long lo = std::numeric_limits<std::int32_t>::min();
  constexpr long long hi = std::numeric_limits<std::int32_t>::max();
  if (text == nullptr) return 0;
  const long long value = std::strtoll(text, nullptr, 0);
  if (value < lo) return static_cast<std::int32_t>(lo);
  if (value > hi) return static_cast<std::int32_t>(hi);
  return static_cast<std::int32_t>(value);
}

std::int64_t motion_cycles(const command& c, std::int64_t count) {
  if (c.kind == command_kind::report) return 0;
  if (c.how.wrist) return count / wrist_chunk * wrist_cycles_per_chunk;
  return count + release_cycles_per_run;
}

std::int64_t run_cycles(std::span<const run_option> options) {
  std::int64_t cycles = shoulder_release_cycles;
  for (const run_option& o : options) {
    const command* c = find_command(o.letter);
    cycles += hold_cycles_per_option + (c ? motion_cycles(*c, o.count.value_or(0)) : 0);
  }
  return cycles;
}

}  // namespace armctl
