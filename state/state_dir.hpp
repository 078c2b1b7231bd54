// The directory that holds the lock file and the position file. It is
// reached from / without following a symbolic link in any component, and
// every state file is opened relative to it, never through a link, and only
// if it is a regular file, so that a planted link, FIFO or device cannot
// redirect or block the run.
#pragma once

#include <string>
#include <string_view>
#include <sys/types.h>

namespace armctl {

inline constexpr const char* lock_file_name = "lock.dat";
inline constexpr const char* position_file_name = "robot_position.dat";
// The save's temporary file: one fixed name, used only by the lock's holder.
inline constexpr const char* position_temp_name = ".robot_position.dat.tmp";

class state_dir {
 public:
  // `path` must be absolute; a relative one is walked from the current directory.
  explicit state_dir(const char* path);
  ~state_dir();
  state_dir(const state_dir&) = delete;
  state_dir& operator=(const state_dir&) = delete;

  int fd() const { return fd_; }
  bool usable() const { return fd_ >= 0; }
  // Gives the directory up: every later file operation in it fails.
  void refuse();
  // The directory's owner; false when it is not open.
  bool owner(uid_t& uid, gid_t& gid) const;

  // Opens `name` with `flags` (O_RDONLY, O_RDWR, ... plus O_CREAT); returns
  // -1 unless the result is a regular file with one link. New files get `mode`.
  int open_regular(const char* name, int flags, unsigned mode = 0666) const;

 private:
  int fd_;
};

// Opens the directory at `path` one component at a time, refusing a symbolic
// link anywhere on the way; -1 (errno set) on failure.
int open_dir_nofollow(const char* path);

// Reads the whole of a small open file, at most `limit` bytes; false on a read error.
[[nodiscard]] bool read_all(int fd, std::string& out, std::size_t limit);
// Writes all of `text` at the file's offset; false on any error or short write.
[[nodiscard]] bool write_all(int fd, std::string_view text);

}  // namespace armctl
