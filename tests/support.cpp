// Test fixtures shared by the unit and end-to-end tests.
#include "support.hpp"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace armctl::testing {

bool recording_port::grant() {
  ++grants;
  if (!grant_ok) errno = EPERM;
  return grant_ok;
}

bool recording_port::drop() {
  ++drops;
  if (!drop_ok) errno = EPERM;
  return drop_ok;
}

void recording_port::write(std::uint8_t value) {
  bytes.push_back(value);
  if (after_write) after_write(bytes.size());
}

scratch_dir::scratch_dir() {
  const char* tmp = std::getenv("TMPDIR");
  std::string templ = std::string(tmp != nullptr ? tmp : "/tmp") + "/armctl-test-XXXXXX";
  if (::mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = templ;
}

scratch_dir::~scratch_dir() { remove_tree(path_); }

void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<missing>";
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> list_dir(const std::string& path) {
  std::vector<std::string> names;
  DIR* d = ::opendir(path.c_str());
  if (d == nullptr) return names;
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(d);
  return names;
}

void clear_dir(const std::string& path) {
  for (const std::string& name : list_dir(path)) remove_tree(path + "/" + name);
}

void remove_tree(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    ::chmod(path.c_str(), 0700);
    clear_dir(path);
    ::rmdir(path.c_str());
  } else {
    ::unlink(path.c_str());
  }
}

std::vector<std::uint8_t> cycles(std::initializer_list<std::uint8_t> patterns) {
  std::vector<std::uint8_t> out;
  for (const std::uint8_t p : patterns) {
    out.push_back(p);
    out.push_back(static_cast<std::uint8_t>(p | 1));
  }
  return out;
}

}  // namespace armctl::testing
