// The letters of the option loop: the model judges, the motors follow.
#include "driver/commands.hpp"

#include <cstdio>

#include "model/judge.hpp"
#include "motor/stepping.hpp"

namespace armctl {
namespace {

// Runs the motion; returns how far the counter moved: the full count unless a
// stop request cut the motion short (for the wrist, whole chunk pairs only).
std::int32_t drive(const motion& how, bus& b, std::int32_t n) {
  if (!how.wrist) return move(b, how.motor_or_mode, how.direction, n);
  const std::int32_t made = wrist_move(b, how.motor_or_mode, n);
  return made == n / wrist_chunk * wrist_chunk ? n : made;
}

}  // namespace

void report(arm& a, const pose& p) {
  a.base = p.base;
  a.shoulder = p.shoulder;
  a.elbow = p.elbow;
  a.wrist = p.wrist;
  a.total = p.total;
  for (const segment* s : {&a.base, &a.shoulder, &a.elbow, &a.wrist, &a.total})
    std::printf("%s\n", report_line(*s).c_str());
}

void calc(arm& a) { report(a, calc(a.data)); }

outcome run_command(arm& a, const command& c, const char* arg, bus* b) {
  const std::int32_t n = step_count(arg);
  const judgement j = judge(a.data, c, n);
  report(a, j.report);
  if (!j.allowed()) return outcome::refused;
  if (c.kind == command_kind::report) return outcome::done;
  const std::int32_t made = b != nullptr ? drive(c.how, *b, n) : n;
  a.data[c.counter] = static_cast<std::int32_t>(a.data[c.counter] + c.sign * made);
  return outcome::done;
}

}  // namespace armctl
