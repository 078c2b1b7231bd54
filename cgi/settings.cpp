// Reading the settings file: a table of keys, each with its parser and bounds.
#include "cgi/settings.hpp"

#include <charconv>
#include <fstream>
#include <sstream>
#include <string_view>

#include "cgi/queue.hpp"

namespace armctl::cgi {
namespace {

std::string_view trim(std::string_view s) {
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

using setter = bool (*)(std::string_view, front_settings&);

struct key {
  std::string_view name;
  setter set;
};

// The bounds keep a typo from making the front end useless or unbounded.
constexpr key keys[] = {
    {"wait_ms",
     [](std::string_view v, front_settings& s) {
       long long n = 0;
       if (!bounded(v, 100, 120000, n)) return false;
       s.lock_wait = std::chrono::milliseconds(n);
       return true;
     }},
    {"max_waiting",
     [](std::string_view v, front_settings& s) {
       long long n = 0;
       if (!bounded(v, 1, static_cast<long long>(max_places), n)) return false;
       s.max_waiting = static_cast<std::size_t>(n);
       return true;
     }},
    {"max_motion_s",
     [](std::string_view v, front_settings& s) {
       long long n = 0;
       if (!bounded(v, 1, 3600, n)) return false;
       s.max_motion = std::chrono::seconds(n);
       return true;
     }},
    {"origins",
     [](std::string_view v, front_settings& s) {
       std::vector<std::string> list;
       std::istringstream words{std::string(v)};
       for (std::string w; words >> w;) list.push_back(w);
       s.origins = std::move(list);
       return true;
     }},
};

void apply_line(std::string_view line, front_settings& s) {
  line = trim(line.substr(0, line.find('#')));
  const std::size_t eq = line.find('=');
  if (eq == std::string_view::npos) return;
  const std::string_view name = trim(line.substr(0, eq)), value = trim(line.substr(eq + 1));
  for (const key& k : keys)
    if (k.name == name) k.set(value, s);
}

}  // namespace

front_settings load_settings(const char* path, front_settings defaults) {
  std::ifstream in(path);
  for (std::string line; in && std::getline(in, line);) apply_line(line, defaults);
  return defaults;
}

front_settings load_settings(const char* path) { return load_settings(path, front_settings{}); }

}  // namespace armctl::cgi
