// Running the real simulated controller as a caller would.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace armctl::testing {

struct outcome_of_run {
  int status;  // exit status, or 128 + signal when a signal killed it
  std::string out, err;
};

// A controller process started in the background, its output going to files.
class controller {
 public:
  controller(const std::string& exe, const std::vector<std::string>& args,
             bool close_stdout_reader = false);
  ~controller();
  controller(const controller&) = delete;
  controller& operator=(const controller&) = delete;

  void signal(int sig) const;
  bool running() const;
  outcome_of_run wait();

 private:
  pid_t pid_ = -1;
  std::string out_path_, err_path_;
  bool waited_ = false;
};

outcome_of_run run_controller(const std::string& exe, const std::vector<std::string>& args);

}  // namespace armctl::testing
