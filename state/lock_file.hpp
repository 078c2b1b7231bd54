// The lock file that serialises runs: "1\n" while a run holds it, "0\n" when
// it is free. Other programs may hold it by writing 1. Runs of this program
// also hold a kernel write lock on it (an open-file-description lock, which
// needs the file open for writing) from the wait to the release, so that the
// wait and the take are one atomic step and a waiting run goes on the moment
// the holder releases.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "state/state_dir.hpp"

namespace armctl {

// What a waiting run makes of a non-zero content and the holder's mark.
enum class stale_verdict { honour, take_over };

// How the run that left a "1" ended, as far as its mark and the file's
// modification time tell; `unknown` when the "1" may be another program's.
enum class stale_cause {
  unknown,
  killed_holding,
  killed_taking,
  boot_ended_holding,
  boot_ended_taking
};

// The mark a run of this program puts on the lock file while it holds it,
// as the extended attribute `user.armctl.holder`:
//   "<pid> taking <boot id> <s>.<ns> <start>"          before its "1" is written
//   "<pid> held <boot id> <mtime s>.<mtime ns> <start>" once the "1" is on disk
// <start> is the run's start time (field 22 of /proc/<pid>/stat, in clock
// ticks since boot), so that another process given the same pid later is
// not taken for the run; marks of the releases before it have none. The
// taking mark's <s>.<ns> is the wall-clock time at which it was set; marks
// of the releases before it have none either.
// The mark is durable before the "1" is written and comes off only after the
// "0" is durable, so that a crash at any instant leaves the lock free or
// marked. The mtime ties a "held" mark to the one write of "1" it describes:
// any later write, such as another program's "1" after a run died between its
// "0" and removing its mark, changes it. The taking mark's time bounds when
// the "1" that its run writes right after syncing it can be dated.
inline constexpr const char* holder_mark_name = "user.armctl.holder";

// A time as file timestamps give it: seconds and nanoseconds of CLOCK_REALTIME.
struct wall_time {
  long long s = 0, ns = 0;
};

struct holder_mark {
  pid_t pid = 0;
  bool held = false;  // false: "taking"
  std::string boot;
  long long mtime_s = 0, mtime_ns = 0;      // held: the modification time of its "1"
  std::optional<unsigned long long> start;  // nothing: an older release's mark
  std::optional<wall_time> marked_at;       // taking: nothing in an older release's mark
};
[[nodiscard]] bool parse_mark(const std::string& text, holder_mark& out);

// The start time (field 22) in the text of a /proc/<pid>/stat file, whose
// second field (the command name, in parentheses) may hold spaces and
// parentheses itself; nothing when the text is not such a line.
[[nodiscard]] std::optional<unsigned long long> start_time_in_stat(std::string_view stat);
// The start time of process `pid`; nothing when it cannot be read (no such
// process, or /proc hides it).
[[nodiscard]] std::optional<unsigned long long> process_start_time(pid_t pid);

// This boot's id (/proc/sys/kernel/random/boot_id), empty when unreadable.
const std::string& boot_id();

// Judges a non-zero content found while holding the kernel lock, so that its
// writer is not a live run of ours. A "held" mark whose mtime is the file's
// own: that run's "1", take it over. A "taking" mark from an earlier boot:
// the machine lost power while that run took the lock, and nothing of the
// last boot is alive. A "taking" mark of this boot whose time comes just
// before the file's mtime: the "1" its run wrote right after syncing the
// mark, before it could claim it (it was killed before it loaded the counters
// or touched the port). Anything else (no mark, a later write, a taking mark
// without its time) may be another program's "1" and is waited out.
stale_cause judge_cause(const holder_mark* mark, wall_time file_mtime,
                        const std::string& this_boot);
stale_verdict judge_stale(const holder_mark* mark, long long file_mtime_s, long long file_mtime_ns,
                          const std::string& this_boot);
// How a takeover's line on standard error names the cause.
const char* cause_words(stale_cause cause);

// A dead run's lock that a wait took over.
struct takeover {
  pid_t pid;
  stale_cause cause;
};

class lock_file {
 public:
  // `sync` makes the file durable (fsync; tests put a failing one in).
  explicit lock_file(const state_dir& dir, std::chrono::nanoseconds poll = std::chrono::seconds(1),
                     int (*sync)(int) = ::fsync);
  ~lock_file();
  lock_file(const lock_file&) = delete;
  lock_file& operator=(const lock_file&) = delete;

  // Holds the kernel lock and returns true once the file reads 0, holds no
  // integer, or holds a 1 left by a dead run of ours. While another program
  // holds the lock by its content, polls once per `poll`. False at once when
  // the lock cannot be held: the file cannot be opened for writing (or
  // created), or a reader squats on it with a read lock.
  [[nodiscard]] bool wait();
  // Writes "1\n" under the mark; false (and the lock left free) when the
  // write fails or cannot be made durable.
  [[nodiscard]] bool take();
  // Writes "0\n", removes the mark once the "0" is durable, and lets the
  // next run in; false when the write or its sync fails.
  [[nodiscard]] bool release();
  // The dead run's lock that the last wait took over, if it did.
  const std::optional<takeover>& took_over() const { return took_over_; }

 private:
  bool hold_current_file();
  bool still_current() const;
  bool reads_free();
  bool left_by_a_dead_run();
  bool write_content(const char* text) const;
  bool durable() const;
  [[nodiscard]] bool write_zero();
  void set_mark(const std::string& value);
  void close_file();

  const state_dir& dir_;
  std::chrono::nanoseconds poll_;
  int (*sync_)(int);
  int fd_ = -1;
  bool marks_ = true;  // false once the file system refused an extended attribute
  std::optional<takeover> took_over_;
};

// Reads a lock file's content as one integer, like "%d": free when it is 0
// or holds no integer. Content longer than the bound that might still be
// reading digits counts as held.
bool content_reads_free(std::string_view text, bool truncated);

}  // namespace armctl
