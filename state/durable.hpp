// The one way a file in the state directory is replaced or appended to, and
// the one rule for what counts as on disk.
#pragma once

#include <string_view>
#include <sys/types.h>

#include "state/state_dir.hpp"

namespace armctl {

enum class replace_result {
  replaced,             // in place, and on disk
  replaced_not_synced,  // in place, but the directory could not be synced
  failed,               // the old file is as it was
};

// Syncs the directory, so that a rename or a new name in it survives a power
// cut. True also where the file system cannot sync a directory at all.
[[nodiscard]] bool sync_directory(const state_dir& dir);

// Finishes a replace whose content `fd` (the open temporary file `temp`)
// already holds: syncs and closes it, renames it over `name` and syncs the
// directory. `fd` is closed and `temp` gone whatever the result.
[[nodiscard]] replace_result finish_replace(const state_dir& dir, int fd, const char* temp,
                                            const char* name);

enum class sync_now : bool { no, yes };

// Replaces `name` by a file holding `text` with permission bits `mode`,
// written aside as `temp` (a left-over `temp` is removed first) and renamed,
// so that a reader sees the old file or the new one whole. With sync_now::no
// nothing is synced: the caller makes it durable later with sync_file.
[[nodiscard]] replace_result replace_file(const state_dir& dir, const char* name, const char* temp,
                                          std::string_view text, mode_t mode,
                                          sync_now sync = sync_now::yes);

// Syncs `name` and the directory that holds it.
[[nodiscard]] bool sync_file(const state_dir& dir, const char* name);

// Removes `name` (a missing one counts as removed) and syncs the directory.
[[nodiscard]] bool remove_file(const state_dir& dir, const char* name);

// Appends `text` to `fd`, open with O_APPEND, in one write, and syncs it.
[[nodiscard]] bool append_synced(int fd, std::string_view text);

// Appends `line` to `name` (created with `mode` where missing, and given it
// where it has other bits) in one write
// of the whole line, and syncs the file: concurrent appenders never
// interleave within a line.
[[nodiscard]] bool append_line(const state_dir& dir, const char* name, std::string_view line,
                               mode_t mode);

}  // namespace armctl
