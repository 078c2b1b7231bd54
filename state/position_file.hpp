// The position file: the six counters as "%d " each and a final "\n", read
// back with six "%d" conversions; and the summary line echoed on stdout.
#pragma once

#include <string>
#include <string_view>

#include "model/joints.hpp"
#include "state/state_dir.hpp"

namespace armctl {

// Fills `into` from the file; false (counters untouched) when it cannot be
// opened or read.
[[nodiscard]] bool load_counters(const state_dir& dir, counters& into);

// Six conversions in index order. One that finds no number leaves its
// counter as it was; a number outside the 32-bit range fails the same way,
// and like a non-number it also fails every conversion after it.
void parse_counters(std::string_view text, counters& into);

// "0 -500 30 0 1000 12 \n"
std::string position_text(const counters& c);
// "0,-500,30,0,1000,12\n"
std::string summary_line(const counters& c);

enum class save_result {
  saved,             // the new file is in place and on disk
  saved_not_synced,  // in place, but the directory could not be synced
  failed,            // the old file is as it was
};

// The save of a run, split so that a run learns before it moves anything
// whether it will be able to save: `prepare` creates the temporary file
// (removing one a killed run left) and fills it to the longest content a
// save can write, so that neither a full disk nor a file-size limit can
// fail the save once the motors have moved. Only the lock's holder uses it.
class pending_save {
 public:
  explicit pending_save(const state_dir& dir) : dir_(dir) {}
  ~pending_save() { abandon(); }
  pending_save(const pending_save&) = delete;
  pending_save& operator=(const pending_save&) = delete;

  [[nodiscard]] bool prepare();
  // Replaces the position file atomically (write, fsync, rename, fsync of
  // the directory), keeping an existing file's permission bits; a file that
  // already holds these counters is left alone.
  [[nodiscard]] save_result commit(const counters& c);
  // Removes the temporary file, if there is one.
  void abandon();

 private:
  const state_dir& dir_;
  int fd_ = -1;
};

// prepare() and commit() in one go.
[[nodiscard]] save_result save_counters(const state_dir& dir, const counters& c);

}  // namespace armctl
