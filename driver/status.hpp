// The rule that decides the status a run ends with: the last failure wins,
// and a termination signal overrides them all.
#pragma once

#include "model/status.hpp"

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
