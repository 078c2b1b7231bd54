// How far a held jog may go: one letter of a joint, and the furthest count
// from the counters now that the guards allow and the motion bound lets
// run unwatched. The run is ended sooner when the operator lets go.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "daemon/runs/options.hpp"
#include "model/judge.hpp"

namespace armctl::front {

struct jog_reach {
  const command* letter;
  std::int32_t count;             // 0: the guards allow no step (see `refusal`)
  std::optional<breach> refusal;  // the first step's breach, when count is 0
};

// The letter that moves counter `counter` in direction `sign` (+1 grows it).
const command* jog_letter(std::size_t counter, int sign);

// The largest count, in the letter's whole steps (wrist letters move whole
// chunks), that the judge allows from `start` and whose motion fits `bound`.
jog_reach jog_reach_from(const counters& start, const command& letter,
                         std::chrono::nanoseconds bound, std::int64_t delay_ns);

}  // namespace armctl::front
