// The state directory as the daemon sees it change: the controller's lock
// and position files written by runs of ours or a person's, the latch, the
// poses and the history. Each change counts as one of the arm's, so that
// the streams send the state within a few milliseconds.
#pragma once

#include <atomic>
#include <thread>

#include "daemon/runs/arm.hpp"

namespace armctl::front {

class state_watch {
 public:
  state_watch(const char* state_dir, arm& a);
  ~state_watch();
  state_watch(const state_watch&) = delete;
  state_watch& operator=(const state_watch&) = delete;

 private:
  void run();

  arm& arm_;
  int inotify_ = -1;
  int stop_[2] = {-1, -1};
  std::thread thread_;
};

}  // namespace armctl::front
