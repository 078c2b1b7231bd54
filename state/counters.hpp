// The six joint step counters: loaded at the start of a run, changed only by
// the motion commands, saved at the end.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace armctl {

inline constexpr std::size_t joint_count = 6;
using counters = std::array<std::int32_t, joint_count>;

// The arm's counters for the current run (index 0 to 5).
extern counters data;

}  // namespace armctl
