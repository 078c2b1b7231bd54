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

// Far above what the slots' lines can reach.
constexpr std::size_t max_file_bytes = 1 << 19;

std::string hex_key(const std::string& key) {
  return hex_text(std::string_view(key).substr(0, failure_key_bytes));
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
    take_line(std::string_view(text).substr(from, nl - from), t);
  return t;
}

// Keys in hex: a device's starts with its prefix's hex.
const std::string& device_hex() {
  static const std::string prefix = hex_key(std::string(device_key_prefix));
  return prefix;
}
bool is_device(const std::string& hex) { return hex.starts_with(device_hex()); }

std::size_t in_pool_of(const table& t, const std::string& hex) {
  const bool device = is_device(hex);
  return static_cast<std::size_t>(std::count_if(
      t.begin(), t.end(), [&](const auto& slot) { return is_device(slot.first) == device; }));
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

std::string hex_text(std::string_view text) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() * 2);
  for (const char c : text) {
    out += digits[static_cast<unsigned char>(c) >> 4];
    out += digits[static_cast<unsigned char>(c) & 15];
  }
  return out;
}

long long failure_table::seconds_stopped(const std::vector<std::string>& keys,
                                         long long now) const {
  long long wait = 0;
  for (const std::string& key : keys)
    if (const auto found = table_.find(hex_key(key)); found != table_.end())
      wait = std::max(wait, wait_of(found->second, now, rule_));
  return wait;
}

void failure_table::forget_expired(long long now) {
  std::erase_if(table_,
                [&](const auto& slot) { return newest(slot.second) <= now - rule_.window_s; });
}

// Room for every key of `keys` that is not in the table yet, in its pool.
bool failure_table::has_room(const std::vector<std::string>& keys) const {
  table with = table_;
  for (const std::string& key : keys) {
    const std::string hex = hex_key(key);
    if (with.contains(hex)) continue;
    if (in_pool_of(with, hex) >= failure_slots) return false;
    with[hex];
  }
  return true;
}

bool failure_table::record(const std::vector<std::string>& keys, long long now) {
  forget_expired(now);
  if (!has_room(keys)) return false;
  for (const std::string& key : keys) add_failure(table_, hex_key(key), now, rule_);
  return true;
}

void failure_table::withdraw(const std::vector<std::string>& keys, long long now) {
  for (const std::string& key : keys) {
    const auto found = table_.find(hex_key(key));
    if (found == table_.end()) continue;
    times& ts = found->second;
    if (const auto at = std::find(ts.begin(), ts.end(), now); at != ts.end()) ts.erase(at);
    if (ts.empty()) table_.erase(found);
  }
}

bool failure_table::load(const state_dir& dir) {
  const file_text f = read_state_file(dir, login_failures_name, max_file_bytes);
  if (f.failed) return false;
  for (auto& [key, ts] : parse(f.text))
    if (table_.contains(key) || in_pool_of(table_, key) < failure_slots)
      table_[key] = std::move(ts);
  return true;
}

bool failure_table::save(const state_dir& dir) const {
  const std::string temp = std::string(".") + login_failures_name + ".tmp";
  return replace_file(dir, login_failures_name, temp.c_str(), text_of(table_), front_file_mode) !=
         replace_result::failed;
}

}  // namespace armctl
