// Waiting for, taking and releasing the shared lock file.
#include "state/lock_file.hpp"

#include <cerrno>
#include <fcntl.h>
#include <initializer_list>
#include <string>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include "state/scan.hpp"

namespace armctl {
namespace {

void sleep_for(std::chrono::nanoseconds span) {
  const auto secs = std::chrono::duration_cast<std::chrono::seconds>(span);
  timespec ts{static_cast<time_t>(secs.count()), static_cast<long>((span - secs).count())};
  // A signal that ends the run never returns here; any other one just
  // shortens this poll.
  ::nanosleep(&ts, nullptr);
}

// Marks a "1" as written by a run of this program. Such a run holds the
// flock for as long as it holds the lock, so a waiting run that has the
// flock and still finds a marked "1" knows that its writer died (killed
// outright, or the machine lost power) and that the lock is stale. A "1"
// written by another program carries no mark and is waited out as always.
constexpr const char* holder_mark = "user.armctl.holder";

}  // namespace

lock_file::lock_file(const state_dir& dir, std::chrono::nanoseconds poll)
    : dir_(dir), poll_(poll) {}

lock_file::~lock_file() { close_file(); }

void lock_file::close_file() {
  for (int* fd : {&fd_, &dir_lock_fd_}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

// Without a usable lock file the content protocol cannot work, but runs of
// this program still exclude each other through a lock on the directory.
void lock_file::lock_directory() {
  dir_lock_fd_ = ::openat(dir_.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_lock_fd_ < 0) return;
  while (::flock(dir_lock_fd_, LOCK_EX) != 0 && errno == EINTR) {
  }
}

void lock_file::wait() {
  for (;;) {
    lock_current_file();
    if (reads_free()) return;
    sleep_for(poll_);
  }
}

// Holds the flock on the file that the name refers to now. A missing file is
// created (empty, which reads as free) so that there is an inode to lock; the
// take then writes its "1\n".
void lock_file::lock_current_file() {
  if (fd_ >= 0 && still_current()) return;
  close_file();
  for (int attempt = 0; attempt < 100; ++attempt) {
    writable_ = true;
    fd_ = dir_.open_regular(lock_file_name, O_RDWR | O_CREAT);
    if (fd_ < 0) {
      writable_ = false;
      fd_ = dir_.open_regular(lock_file_name, O_RDONLY);
    }
    if (fd_ < 0) return lock_directory();
    while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
    // The file may have been removed or replaced while we waited for it.
    if (still_current()) return;
    close_file();
  }
}

bool lock_file::still_current() const {
  struct stat held {
  }, named{};
  return ::fstat(fd_, &held) == 0 &&
         ::fstatat(dir_.fd(), lock_file_name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

bool lock_file::reads_free() const {
  if (fd_ < 0) return true;
  char buf[64];
  const ssize_t got = ::pread(fd_, buf, sizeof buf, 0);
  if (got <= 0) return true;
  std::string_view text(buf, static_cast<std::size_t>(got));
  const scan_result r = scan_int(text);
  const bool free = r.kind == scanned::no_number || (r.kind == scanned::number && r.value == 0);
  return free || left_by_a_dead_run();
}

bool lock_file::left_by_a_dead_run() const {
  return ::fgetxattr(fd_, holder_mark, nullptr, 0) >= 0;
}

// Replaces the two-byte content in place: readers never see an empty file.
bool lock_file::put(const char* text) {
  if (fd_ >= 0 && writable_) return ::pwrite(fd_, text, 2, 0) == 2 && ::ftruncate(fd_, 2) == 0;
  const int fd = dir_.open_regular(lock_file_name, O_WRONLY | O_CREAT);
  if (fd < 0) return false;
  const bool ok = ::pwrite(fd, text, 2, 0) == 2 && ::ftruncate(fd, 2) == 0;
  return ::close(fd) == 0 && ok;
}

// The mark goes on before the "1" and comes off after the "0", so that no
// crash can leave an unmarked "1" behind. File systems without extended
// attributes simply keep the plain protocol.
bool lock_file::take() {
  if (fd_ >= 0 && writable_) {
    const std::string pid = std::to_string(::getpid());
    ::fsetxattr(fd_, holder_mark, pid.data(), pid.size(), 0);
  }
  return put("1\n");
}

bool lock_file::release() {
  const bool ok = put("0\n");
  if (fd_ >= 0 && writable_) ::fremovexattr(fd_, holder_mark);
  close_file();
  return ok;
}

}  // namespace armctl
