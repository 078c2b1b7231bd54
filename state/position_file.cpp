// Loading and atomically saving the joint counters.
#include "state/position_file.hpp"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "state/scan.hpp"

namespace armctl {
namespace {

// A position file is a few dozen bytes; this bounds what a damaged or
// hostile file can make a privileged run read.
constexpr std::size_t max_position_file = 1 << 20;

std::string format_counters(const counters& c, const char* each, const char* last) {
  std::string out;
  char buf[16];
  for (std::size_t i = 0; i < c.size(); ++i) {
    std::snprintf(buf, sizeof buf, i + 1 < c.size() ? each : last, c[i]);
    out += buf;
  }
  return out;
}

mode_t mode_for(const state_dir& dir) {
  struct stat st {};
  if (::fstatat(dir.fd(), position_file_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
    return st.st_mode & 07777;
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

std::string temp_name() {
  return "." + std::string(position_file_name) + "." + std::to_string(::getpid());
}

int create_temp(const state_dir& dir, const std::string& name) {
  constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  int fd = ::openat(dir.fd(), name.c_str(), flags, 0600);
  if (fd < 0 && errno == EEXIST) {
    // Left behind by a run that was killed with the same process id.
    ::unlinkat(dir.fd(), name.c_str(), 0);
    fd = ::openat(dir.fd(), name.c_str(), flags, 0600);
  }
  return fd;
}

bool fill_temp(int fd, const std::string& text, mode_t mode) {
  const bool ok = ::fchmod(fd, mode) == 0 && write_all(fd, text) && ::fsync(fd) == 0;
  return ::close(fd) == 0 && ok;
}

bool sync_dir(const state_dir& dir) {
  // Some file systems cannot sync a directory; the rename is then as durable
  // as they make it.
  return ::fsync(dir.fd()) == 0 || errno == EINVAL || errno == EROFS;
}

}  // namespace

void parse_counters(std::string_view text, counters& into) {
  for (std::int32_t& counter : into) {
    const scan_result r = scan_int(text);
    if (r.kind == scanned::out_of_range) return;
    if (r.kind == scanned::number) counter = r.value;
  }
}

bool load_counters(const state_dir& dir, counters& into) {
  const int fd = dir.open_regular(position_file_name, O_RDONLY);
  if (fd < 0) return false;
  std::string text;
  const bool ok = read_all(fd, text, max_position_file);
  ::close(fd);
  if (ok) parse_counters(text, into);
  return ok;
}

std::string position_text(const counters& c) { return format_counters(c, "%d ", "%d \n"); }

std::string summary_line(const counters& c) { return format_counters(c, "%d,", "%d\n"); }

bool save_counters(const state_dir& dir, const counters& c) {
  const std::string name = temp_name();
  const int fd = create_temp(dir, name);
  if (fd < 0) return false;
  if (!fill_temp(fd, position_text(c), mode_for(dir)) ||
      ::renameat(dir.fd(), name.c_str(), dir.fd(), position_file_name) != 0) {
    ::unlinkat(dir.fd(), name.c_str(), 0);
    return false;
  }
  return sync_dir(dir);
}

}  // namespace armctl
