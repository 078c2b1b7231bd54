// Parsing the CGI's settings file. Each line stands alone: a line that does
// not parse leaves its setting at the default and the others still apply.
#include "cgi/settings.hpp"

#include <charconv>
#include <fstream>
#include <sstream>
#include <string_view>

namespace armctl::cgi {
namespace {

// The file is a few lines written by an administrator; more is not read.
constexpr std::size_t max_line_bytes = 4096;
constexpr std::size_t max_lines = 256;

std::string_view trim(std::string_view s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(" \t\r");
  return s.substr(first, last - first + 1);
}

// A whole decimal number with nothing else on the value.
bool read_number(std::string_view text, unsigned long long& out) {
  const char* end = text.data() + text.size();
  const auto [at, ec] = std::from_chars(text.data(), end, out);
  return ec == std::errc{} && at == end && !text.empty();
}

std::vector<std::string> split_words(std::string_view text) {
  std::vector<std::string> words;
  std::istringstream in{std::string(text)};
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

void apply(front_settings& s, std::string_view key, std::string_view value) {
  unsigned long long n = 0;
  if (key == "origins") {
    s.origins = split_words(value);
  } else if (!read_number(value, n)) {
    return;
  } else if (key == "wait_ms") {
    s.lock_wait = std::chrono::milliseconds(n);
  } else if (key == "max_waiting") {
    s.max_waiting = static_cast<std::size_t>(n);
  } else if (key == "max_motion_s") {
    s.max_motion = std::chrono::seconds(n);
  }
}

void apply_line(front_settings& s, std::string_view line) {
  line = trim(line.substr(0, line.find('#')));
  const auto eq = line.find('=');
  if (line.empty() || eq == std::string_view::npos) return;
  apply(s, trim(line.substr(0, eq)), trim(line.substr(eq + 1)));
}

}  // namespace

front_settings load_settings(const char* path) {
  front_settings s;
#ifdef ARMCTL_CGI_WAIT_MS
  s.lock_wait = std::chrono::milliseconds(ARMCTL_CGI_WAIT_MS);  // the build's default
#endif
  std::ifstream in(path);
  std::string line;
  for (std::size_t n = 0; n < max_lines && std::getline(in, line); ++n)
    if (line.size() <= max_line_bytes) apply_line(s, line);
  return s;
}

}  // namespace armctl::cgi
