// Where a run of the controller started: the position file read while that
// run holds the lock and before it saves, so that no other run can have
// moved the arm between the counters read and the run's first step.
#pragma once

#include <sys/types.h>

#include <optional>

#include "model/joints.hpp"

namespace armctl {

// The counters the run `run` loaded, or nothing when this moment cannot be
// shown to fall between its load and its save. It can when the lock's mark
// names the run as holder before and after, and its save's temporary file
// (created once the counters are loaded, renamed away by the save) is the
// same file before and after the read.
[[nodiscard]] std::optional<counters> counters_under_hold(const char* state_dir, pid_t run);

}  // namespace armctl
