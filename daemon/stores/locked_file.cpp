// Holding, reading, appending to and replacing the front end's own files.
#include "daemon/stores/locked_file.hpp"
#include "daemon/stores/front_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "state/durable.hpp"

namespace armctl {
namespace {

using clock = std::chrono::steady_clock;
// How often a held lock is tried again: these files are held for a few
// milliseconds.
constexpr auto retry = std::chrono::milliseconds(5);

bool try_lock(int fd) {
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  return ::fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

bool same_file(const state_dir& dir, const char* name, int fd) {
  struct stat held {
  }, named{};
  return ::fstat(fd, &held) == 0 && ::fstatat(dir.fd(), name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

std::string temp_name(const char* name) { return std::string(".") + name + ".tmp"; }

// A name that leads to no plain file of its own for good: not a regular
// file, or one with another link (a file just replaced has none, for a
// moment, and is tried again).
bool unsafe_name(const state_dir& dir, const char* name) {
  struct stat st {};
  if (::fstatat(dir.fd(), name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  return !S_ISREG(st.st_mode) || st.st_nlink > 1;
}

}  // namespace

std::optional<locked_file> locked_file::hold(const state_dir& dir, const char* name,
                                             std::chrono::milliseconds wait, bool* unsafe) {
  const auto deadline = clock::now() + wait;
  for (;;) {
    // An open can also fail because a writer replaced the file between the
    // open and the check of its links (the old one then has none): try again.
    const int fd = dir.open_regular(name, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, front_file_mode);
    if (fd >= 0 && try_lock(fd) && same_file(dir, name, fd)) return locked_file(dir, name, fd);
    if (fd < 0 && unsafe_name(dir, name)) {
      if (unsafe != nullptr) *unsafe = true;
      return std::nullopt;
    }
    if (fd >= 0) ::close(fd);
    if (clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(retry);
  }
}

locked_file::locked_file(locked_file&& other) noexcept
    : dir_(other.dir_), name_(other.name_), fd_(other.fd_) {
  other.fd_ = -1;
}

locked_file::~locked_file() {
  if (fd_ >= 0) ::close(fd_);
}

bool locked_file::read(std::string& out, std::size_t limit) const {
  out.clear();
  if (::lseek(fd_, 0, SEEK_SET) != 0) return false;
  std::string text;
  if (!read_all(fd_, text, limit + 1) || text.size() > limit) return false;
  out = std::move(text);
  return true;
}

std::optional<std::size_t> locked_file::size() const {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return std::nullopt;
  return static_cast<std::size_t>(st.st_size);
}

bool locked_file::append(std::string_view text) const { return append_synced(fd_, text); }

bool locked_file::replace(std::string_view text) const {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return false;
  const std::string temp = temp_name(name_);
  return replace_file(*dir_, name_, temp.c_str(), text, st.st_mode & 07777) !=
         replace_result::failed;
}

file_text read_state_file(const state_dir& dir, const char* name, std::size_t limit) {
  file_text r;
  const int fd = dir.open_regular(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    r.failed = errno != ENOENT;
    return r;
  }
  r.exists = true;
  r.failed = !read_all(fd, r.text, limit + 1) || r.text.size() > limit;
  ::close(fd);
  return r;
}

}  // namespace armctl
