// The lock file that serialises runs: "1\n" while a run holds it, "0\n" when
// it is free. Other programs may hold it by writing 1; runs of this program
// also hold an flock on it from the wait to the release, so that the wait and
// the take are one atomic step and a waiting run goes on the moment the
// holder releases.
#pragma once

#include <chrono>

#include "state/state_dir.hpp"

namespace armctl {

class lock_file {
 public:
  explicit lock_file(const state_dir& dir, std::chrono::nanoseconds poll = std::chrono::seconds(1));
  ~lock_file();
  lock_file(const lock_file&) = delete;
  lock_file& operator=(const lock_file&) = delete;

  // Returns once the file reads 0, holds no integer, cannot be opened, or
  // holds a 1 left by a run of this program that died without releasing it;
  // holds the flock when there is a file to hold it on. While another
  // program holds the lock by its content, polls once per `poll`.
  void wait();
  // Writes "1\n"; false when the file cannot be opened or written.
  bool take();
  // Writes "0\n" and lets the next run in; false when that write fails.
  bool release();

 private:
  void lock_current_file();
  bool still_current() const;
  bool reads_free() const;
  bool left_by_a_dead_run() const;
  bool put(const char* text);
  void lock_directory();
  void close_file();

  const state_dir& dir_;
  std::chrono::nanoseconds poll_;
  int fd_ = -1;
  int dir_lock_fd_ = -1;  // held instead when the lock file cannot be opened
  bool writable_ = false;
};

}  // namespace armctl
