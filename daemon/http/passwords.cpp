// Reading the password file with the errno of a failure kept: a file the daemon
// cannot read is the server's fault, and must not pass for a wrong password.
#include "daemon/http/passwords.hpp"

#include <cerrno>
#include <cstdio>
#include <memory>

namespace armctl::front {
namespace {

struct file_closer {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

void take_line(std::string line, password_file& out) {
  if (!line.empty() && line.back() == '\n') line.pop_back();
  if (!line.empty() && line.back() == '\r') line.pop_back();
  const auto colon = line.find(':');
  if (colon != std::string::npos)
    out.entries.push_back({line.substr(0, colon), line.substr(colon + 1)});
}

}  // namespace

password_file read_password_file(const char* path) {
  password_file out;
  const std::unique_ptr<std::FILE, file_closer> f(std::fopen(path, "re"));
  if (!f) {
    out.error = errno;
    return out;
  }
  errno = 0;
  std::string line;
  std::size_t lines = 0;
  // A directory opens, and fails at its first read (EISDIR).
  for (int c = 0; lines < max_password_lines && (c = std::fgetc(f.get())) != EOF;) {
    line += static_cast<char>(c);
    if (c == '\n') {
      take_line(std::move(line), out);
      line.clear();
      ++lines;
    }
  }
  if (std::ferror(f.get()) != 0) out.error = errno != 0 ? errno : EIO;
  if (!line.empty()) take_line(std::move(line), out);
  return out;
}

std::size_t operator_count(const password_file& f) {
  std::size_t n = 0;
  for (const password_entry& e : f.entries)
    if (!e.user.empty() && !e.hash.empty()) ++n;
  return n;
}

}  // namespace armctl::front
