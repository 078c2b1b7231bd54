// The failures file: one line a key, "<key in hex> <time> <time> ...", the
// times in seconds since the epoch, newest last. Hex keeps any byte a user
// name may hold off the line's structure.
#include "daemon/stores/failure_counts.hpp"
#include "daemon/stores/front_files.hpp"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <map>
#include <string_view>

#include "daemon/stores/locked_file.hpp"
#include "state/durable.hpp"

namespace armctl {
namespace {

using times = std::vector<long long>;
using table = std::map<std::string, times>;  // by key, in hex

// Far above what failure_slots lines can reach.
constexpr std::size_t max_file_bytes = 1 << 18;

std::string hex_key(const std::string& key) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  for (const char c : std::string_view(key).substr(0, failure_key_bytes)) {
    out += digits[static_cast<unsigned char>(c) >> 4];
    out += digits[static_cast<unsigned char>(c) & 15];
  }
  return out;
}

// A line that is not what this program writes is passed over.
void take_line(std::string_view line, table& t) {
  const std::size_t space = line.find(' ');
  if (space == 0 || space == std::string_view::npos) return;
  times ts;
  for (std::size_t at = space + 1; at < line.size();) {
    long long v = 0;
    const auto [end, err] = std::from_chars(line.data() + at, line.data() + line.size(), v);
    if (err != std::errc{} || (end != line.data() + line.size() && *end != ' ')) return;
    ts.push_back(v);
    at = static_cast<std::size_t>(end - line.data()) + 1;
  }
  if (!ts.empty()) t[std::string(line.substr(0, space))] = std::move(ts);
}

table parse(const std::string& text) {
  table t;
  for (std::size_t from = 0, nl; (nl = text.find('\n', from)) != std::string::npos; from = nl + 1)
    if (t.size() < failure_slots) take_line(std::string_view(text).substr(from, nl - from), t);
  return t;
}

std::string text_of(const table& t) {
  std::string out;
  for (const auto& [key, ts] : t) {
    out += key;
    for (const long long v : ts) out += ' ' + std::to_string(v);
    out += '\n';
  }
  return out;
}

long long newest(const times& ts) { return *std::max_element(ts.begin(), ts.end()); }

// The slot given up: the key whose newest failure is oldest.
void evict_one(table& t) {
  const auto oldest = std::min_element(t.begin(), t.end(), [](const auto& a, const auto& b) {
    return newest(a.second) < newest(b.second);
  });
  t.erase(oldest);
}

void add_failure(table& t, const std::string& key, long long now, failure_rule rule) {
  times& ts = t[key];
  std::erase_if(ts, [&](long long v) { return v <= now - rule.window_s; });
  ts.push_back(now);
  std::sort(ts.begin(), ts.end());
  if (ts.size() > rule.limit)
    ts.erase(ts.begin(), ts.end() - static_cast<std::ptrdiff_t>(rule.limit));
}

// Seconds until `ts` holds fewer than `limit` times within the window.
long long wait_of(const times& ts, long long now, failure_rule rule) {
  times recent;
  for (const long long v : ts)
    if (v > now - rule.window_s) recent.push_back(v);
  if (rule.limit == 0 || recent.size() < rule.limit) return 0;
  std::sort(recent.begin(), recent.end());
  const long long oldest_counted = recent[recent.size() - rule.limit];
  // A clock set back leaves times ahead of now: never longer than a window.
  return std::clamp(oldest_counted + rule.window_s - now, 1LL, rule.window_s);
}

}  // namespace

long long failure_table::seconds_stopped(const std::vector<std::string>& keys,
                                         long long now) const {
  long long wait = 0;
  for (const std::string& key : keys)
    if (const auto found = table_.find(hex_key(key)); found != table_.end())
      wait = std::max(wait, wait_of(found->second, now, rule_));
  return wait;
}

void failure_table::record(const std::vector<std::string>& keys, long long now) {
  std::erase_if(table_,
                [&](const auto& slot) { return newest(slot.second) <= now - rule_.window_s; });
  for (const std::string& key : keys) {
    const std::string hex = hex_key(key);
    if (!table_.contains(hex) && table_.size() >= failure_slots) evict_one(table_);
    add_failure(table_, hex, now, rule_);
  }
}

bool failure_table::load(const state_dir& dir) {
  const file_text f = read_state_file(dir, login_failures_name, max_file_bytes);
  if (f.failed) return false;
  for (auto& [key, ts] : parse(f.text))
    if (table_.size() < failure_slots || table_.contains(key)) table_[key] = std::move(ts);
  return true;
}

bool failure_table::save(const state_dir& dir) const {
  const std::string temp = std::string(".") + login_failures_name + ".tmp";
  return replace_file(dir, login_failures_name, temp.c_str(), text_of(table_), front_file_mode) !=
         replace_result::failed;
}

}  // namespace armctl
