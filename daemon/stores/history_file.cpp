// Appending to and turning over the history's files.
#include "daemon/stores/history_file.hpp"

#include <algorithm>
#include <cstdio>

#include "daemon/stores/locked_file.hpp"
#include "state/durable.hpp"

namespace armctl {
namespace {

std::vector<std::string> whole_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t from = 0;
  for (std::size_t nl; (nl = text.find('\n', from)) != std::string::npos; from = nl + 1)
    if (nl > from) lines.push_back(text.substr(from, nl - from));
  return lines;
}

// Whether the held file already has its share. An unreadable one is turned
// over too, so that the history goes on in a fresh file.
bool full(bool readable, const std::string& text, history_bounds bounds) {
  return !readable ||
         static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) >= bounds.per_file;
}

// What goes before a line appended to `text`: a newline when its last line
// was cut short (a full disk, a file-size limit), so that only that line is
// lost, not the next one glued onto it.
std::string_view after_torn(const std::string& text) {
  return text.empty() || text.back() == '\n' ? "" : "\n";
}

std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& l : lines) text.append(l).append("\n");
  return text;
}

}  // namespace

bool append_history_line(const state_dir& dir, std::string_view line, history_bounds bounds,
                         std::chrono::milliseconds wait) {
  return add_history_line(dir, line, bounds, wait, {});
}

bool add_history_line(const state_dir& dir, std::string_view line, history_bounds bounds,
                      std::chrono::milliseconds wait, const history_fold& fold) {
  const auto file = locked_file::hold(dir, history_file_name, wait);
  if (!file) return false;
  std::string text;
  const bool readable = file->read(text, bounds.bytes);
  if (readable && fold) {
    std::vector<std::string> lines = whole_lines(text);
    if (fold(lines)) return file->replace(joined(lines));
  }
  if (!full(readable, text, bounds)) {
    // A file just created holds nothing: its name is synced too, so that the
    // line is on disk before the request's answer is sent.
    const bool appended = file->append(std::string(after_torn(text)).append(line));
    return appended && (!text.empty() || sync_directory(dir));
  }
  // Appenders waiting on the old file find it renamed and open the new one;
  // the lock on the old one is held until the new one holds the line.
  if (::renameat(dir.fd(), history_file_name, dir.fd(), history_older_name) != 0) return false;
  const auto fresh = locked_file::hold(dir, history_file_name, wait);
  // The directory sync makes the rename and the new name durable at once.
  return fresh && fresh->append(line) && sync_directory(dir);
}

std::vector<std::string> history_lines(const state_dir& dir, const char* name, std::size_t limit) {
  const file_text f = read_state_file(dir, name, limit);
  if (f.failed) return {};
  return whole_lines(f.text);
}

}  // namespace armctl
