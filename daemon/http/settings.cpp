// Reading the settings file: a table of keys, each with its parser and bounds.
#include "daemon/http/settings.hpp"

#include <charconv>
#include <fstream>
#include <sstream>
#include <string_view>

#include "daemon/http/request.hpp"
#include "model/joints.hpp"

namespace armctl::front {
namespace {

// Blanks around a line of the file, carriage returns among them.
std::string_view trim_line(std::string_view s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

// A whole decimal number within [lo, hi], or nothing.
bool bounded(std::string_view v, long long lo, long long hi, long long& out) {
  long long n = 0;
  const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
  if (ec != std::errc{} || end != v.data() + v.size() || n < lo || n > hi) return false;
  out = n;
  return true;
}

// "N:name" items separated by commas; only a joint that is no segment of
// the pose takes a name here (the segments are named by the picture), each
// at most once, and every name by the rule of pose names.
bool set_joint_names(std::string_view v, front_settings& s) {
  std::array<std::string, joint_count> names{};
  for (std::size_t from = 0; !trim_line(v).empty() && from <= v.size();) {
    const std::size_t comma = std::min(v.find(',', from), v.size());
    const std::string_view item = trim_line(v.substr(from, comma - from));
    const std::size_t colon = item.find(':');
    long long counter = 0;
    if (colon == std::string_view::npos ||
        !bounded(trim_line(item.substr(0, colon)), 0, static_cast<long long>(joint_count) - 1,
                 counter))
      return false;
    const auto i = static_cast<std::size_t>(counter);
    const std::string_view name = trim_line(item.substr(colon + 1));
    if (joints[i].segment != nullptr || !names[i].empty() || !is_name(name)) return false;
    names[i] = std::string(name);
    from = comma + 1;
  }
  s.joint_names = std::move(names);
  return true;
}

// A list of the settings: words separated by blanks.
std::vector<std::string> words_of(std::string_view v) {
  std::vector<std::string> list;
  std::istringstream words{std::string(v)};
  for (std::string w; words >> w;) list.push_back(w);
  return list;
}

// A key is a whole number within its bounds, which its rule names, or a
// text that its own setter reads.
struct key {
  std::string_view name;
  const char* rule;  // what a bad value is told; a number's bounds follow it
  long long lo = 0, hi = 0;
  void (*set_number)(long long, front_settings&) = nullptr;
  bool (*set_text)(std::string_view, front_settings&) = nullptr;
};

bool set(const key& k, std::string_view v, front_settings& s) {
  long long n = 0;
  if (k.set_text != nullptr) return k.set_text(v, s);
  if (!bounded(v, k.lo, k.hi, n)) return false;
  k.set_number(n, s);
  return true;
}

std::string told(const key& k) {
  if (k.set_text != nullptr) return k.rule;
  return std::string(k.rule) + " from " + std::to_string(k.lo) + " to " + std::to_string(k.hi);
}

// The bounds keep a typo from making the front end useless or unbounded.
constexpr key keys[] = {
    {"wait_ms", "a whole number of milliseconds", 100, 120000,
     [](long long n, front_settings& s) { s.lock_wait = std::chrono::milliseconds(n); }},
    {"max_waiting", "a whole number", 1, static_cast<long long>(max_waiting_places),
     [](long long n, front_settings& s) { s.max_waiting = static_cast<std::size_t>(n); }},
    {"max_motion_s", "a whole number of seconds", 1, 3600,
     [](long long n, front_settings& s) { s.max_motion = std::chrono::seconds(n); }},
    {"login_memory_s", "a whole number of seconds", 0, 3600,
     [](long long n, front_settings& s) { s.login_memory = std::chrono::seconds(n); }},
    {"origins", "origins separated by spaces", 0, 0, nullptr,
     [](std::string_view v, front_settings& s) {
       s.origins = words_of(v);
       return true;
     }},
    {"instructors", "operators' names separated by spaces", 0, 0, nullptr,
     [](std::string_view v, front_settings& s) {
       s.instructors = words_of(v);
       return true;
     }},
    {"joint_names",
     "\"counter:name\" items separated by commas, for counters 0, 3 and 5 only, each once, "
     "a name being letters, digits, spaces, '-' or '_'",
     0, 0, nullptr, set_joint_names},
};

// Applies one line; why it was passed over, or empty when it was applied
// (or is blank or a comment).
std::string apply_line(std::string_view line, front_settings& s) {
  line = trim_line(line.substr(0, line.find('#')));
  if (line.empty()) return {};
  const std::size_t eq = line.find('=');
  if (eq == std::string_view::npos) return "not \"key = value\"";
  const std::string_view name = trim_line(line.substr(0, eq)),
                         value = trim_line(line.substr(eq + 1));
  for (const key& k : keys)
    if (k.name == name)
      return set(k, value, s) ? std::string() : std::string(name) + " takes " + told(k);
  return "unknown key \"" + std::string(name) + "\"";
}

}  // namespace

front_settings load_settings(const char* path, front_settings defaults) {
  std::ifstream in(path);
  for (std::string line; in && std::getline(in, line);) apply_line(line, defaults);
  return defaults;
}

std::vector<ignored_setting> ignored_settings(const char* path) {
  std::vector<ignored_setting> ignored;
  std::ifstream in(path);
  front_settings scratch;
  std::size_t number = 0;
  for (std::string line; in && std::getline(in, line);) {
    ++number;
    std::string why = apply_line(line, scratch);
    if (!why.empty()) ignored.push_back({number, std::string(trim_line(line)), std::move(why)});
  }
  return ignored;
}

front_settings load_settings(const char* path) { return load_settings(path, front_settings{}); }

}  // namespace armctl::front
