// Appending to, bounding and reading the history file.
#include "cgi/history.hpp"

#include <algorithm>
#include <iterator>

#include "cgi/request.hpp"
#include "cgi/store_file.hpp"

namespace armctl::cgi {
namespace {

using json = nlohmann::json;
// An entry holds at most a 4 kB body and a few fields.
constexpr std::size_t max_entry_bytes = 8192;
constexpr std::size_t max_history_bytes = (history_bound + 1) * max_entry_bytes;
// The requests that move the arm, whose "before" back returns to.
constexpr std::string_view moving_requests[] = {"options", "goto", "back"};

std::vector<std::string> whole_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t from = 0;
  // A line without its newline is an append still under way, or torn.
  for (std::size_t nl; (nl = text.find('\n', from)) != std::string::npos; from = nl + 1)
    if (nl > from) lines.push_back(text.substr(from, nl - from));
  return lines;
}

json counters_or_null(const std::optional<counters>& c) { return c ? json(*c) : json(nullptr); }

std::vector<json> entries_newest_first(const state_dir& dir) {
  std::vector<json> out;
  const file_text f = read_file(dir, history_file_name, max_history_bytes);
  if (f.failed) return out;
  const std::vector<std::string> lines = whole_lines(f.text);
  for (auto l = lines.rbegin(); l != lines.rend(); ++l) {
    json e = json::parse(*l, nullptr, false);
    if (e.is_object()) out.push_back(std::move(e));
  }
  return out;
}

bool moved_the_arm(const json& e) {
  const json& request = e.value("request", json());
  if (!request.is_object() || request.size() != 1 || e.value("status", 0) != 200) return false;
  const std::string kind = request.begin().key();
  const json before = e.value("before", json()), after = e.value("after", json());
  return std::find(std::begin(moving_requests), std::end(moving_requests), kind) !=
             std::end(moving_requests) &&
         before.is_array() && before != after;
}

}  // namespace

json entry_json(const history_entry& e) {
  return {{"time", e.time},
          {"user", e.user},
          {"request", e.request},
          {"status", e.status},
          {"before", counters_or_null(e.before)},
          {"after", counters_or_null(e.after)}};
}

bool append_history(const state_dir& dir, const history_entry& e, std::chrono::milliseconds wait,
                    std::size_t bound) {
  const auto file = locked_file::hold(dir, history_file_name, wait);
  if (!file) return false;
  const std::string line = entry_json(e).dump() + "\n";
  std::string text;
  if (!file->read(text, max_history_bytes)) text.clear();  // unreadable: start again
  std::vector<std::string> lines = whole_lines(text);
  if (lines.size() < bound) return file->append(line);
  std::string kept;
  for (std::size_t i = lines.size() + 1 - bound; i < lines.size(); ++i) kept += lines[i] + "\n";
  return file->replace(kept + line);
}

std::vector<json> newest_history(const state_dir& dir, std::size_t n) {
  std::vector<json> all = entries_newest_first(dir);
  if (all.size() > n) all.resize(n);
  return all;
}

std::optional<counters> back_target(const state_dir& dir) {
  for (const json& e : entries_newest_first(dir))
    if (moved_the_arm(e)) return counters_from_json(e["before"].dump());
  return std::nullopt;
}

}  // namespace armctl::cgi
