// The run's exit statuses, all in one place, and the rule that decides the
// one a run ends with: the last failure wins, and a termination signal
// overrides them all.
#pragma once

namespace armctl::exit_code {

inline constexpr int ok = 0;
inline constexpr int port_access_failed = 1;  // ioperm grant or drop; the run ends at once
inline constexpr int lock_take_failed = 15;
inline constexpr int position_load_failed = 16;
inline constexpr int position_save_failed = 17;
inline constexpr int lock_release_failed = 18;
inline constexpr int move_refused = 88;
inline constexpr int signal_base = 128;  // plus the signal number

}  // namespace armctl::exit_code

namespace armctl {

class run_status {
 public:
  void fail(int code) { code_ = code; }
  int code() const { return code_; }
  // The exit status: 128 + the signal number when a termination signal
  // stopped the run, otherwise the last failure (0 when none).
  int final_code(int signal_number) const {
    return signal_number != 0 ? exit_code::signal_base + signal_number : code_;
  }

 private:
  int code_ = exit_code::ok;
};

}  // namespace armctl
