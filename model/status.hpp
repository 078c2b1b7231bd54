// The run's exit statuses and what each means: the controller exits with
// them, the front end explains them, the page shows them.
#pragma once

#include <array>
#include <string>

namespace armctl {

namespace exit_code {
inline constexpr int ok = 0;
inline constexpr int port_access_failed = 1;  // ioperm grant or drop; the run ends at once
inline constexpr int lock_take_failed = 15;
inline constexpr int position_load_failed = 16;
inline constexpr int position_save_failed = 17;
inline constexpr int lock_release_failed = 18;
inline constexpr int move_refused = 88;
inline constexpr int signal_base = 128;  // plus the signal number
}  // namespace exit_code

struct status_meaning {
  int code;
  const char* name;
  const char* meaning;
};

// clang-format off
inline constexpr std::array<status_meaning, 8> statuses{{
    {exit_code::ok, "ok", "done"},
    {exit_code::port_access_failed, "port_access_failed",
     "port access could not be granted (nothing moved) or dropped (the counters were saved)"},
    {exit_code::lock_take_failed, "lock_take_failed",
     "the lock could not be held; nothing moved"},
    {exit_code::position_load_failed, "position_load_failed",
     "the position file could not be read; the counters started at 0"},
    {exit_code::position_save_failed, "position_save_failed", "the position file could not be saved"},
    {exit_code::lock_release_failed, "lock_release_failed",
     "the lock file could not be written when releasing the lock"},
    {exit_code::move_refused, "move_refused", "a move was refused by its guard"},
    // What the front end's STOP makes of a run; other signals: signal_base + n.
    {exit_code::signal_base + 15, "stopped", "stopped (SIGTERM): the counters hold the steps made"},
}};
// clang-format on

// The meaning of an exit status, also for one outside the table.
std::string meaning_of(int status);

}  // namespace armctl
