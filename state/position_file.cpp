// Loading and atomically saving the joint counters.
#include "state/position_file.hpp"

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "state/durable.hpp"
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

// The longest content a save writes: six "-2147483648 " and a newline.
constexpr std::size_t longest_position_text = 6 * 12 + 1;

// The file already holds exactly `text` (a run that moved nothing): it is
// left as it is, which spares the save's two syncs. Its content is then what
// an earlier save synced, or what another program wrote, whose durability
// that program answers for.
bool already_holds(const state_dir& dir, const std::string& text) {
  const int fd = dir.open_regular(position_file_name, O_RDONLY);
  if (fd < 0) return false;
  std::string now;
  const bool read = read_all(fd, now, longest_position_text + 1);
  ::close(fd);
  return read && now == text;
}

save_result as_saved(replace_result r) {
  struct meaning {
    replace_result replace;
    save_result save;
  };
  static constexpr meaning meanings[] = {
      {replace_result::replaced, save_result::saved},
      {replace_result::replaced_not_synced, save_result::saved_not_synced},
  };
  for (const meaning& m : meanings)
    if (m.replace == r) return m.save;
  return save_result::failed;
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

bool pending_save::prepare() {
  abandon();
  constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  // Left behind by a run that was killed between creating and renaming it.
  ::unlinkat(dir_.fd(), position_temp_name, 0);
  fd_ = ::openat(dir_.fd(), position_temp_name, flags, 0600);
  if (fd_ < 0) return false;
  if (write_all(fd_, std::string(longest_position_text, ' '))) return true;
  abandon();
  return false;
}

void pending_save::abandon() {
  if (fd_ < 0) return;
  ::close(fd_);
  ::unlinkat(dir_.fd(), position_temp_name, 0);
  fd_ = -1;
}

save_result pending_save::commit(const counters& c) {
  if (fd_ < 0) return save_result::failed;
  const std::string text = position_text(c);
  if (already_holds(dir_, text)) {
    abandon();
    return save_result::saved;
  }
  const bool written =
      ::pwrite(fd_, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()) &&
      ::ftruncate(fd_, static_cast<off_t>(text.size())) == 0 && ::fchmod(fd_, mode_for(dir_)) == 0;
  const int fd = fd_;
  fd_ = -1;
  if (!written) {
    ::close(fd);
    ::unlinkat(dir_.fd(), position_temp_name, 0);
    return save_result::failed;
  }
  return as_saved(finish_replace(dir_, fd, position_temp_name, position_file_name));
}

save_result save_counters(const state_dir& dir, const counters& c) {
  pending_save save(dir);
  if (!save.prepare()) return save_result::failed;
  return save.commit(c);
}

}  // namespace armctl
