// The jog's count: two binary searches, one over the motion bound and one
// over the judge, which allows every count up to the first one it refuses
// (a geometry guard checks each pose on the way, a range the end).
#include "daemon/runs/jog.hpp"

#include "model/joints.hpp"
#include "model/request_limits.hpp"

namespace armctl::front {
namespace {

std::int32_t jog_step_of(const command& c) { return c.how.wrist ? wrist_chunk : 1; }

// The largest multiple of `step` in [0, hi] for which `fits` holds, when it
// holds up to some count and not beyond.
template <typename Fits>
std::int32_t largest_fitting(std::int32_t hi, std::int32_t step, const Fits& fits) {
  std::int32_t lo = 0;
  hi /= step;
  while (lo < hi) {
    const std::int32_t mid = lo + (hi - lo + 1) / 2;
    if (fits(mid * step))
      lo = mid;
    else
      hi = mid - 1;
  }
  return lo * step;
}

}  // namespace

const command* jog_letter(std::size_t counter, int sign) {
  if (counter >= joint_count) return nullptr;
  return find_command(sign > 0 ? joints[counter].grow : joints[counter].shrink);
}

jog_reach jog_reach_from(const counters& start, const command& letter,
                         std::chrono::nanoseconds bound, std::int64_t delay_ns) {
  const std::int32_t step = jog_step_of(letter);
  const auto within_bound = [&](std::int32_t n) {
    return motion_time(move_query{{{letter.letter, n}}}, delay_ns) <= bound;
  };
  const auto allowed = [&](std::int32_t n) { return judge(start, letter, n).allowed(); };
  const std::int32_t most =
      largest_fitting(static_cast<std::int32_t>(max_request_count), step, within_bound);
  const std::int32_t n = largest_fitting(most, step, allowed);
  jog_reach r{&letter, n, std::nullopt};
  if (n == 0) r.refusal = judge(start, letter, step).refusal;
  return r;
}

}  // namespace armctl::front
