// Opening state files relative to the state directory.
#include "state/state_dir.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace armctl {

int open_dir_nofollow(const char* path) {
  // The directories on the way need only be searchable (a home directory
  // is often 0711), so they are opened as paths; the state directory itself
  // is opened for reading, which syncing it needs.
  constexpr int on_the_way = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  constexpr int last = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  std::vector<std::string> parts;
  const std::string_view whole(path);
  for (std::size_t at = 0; at < whole.size();) {
    const std::size_t end = std::min(whole.find('/', at), whole.size());
    const std::string_view part = whole.substr(at, end - at);
    if (!part.empty() && part != ".") parts.emplace_back(part);
    at = end + 1;
  }
  const char* start = whole.starts_with('/') ? "/" : ".";
  int dir = ::open(start, parts.empty() ? last : on_the_way);
  for (std::size_t i = 0; dir >= 0 && i < parts.size(); ++i) {
    const int next = ::openat(dir, parts[i].c_str(), i + 1 == parts.size() ? last : on_the_way);
    const int err = errno;
    ::close(dir);
    errno = err;
    dir = next;
  }
  return dir;
}

state_dir::state_dir(const char* path) : fd_(open_dir_nofollow(path)) {}

state_dir::~state_dir() { refuse(); }

void state_dir::refuse() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool state_dir::owner(uid_t& uid, gid_t& gid) const {
  struct stat st {};
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return false;
  uid = st.st_uid;
  gid = st.st_gid;
  return true;
}

int state_dir::open_regular(const char* name, int flags, unsigned mode) const {
  // O_NONBLOCK keeps a FIFO in place of a state file from blocking the open;
  // it has no effect on regular files, so it is cleared only for tidiness.
  const int file =
      ::openat(fd_, name, flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, static_cast<mode_t>(mode));
  if (file < 0) return -1;
  // A second link means the name was planted to reach a file elsewhere.
  struct stat st {};
  if (::fstat(file, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
    ::close(file);
    errno = EINVAL;
    return -1;
  }
  ::fcntl(file, F_SETFL, ::fcntl(file, F_GETFL) & ~O_NONBLOCK);
  return file;
}

bool read_all(int fd, std::string& out, std::size_t limit) {
  out.clear();
  char buf[4096];
  while (out.size() < limit) {
    const ssize_t got = ::read(fd, buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;
    out.append(buf, static_cast<std::size_t>(got));
  }
  if (out.size() > limit) out.resize(limit);
  return true;
}

bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t put = ::write(fd, text.data(), text.size());
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(put));
  }
  return true;
}

}  // namespace armctl
