// What holds the lock, read from lock.dat and its holder mark, and the
// release of a lock that a dead run of ours left behind.
#pragma once

#include <optional>
#include <string>

#include "state/lock_file.hpp"

namespace armctl {

// lock.dat's holder mark, parsed (its pid with a bound), and its text.
struct holder {
  holder_mark mark;
  std::string text;
};
[[nodiscard]] std::optional<holder> lock_holder(const char* state_dir);

// The lock as the open GET shows it: held or not, and whether a dead run of
// this boot left it (which an operator may release); never which pid.
struct lock_state {
  std::optional<bool> held;  // nullopt: no lock file or no number in it
  std::optional<holder> dead;
};
[[nodiscard]] lock_state read_lock_state(const char* state_dir);

enum class unlock_outcome { unlocked, not_left_by_a_dead_run, held_by_a_live_run, failed };
struct unlock_report {
  unlock_outcome outcome;
  std::optional<holder> found;  // the mark the lock had, if any
};

// Releases a non-zero lock whose mark names a run of this boot that is no
// longer alive, under the kernel lock as runs take it.
[[nodiscard]] unlock_report release_dead_run(const state_dir& dir);

// The same for the lock of one run of ours, `run`, once it is reaped: its
// mark, "taking" or "held", names it.
[[nodiscard]] unlock_report release_own_dead_run(const state_dir& dir, pid_t run);

}  // namespace armctl
