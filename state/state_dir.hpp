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
// The front end's files; the controller never reads them.
inline constexpr const char* latch_file_name = "stop-latch.json";
inline constexpr const char* history_file_name = "history.dat";
// The history's older half, once the newer one filled up. It ends in .dat,
// like every file of names, since the Apache snippet keeps .dat files off the web.
inline constexpr const char* history_older_name = "history-older.dat";
inline constexpr const char* poses_file_name = "poses.dat";
// Held by a go-to, back or re-reference from before it reads the counters
// until its run has ended (the watcher process shares it), so that two of
// them never plan from the same counters.
inline constexpr const char* goto_lock_name = "goto-lock.dat";
inline constexpr const char* queue_file_name = "wait-queue.dat";
inline constexpr const char* unlock_record_name = "unlock-record.log";
// The failed logins of the last minute, by address and by user name.
inline constexpr const char* login_failures_name = "login-failures.dat";
// The permission bits of every file the front end creates: the arm's account
// alone reads them (they name operators, addresses and pids).
inline constexpr unsigned front_file_mode = 0600;

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
