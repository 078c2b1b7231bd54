// Where a run stands by its reports and the clock: the judgement of its
// options and the cycles made since the option running reported.
#include "daemon/runs/progress.hpp"

#include <algorithm>

#include "daemon/runs/options.hpp"
#include "model/judge.hpp"

namespace armctl::front {
namespace {

struct judged_option {
  const command* c;
  std::int32_t count;
  counters before;
  bool moves;
};

// The options judged in turn from `start`, as the controller judges them.
std::vector<judged_option> judged(const move_query& q, counters start) {
  std::vector<judged_option> out;
  for (const option& o : q.options) {
    const command* c = find_command(o.letter);
    if (c == nullptr) continue;
    const std::int32_t n = o.count.value_or(0);
    const judgement j = judge(start, *c, n);
    out.push_back({c, n, start, c->kind != command_kind::report && j.allowed()});
    start = j.after;
  }
  return out;
}

std::int64_t cycles_of(const judged_option& o) {
  return hold_cycles_per_option + (o.moves ? motion_cycles(*o.c, o.count) : 0);
}

// The steps made `cycles` into a motion of `n` steps: the most whose motion
// takes no more cycles, counting only steps that take cycles of their own (a
// wrist moves in whole chunks, and the rest of a count not at all), and all
// of them once the motion is over.
std::int32_t steps_after(const command& c, std::int32_t n, std::int64_t cycles) {
  if (cycles >= motion_cycles(c, n)) return n;
  std::int32_t lo = 0, hi = n;
  while (lo < hi) {
    const std::int32_t mid = lo + (hi - lo + 1) / 2;
    if (motion_cycles(c, mid) <= cycles)
      lo = mid;
    else
      hi = mid - 1;
  }
  while (lo > 0 && motion_cycles(c, lo - 1) == motion_cycles(c, lo)) --lo;
  return lo;
}

}  // namespace

progress_point progress_at(const move_query& q, const counters& start, std::size_t running,
                           std::int64_t option_ns, std::int64_t delay_ns) {
  const std::vector<judged_option> options = judged(q, start);
  progress_point p{start, 0, shoulder_release_cycles};
  for (const judged_option& o : options) p.total_cycles += cycles_of(o);
  if (running == 0 || running > options.size()) return p;
  for (std::size_t i = 0; i + 1 < running; ++i) p.done_cycles += cycles_of(options[i]);
  const judged_option& now = options[running - 1];
  p.expected = now.before;
  p.done_cycles += hold_cycles_per_option;
  if (!now.moves) return p;
  const std::int64_t motion = motion_cycles(*now.c, now.count);
  const std::int64_t cycles =
      delay_ns > 0 ? std::max<std::int64_t>(option_ns, 0) / (delays_per_cycle * delay_ns) : motion;
  const std::int64_t moved =
      static_cast<std::int64_t>(now.c->sign) * steps_after(*now.c, now.count, cycles);
  p.expected[now.c->counter] = static_cast<std::int32_t>(now.before[now.c->counter] + moved);
  p.done_cycles += std::min(cycles, motion);
  return p;
}

}  // namespace armctl::front
