// Re-referencing the arm: the counters set to where the arm really is,
// under the controller's own lock and saved as a run saves them, without a
// byte to the port (the controller is never started).
#pragma once

#include <chrono>
#include <optional>

#include "model/joints.hpp"

namespace armctl::front {

enum class reference_outcome {
  done,
  busy,           // the lock stayed held for the whole wait
  lock_unusable,  // the lock file cannot be held: not a plain file of its own, or read-locked
  not_saved,      // the position file could not be replaced; it is as it was
  not_released    // saved, but the lock file could not be written free
};

struct reference_report {
  reference_outcome outcome;
  std::optional<counters> before;  // as read under the lock; nothing when unreadable
};

// Waits at most `wait` for the lock, takes it, reads the counters, saves
// `now`, and releases it: all in a child process, so that the wait can be
// ended (as a waiting run is) without leaving this process.
reference_report rereference(const char* state_dir, const counters& now,
                             std::chrono::milliseconds wait);

}  // namespace armctl::front
