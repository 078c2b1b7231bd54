// The history's two files: lines are appended to history.dat, which, once it
// holds its share of the bound, becomes history-older.dat (replacing the older
// one) and starts anew; so at most twice the share is ever kept, and an
// append never rewrites what is there.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "daemon/stores/front_files.hpp"
#include "state/state_dir.hpp"

namespace armctl {

struct history_bounds {
  std::size_t per_file;  // lines
  std::size_t bytes;     // what a file of per_file lines can reach
};

// Appends `line` (a whole line, newline included) under history.dat's lock,
// waiting at most `wait`; history.dat is moved aside first when it already
// holds its lines. After a torn last line the new one starts on a line of its
// own. True once the line is on disk.
[[nodiscard]] bool append_history_line(const state_dir& dir, std::string_view line,
                                       history_bounds bounds, std::chrono::milliseconds wait);

// Rewrites the whole lines of history.dat (oldest first) in place of an
// append: true when it changed one of them, which then replaces the file.
using history_fold = std::function<bool(std::vector<std::string>& lines)>;
// As append_history_line, but under the same lock `fold` may take the line
// into one that is there instead (the file is then replaced, written aside
// and renamed); the line is appended when it does not.
[[nodiscard]] bool add_history_line(const state_dir& dir, std::string_view line,
                                    history_bounds bounds, std::chrono::milliseconds wait,
                                    const history_fold& fold);

// The whole lines of one of the two files (history_file_name or
// history_older_name), oldest first, reading at most `limit` bytes; a line
// without its newline (an append under way, or torn) is left out.
[[nodiscard]] std::vector<std::string> history_lines(const state_dir& dir, const char* name,
                                                     std::size_t limit);

}  // namespace armctl
