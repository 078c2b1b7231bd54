// The bounded queue of requests waiting for the lock. Each waiting request
// holds one place: an open-file-description write lock on one record of a
// file in the state directory, which names the controller run waiting there.
// The kernel frees a place when every process holding it has ended, so a
// killed request never keeps one; STOP reads the taken places to end the
// runs still waiting.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <vector>

#include "state/state_dir.hpp"

namespace armctl {

// The most places a queue file can have, whatever the settings say.
inline constexpr std::size_t max_places = 256;

class queue_place {
 public:
  // Takes a free place among the first `places`; nullopt when all are taken
  // or the queue file cannot be used.
  [[nodiscard]] static std::optional<queue_place> take(const state_dir& dir, std::size_t places);
  queue_place(queue_place&& other) noexcept;
  queue_place& operator=(queue_place&&) = delete;
  queue_place(const queue_place&) = delete;
  queue_place& operator=(const queue_place&) = delete;
  // Closes this process's hold only: a fork sharing the place keeps it.
  ~queue_place();

  // Names the run waiting in this place; false when it could not be written.
  [[nodiscard]] bool record(pid_t run) const;
  // Gives the place up for every process that shares it.
  void leave() const;

 private:
  queue_place(int fd, std::size_t index) : fd_(fd), index_(index) {}
  int fd_;
  std::size_t index_;
};

struct waiting_run {
  std::size_t place;
  pid_t pid;
};

// The runs named in places that are taken now.
std::vector<waiting_run> waiting_runs(const state_dir& dir);
// Whether that place is still taken and still names that run.
bool still_waiting(const state_dir& dir, const waiting_run& r);

}  // namespace armctl
