// The history's entries as JSON lines, and what GET ?history and back read of them.
#include "daemon/stores/history.hpp"
#include "daemon/stores/front_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <iterator>
#include <mutex>

#include "daemon/stores/history_file.hpp"
#include "daemon/stores/latch.hpp"
#include "daemon/stores/records_json.hpp"

namespace armctl::front {
namespace {

using json = nlohmann::json;
// An entry holds at most a 4 kB body and a few fields.
constexpr std::size_t max_entry_bytes = 8192;
// The requests that move the arm, whose "before" back returns to.
constexpr std::string_view moving_requests[] = {"options", "goto", "back", "jog"};
// Each file is read at most to what its half of the bound can reach.
constexpr std::size_t max_file_bytes = (history_bound / 2 + 1) * max_entry_bytes;

json counters_or_null(const std::optional<counters>& c) { return c ? json(*c) : json(nullptr); }

// The entries of one file, newest first (lines that are not whole entries
// are skipped).
void add_newest_first(const state_dir& dir, const char* name, std::vector<json>& out) {
  const std::vector<std::string> lines = history_lines(dir, name, max_file_bytes);
  for (auto l = lines.rbegin(); l != lines.rend(); ++l) {
    json e = json::parse(*l, nullptr, false);
    if (e.is_object()) out.push_back(std::move(e));
  }
}

// The newer file first; the older one only when the newer one has not
// enough (read after it, a turn-over in between repeats entries rather than
// losing them).
std::vector<json> entries_newest_first(const state_dir& dir, std::size_t enough) {
  std::vector<json> out;
  for (const char* name : {history_file_name, history_older_name}) {
    if (out.size() >= enough) break;
    add_newest_first(dir, name, out);
  }
  return out;
}

// A move of the front end that answered 200 and changed the counters, or
// whose start is unknown, so that it may have.
bool moved_the_arm(const json& e) {
  const json& request = e.value("request", json());
  if (!request.is_object() || request.size() != 1 || e.value("status", 0) != 200) return false;
  const std::string kind = request.begin().key();
  const json before = e.value("before", json()), after = e.value("after", json());
  return std::find(std::begin(moving_requests), std::end(moving_requests), kind) !=
             std::end(moving_requests) &&
         (!before.is_array() || before != after);
}

bool is_kind(const json& e, std::string_view kind) {
  const json& request = e.value("request", json());
  return request.is_object() && request.size() == 1 && request.begin().key() == kind;
}

bool is_anonymous(const json& e) { return e.value("user", "") == not_logged_in; }

// Counts one more on the newest line that `target` picks; false when none does.
bool count_on_newest(std::vector<std::string>& lines, const std::string& time,
                     const std::function<bool(const json&)>& target) {
  for (auto l = lines.rbegin(); l != lines.rend(); ++l) {
    json e = json::parse(*l, nullptr, false);
    if (!e.is_object() || !target(e)) continue;
    e["repeats"] = e.value("repeats", 0) + 1;
    e["last"] = time;
    *l = line_text(e);
    return true;
  }
  return false;
}

// Where an entry is counted instead of appended, if anywhere.
history_fold fold_of(const history_entry& e, std::size_t per_file) {
  if (e.repeat)
    return [time = e.time](std::vector<std::string>& lines) {
      return count_on_newest(lines, time, [](const json& x) {
        return is_kind(x, "stop") && x.value("status", 0) == 200;
      });
    };
  if (e.user != not_logged_in) return {};
  return [time = e.time, per_file](std::vector<std::string>& lines) {
    const auto anonymous = std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
      const json x = json::parse(l, nullptr, false);
      return x.is_object() && is_anonymous(x);
    });
    if (static_cast<std::size_t>(anonymous) * anonymous_share < per_file) return false;
    return count_on_newest(lines, time, is_anonymous);
  };
}

// Ids go on from the highest in the files, counted in memory from there:
// one daemon writes the history.
std::mutex ids_m;
long long last_id = -1;

