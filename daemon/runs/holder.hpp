// The operator's release of a lock that a dead run of ours left behind, and
// the record of who released it.
#pragma once

#include <string>

#include "daemon/runs/lock_holder.hpp"

namespace armctl::front {

// release_dead_run, and once the lock is free a line naming `by`, when and
// the mark appended to the unlock record in the state directory.
[[nodiscard]] unlock_report unlock_dead_run(const char* state_dir, const std::string& by);

}  // namespace armctl::front
