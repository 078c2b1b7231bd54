// The directory that holds the lock file and the position file. Every state
// file is opened relative to it, never through a symbolic link, and only if it
// is a regular file, so that a planted link, FIFO or device cannot redirect or
// block the run.
#pragma once

#include <string_view>

namespace armctl {

inline constexpr const char* lock_file_name = "lock.dat";
inline constexpr const char* position_file_name = "robot_position.dat";

class state_dir {
 public:
  explicit state_dir(const char* path);
  ~state_dir();
  state_dir(const state_dir&) = delete;
  state_dir& operator=(const state_dir&) = delete;

  int fd() const { return fd_; }

  // Opens `name` with `flags` (O_RDONLY, O_RDWR, ... plus O_CREAT); returns
  // -1 unless the result is a regular file with one link. New files get `mode`.
  int open_regular(const char* name, int flags, unsigned mode = 0666) const;

 private:
  int fd_;
};

// Reads the whole of a small open file, at most `limit` bytes; false on a read error.
bool read_all(int fd, std::string& out, std::size_t limit);
// Writes all of `text` at the file's offset; false on any error or short write.
bool write_all(int fd, std::string_view text);

}  // namespace armctl