long long next_id(const state_dir& dir) {
  const std::lock_guard<std::mutex> hold(ids_m);
  if (last_id < 0) {
    last_id = 0;
    for (const json& e : entries_newest_first(dir, history_bound))
      last_id = std::max(last_id, e.value("id", 0LL));
  }
  return ++last_id;
}

}  // namespace

json entry_json(const history_entry& e) {
  json j{{"time", e.time},
         {"user", e.user},
         {"request", e.request},
         {"status", e.status},
         {"before", counters_or_null(e.before)},
         {"after", counters_or_null(e.after)}};
  if (!e.before_unknown.empty()) j["before_unknown"] = e.before_unknown;
  if (!e.after_unknown.empty()) j["after_unknown"] = e.after_unknown;
  if (e.run_status) j["run_status"] = *e.run_status;
  if (e.drift) j["drift"] = *e.drift;
  for (const auto& [key, value] : e.more.items()) j[key] = value;
  return j;
}

bool append_history(const state_dir& dir, const history_entry& e, std::chrono::milliseconds wait,
                    std::size_t bound) {
  const std::size_t per_file = std::max<std::size_t>(bound / 2, 1);
  json line = entry_json(e);
  line["id"] = next_id(dir);
  return add_history_line(dir, line_text(line) + "\n", {per_file, (per_file + 1) * max_entry_bytes},
                          wait, fold_of(e, per_file));
}

std::vector<json> newest_history(const state_dir& dir, std::size_t n) {
  std::vector<json> all = entries_newest_first(dir, n);
  if (all.size() > n) all.resize(n);
  return all;
}

back_point start_of(const json& e) {
  if (!moved_the_arm(e)) return {std::nullopt, "that entry did not move the arm"};
  if (const auto to = counters_from_json(e["before"].dump())) return back_point{to, ""};
  return back_point{std::nullopt, e.value("before_unknown", "its start was not recorded")};
}

std::optional<back_point> back_target(const state_dir& dir) {
  // Both files: the newest move may lie in the older one.
  for (const json& e : entries_newest_first(dir, history_bound))
    if (moved_the_arm(e)) return start_of(e);
  return std::nullopt;
}

std::optional<json> history_entry_of(const state_dir& dir, long long id) {
  const std::vector<json> all = entries_newest_first(dir, history_bound);
  const auto found =
      std::find_if(all.begin(), all.end(), [&](const json& e) { return e.value("id", 0LL) == id; });
  if (found == all.end()) return std::nullopt;
  return *found;
}

}  // namespace armctl::front

namespace armctl::front {

namespace {

// The two files as their identity, size and modification time tell them:
// an append, a turn-over or a replace changes it.
std::string files_seen(const state_dir& dir) {
  std::string seen;
  for (const char* name : {history_file_name, history_older_name}) {
    struct stat st {};
    if (::fstatat(dir.fd(), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      seen += "-|";
      continue;
    }
    seen += std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" +
            std::to_string(st.st_size) + ":" + std::to_string(st.st_mtim.tv_sec) + "." +
            std::to_string(st.st_mtim.tv_nsec) + "|";
  }
  return seen;
}

std::optional<drift_point> newest_drift(const state_dir& dir) {
  for (const json& e : entries_newest_first(dir, history_bound)) {
    const json d = e.value("drift", json());
    if (d.is_array() && d.size() == joint_count) return drift_point{d, e.value("time", "")};
  }
  return std::nullopt;
}

}  // namespace

// Asked for by every state answer and every event of every stream: the
// files are read again only once they have changed.
std::optional<drift_point> last_drift(const state_dir& dir) {
  static std::mutex m;
  static std::string seen;
  static std::optional<drift_point> newest;
  const std::string now = files_seen(dir);
  const std::lock_guard<std::mutex> hold(m);
  if (now != seen) {
    newest = newest_drift(dir);
    seen = now;
  }
  return newest;
}

}  // namespace armctl::front
